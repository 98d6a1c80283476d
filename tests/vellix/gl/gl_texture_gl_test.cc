#include <gtest/gtest.h>

#include <vector>

#include "gl/gl_error.h"
#include "gl/gl_texture.h"
#include "vellix/gl/egl_context_helper.h"

namespace kestrin {
namespace GL {
namespace {

using vellix_test::HeadlessGL;
using vellix_test::Rgba;

class GLTextureTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ("", gl.error());
    glGenFramebuffers(1, &fbo);
  }
  void TearDown() override { glDeleteFramebuffers(1, &fbo); }

  // The texture's level 0 read back through a framebuffer, as 0xRRGGBBAA.
  std::vector<uint32_t> Contents(GLTexture const& t) {
    glBindFramebuffer(GL_FRAMEBUFFER, fbo);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, t.id, 0);
    EXPECT_EQ(static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE),
              glCheckFramebufferStatus(GL_FRAMEBUFFER));
    std::vector<unsigned char> bytes(t.width * t.height * 4);
    glReadPixels(0, 0, static_cast<GLsizei>(t.width), static_cast<GLsizei>(t.height), GL_RGBA,
                 GL_UNSIGNED_BYTE, bytes.data());
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    std::vector<uint32_t> out;
    for (size_t k = 0; k < bytes.size(); k += 4) {
      out.push_back((uint32_t{bytes[k]} << 24) | (uint32_t{bytes[k + 1]} << 16) |
                    (uint32_t{bytes[k + 2]} << 8) | bytes[k + 3]);
    }
    return out;
  }

  GLint Param(GLenum name) {
    GLint v = 0;
    glGetTexParameteriv(GL_TEXTURE_2D, name, &v);
    return v;
  }

  HeadlessGL gl;
  GLuint fbo = 0;
};

TEST_F(GLTextureTest, InitUploadsPixelsWithNearestClampedSampling) {
  std::vector<uint32_t> pixels = {0xff0000ff, 0x00ff00ff, 0x0000ffff, 0xffffffff};
  std::vector<unsigned char> data = Rgba(pixels);
  GLTexture t;
  EXPECT_EQ(static_cast<unsigned>(GL_RGBA), t.format);
  ASSERT_TRUE(t.Init(2, 2, data.data(), GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE));
  EXPECT_NE(0u, t.id);
  EXPECT_EQ(2u, t.width);
  EXPECT_EQ(pixels, Contents(t));
  t.Bind();
  EXPECT_EQ(GL_NEAREST, Param(GL_TEXTURE_MIN_FILTER));
  EXPECT_EQ(GL_NEAREST, Param(GL_TEXTURE_MAG_FILTER));
  EXPECT_EQ(GL_CLAMP_TO_EDGE, Param(GL_TEXTURE_WRAP_S));
  EXPECT_EQ(GL_CLAMP_TO_EDGE, Param(GL_TEXTURE_WRAP_T));
  t.SetFilter(GL_LINEAR);
  EXPECT_EQ(GL_LINEAR, Param(GL_TEXTURE_MIN_FILTER));
  EXPECT_EQ(GL_LINEAR, Param(GL_TEXTURE_MAG_FILTER));
  EXPECT_TRUE(GLPrintError("test"));
}

TEST_F(GLTextureTest, SameSizeReuploadKeepsTheTexture) {
  std::vector<unsigned char> first = Rgba({0x11223344, 0x55667788});
  std::vector<unsigned char> second = Rgba({0xaabbccdd, 0x01020304});
  GLTexture t;
  t.Init(2, 1, first.data(), GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE);
  GLuint name = t.id;
  t.Bind();
  t.SetFilter(GL_LINEAR);
  t.SetTexture(second.data(), 2, 1);
  EXPECT_EQ(name, t.id);
  EXPECT_TRUE(glIsTexture(name));
  EXPECT_EQ((std::vector<uint32_t>{0xaabbccdd, 0x01020304}), Contents(t));
  // Same object: the filter set on it survived.
  t.Bind();
  EXPECT_EQ(GL_LINEAR, Param(GL_TEXTURE_MIN_FILTER));
}

TEST_F(GLTextureTest, NewSizeReplacesTheTexture) {
  std::vector<unsigned char> first = Rgba({0x11223344, 0x55667788});
  std::vector<unsigned char> second = Rgba({1, 2, 3, 4, 5, 6});
  GLTexture t;
  t.Init(2, 1, first.data(), GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE);
  GLuint name = t.id;
  t.Bind();
  t.SetFilter(GL_LINEAR);
  t.SetTexture(second.data(), 3, 2);
  EXPECT_NE(0u, t.id);
  EXPECT_NE(name, t.id);
  EXPECT_FALSE(glIsTexture(name));
  EXPECT_EQ(3u, t.width);
  EXPECT_EQ(2u, t.height);
  EXPECT_EQ((std::vector<uint32_t>{1, 2, 3, 4, 5, 6}), Contents(t));
  t.Bind();
  EXPECT_EQ(GL_NEAREST, Param(GL_TEXTURE_MIN_FILTER));
}

TEST_F(GLTextureTest, FullFormSetTextureAlwaysRebuilds) {
  std::vector<unsigned char> first = Rgba({0x11223344});
  GLTexture t;
  t.Init(1, 1, first.data(), GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE);
  GLuint name = t.id;
  std::vector<unsigned char> rgb = {10, 20, 30};
  t.SetTexture(rgb.data(), 1, 1, GL_RGB, GL_RGB, GL_UNSIGNED_BYTE);
  EXPECT_NE(name, t.id);
  EXPECT_FALSE(glIsTexture(name));
  EXPECT_EQ(static_cast<unsigned>(GL_RGB), t.format);
  // The same-size form keeps the stored formats.
  GLuint rgb_name = t.id;
  std::vector<unsigned char> rgb2 = {40, 50, 60};
  t.SetTexture(rgb2.data(), 1, 1);
  EXPECT_EQ(rgb_name, t.id);
  EXPECT_EQ((std::vector<uint32_t>{0x28323cff}), Contents(t));
  EXPECT_TRUE(GLPrintError("test"));
}

TEST_F(GLTextureTest, StorageOnlyInitAndReinitLeakNothing) {
  GLTexture t;
  ASSERT_TRUE(t.Init(4u, 4u, false));
  GLuint name = t.id;
  EXPECT_EQ(4u, t.width);
  EXPECT_EQ(static_cast<unsigned>(GL_RGBA), t.internalFormat);
  std::vector<unsigned char> data = Rgba(std::vector<uint32_t>(16, 0x10203040));
  t.SetTexture(data.data());
  EXPECT_EQ(std::vector<uint32_t>(16, 0x10203040), Contents(t));
  // A second Init does not leave the first name behind.
  t.Init(2, 2, GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE);
  EXPECT_FALSE(glIsTexture(name));
  EXPECT_TRUE(glIsTexture(t.id));
  EXPECT_TRUE(GLPrintError("test"));
}

TEST_F(GLTextureTest, UninitTwiceDeletesOnce) {
  GLTexture t;
  t.Init(1, 1, GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE);
  GLuint name = t.id;
  t.Uninit();
  EXPECT_EQ(0u, t.id);
  EXPECT_FALSE(glIsTexture(name));
  t.Uninit();
  EXPECT_EQ(0u, t.id);
  EXPECT_TRUE(GLPrintError("test"));
  // Destroying a texture deletes its name.
  GLuint kept = 0;
  {
    GLTexture u;
    u.Init(1, 1, GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE);
    kept = u.id;
    EXPECT_TRUE(glIsTexture(kept));
  }
  EXPECT_FALSE(glIsTexture(kept));
}

TEST_F(GLTextureTest, PlainTexturesHaveNoStreamingParts) {
  GLTexture t;
  EXPECT_TRUE(t.Init(8, 8));
  EXPECT_EQ(0u, t.id);
  t.Bind(5u);
  t.Bind(static_cast<void*>(nullptr));
  EXPECT_EQ(nullptr, t.GetEGLImage());
  EXPECT_EQ(nullptr, t.GetJavaBitmap());
  EXPECT_EQ(nullptr, t.CreateBitmapFromTexture(nullptr));
}

TEST_F(GLTextureTest, DepthTextureWhenSupported) {
  char const* ext = reinterpret_cast<char const*>(glGetString(GL_EXTENSIONS));
  if (ext == nullptr || std::string(ext).find("GL_OES_depth_texture") == std::string::npos)
    GTEST_SKIP() << "no depth textures";
  GLTexture t;
  EXPECT_TRUE(t.Init(16u, 8u, true));
  EXPECT_NE(0u, t.id);
  EXPECT_EQ(16u, t.width);
  EXPECT_EQ(static_cast<unsigned>(GL_DEPTH_COMPONENT), t.format);
  EXPECT_TRUE(GLPrintError("glTexImage2D(Depth)"));
}

TEST_F(GLTextureTest, ErrorProbes) {
  EXPECT_TRUE(GLPrintError("clean"));
  glBindTexture(0x1234, 0);
  EXPECT_FALSE(GLPrintError("bad target"));
  EXPECT_TRUE(GLPrintError("cleared"));
  EXPECT_TRUE(EGLPrintError("clean"));
  EGLint v = 0;
  eglQueryContext(EGL_NO_DISPLAY, EGL_NO_CONTEXT, EGL_CONFIG_ID, &v);
  EXPECT_FALSE(EGLPrintError("no display"));
  EXPECT_TRUE(EGLPrintError("cleared"));
}

}  // namespace
}  // namespace GL
}  // namespace kestrin
