// Native paths that need Java without a Java caller, with a real JVM inside the test (JNI
// invocation API): streaming textures, where Java draws into the bitmap over a page
// texture's graphic buffer, and the end-of-animation callback on a thread Java never saw.
#include <android/bitmap.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "book/gl_scene.h"
#include "embedded_jvm.h"
#include "gl/gl_streaming_texture.h"
#include "jni/vellix_callback.h"
#include "vellix/gl/egl_context_helper.h"

namespace kestrin {
namespace GL {
namespace {

jobject g_bitmaps[4];
int g_returns = 0;

void Collect(jobject* bitmaps) {
  std::copy(bitmaps, bitmaps + 4, g_bitmaps);
  ++g_returns;
}

void OnEnd() {}

uint32_t Center(int w, int h) {
  uint8_t p[4] = {0, 0, 0, 0};
  glReadPixels(w / 2, h / 2, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, p);
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// One VM per process, shared by the tests.
vellix_demo::EmbeddedJvm& Jvm() {
  static vellix_demo::EmbeddedJvm* jvm = [] {
    auto* j = new vellix_demo::EmbeddedJvm();
    if (!j->Start(VELLIX_JAVA_CLASSES, "."))
      fprintf(stderr, "%s\n", j->error().c_str());
    return j;
  }();
  return *jvm;
}

// Standard error of the process while it lives.
class StderrCapture {
 public:
  StderrCapture() {
    char const* dir = getenv("TMPDIR");
    std::string path =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/vellix-test-XXXXXX";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    fd_ = mkstemp(name.data());
    if (fd_ >= 0)
      unlink(name.data());
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    if (fd_ >= 0)
      dup2(fd_, STDERR_FILENO);
  }
  // What was written so far; standard error is restored.
  std::string Finish() {
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    std::string text;
    char buf[4096];
    ssize_t n;
    off_t at = 0;
    while (fd_ >= 0 && (n = pread(fd_, buf, sizeof(buf), at)) > 0) {
      text.append(buf, static_cast<size_t>(n));
      at += n;
    }
    return text;
  }
  ~StderrCapture() {
    if (fd_ >= 0)
      close(fd_);
    close(saved_);
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
};

TEST(CallbackJvmTest, ANativeThreadIsAttachedForTheCallOnly) {
  vellix_demo::EmbeddedJvm& jvm = Jvm();
  ASSERT_NE(nullptr, jvm.env()) << jvm.error();
  JNIEnv* env = jvm.env();
  jclass lib = jvm.Find("com/ordune/notes/vellix/VellixLib");
  ASSERT_NE(nullptr, lib);
  jclass counter = jvm.Find("com/ordune/notes/vellix/test/EndCounter");
  ASSERT_NE(nullptr, counter);
  jmethodID install = env->GetStaticMethodID(counter, "install", "()V");
  jfieldID ends = env->GetStaticFieldID(counter, "ends", "I");
  ASSERT_NE(nullptr, install);
  ASSERT_NE(nullptr, ends);
  env->CallStaticVoidMethod(counter, install);
  ASSERT_FALSE(env->ExceptionCheck());
  kestrin::CVellixCallback callback;
  // Static natives hand over the class itself.
  ASSERT_TRUE(callback.Init(env, lib));
  jint before = env->GetStaticIntField(counter, ends);
  callback.OnAnimationEnd();
  EXPECT_EQ(before + 1, env->GetStaticIntField(counter, ends)) << "on a Java thread";

  StderrCapture capture;
  jint stateAfter = JNI_OK;
  std::thread native([&] {
    callback.OnAnimationEnd();
    JNIEnv* e = nullptr;
    stateAfter = jvm.vm()->GetEnv(reinterpret_cast<void**>(&e), JNI_VERSION_1_6);
  });
  native.join();
  std::string log = capture.Finish();
  EXPECT_EQ(before + 2, env->GetStaticIntField(counter, ends)) << "on a native thread";
  EXPECT_EQ(JNI_EDETACHED, stateAfter) << "detached again";
  EXPECT_NE(std::string::npos,
            log.find("callback_handler: failed to get JNI environment, assuming native thread"))
      << log;
  EXPECT_EQ(std::string::npos, log.find("failed to attach")) << log;
}

TEST(StreamingTextureJvmTest, ABitmapChangedInPlaceShowsInTheNextFrame) {
  vellix_demo::EmbeddedJvm& jvm = Jvm();
  ASSERT_NE(nullptr, jvm.env()) << jvm.error();
  JNIEnv* env = jvm.env();
  jclass bitmapClass = jvm.Find("android/graphics/Bitmap");
  ASSERT_NE(nullptr, bitmapClass);
  jmethodID erase = env->GetMethodID(bitmapClass, "eraseColor", "(I)V");
  jmethodID locks = env->GetMethodID(bitmapClass, "getLockCount", "()I");
  ASSERT_NE(nullptr, erase);

  int const w = 32;
  int const h = 24;
  vellix_test::HeadlessGL gl(w, h, true);
  ASSERT_EQ("", gl.error());
  std::unique_ptr<GLScene> scene(new GLScene());
  ASSERT_TRUE(scene->Init(w, h, OnEnd));
  ASSERT_TRUE(scene->InitStreamingTextures(w, h, Collect, env, false));
  EXPECT_EQ(1, g_returns);
  ASSERT_NE(nullptr, g_bitmaps[0]);
  ASSERT_NE(nullptr, g_bitmaps[1]);
  ASSERT_NE(nullptr, g_bitmaps[2]);
  EXPECT_EQ(nullptr, g_bitmaps[3]) << "no ink layer";
  // The spare page's bitmap: kept past the book's life by a reference of our own.
  jobject spare = env->NewGlobalRef(g_bitmaps[1]);

  AndroidBitmapInfo info;
  ASSERT_EQ(ANDROID_BITMAP_RESULT_SUCCESS, AndroidBitmap_getInfo(env, spare, &info));
  EXPECT_EQ(static_cast<uint32_t>(w), info.width);
  EXPECT_EQ(static_cast<uint32_t>(h), info.height);
  EXPECT_EQ(static_cast<uint32_t>(w * 4), info.stride);
  EXPECT_EQ(ANDROID_BITMAP_FORMAT_RGBA_8888, info.format);

  // Java draws while the buffer is locked; until the unlock the frame shows the old pixels.
  void* pixels = nullptr;
  ASSERT_EQ(ANDROID_BITMAP_RESULT_SUCCESS, AndroidBitmap_lockPixels(env, spare, &pixels));
  ASSERT_NE(nullptr, pixels);
  GLStreamingTexture* texture =
      static_cast<GLStreamingTexture*>(scene->book->textures[scene->book->slotIndex[3]]);
  EXPECT_TRUE(texture->IsLocked());
  env->CallVoidMethod(spare, erase, static_cast<jint>(0xff20c040));
  ASSERT_FALSE(env->ExceptionCheck());
  scene->SwapPageTexture();  // the spare page becomes the current one
  scene->UpdateAndDraw();
  EXPECT_EQ(0u, Center(w, h)) << "a locked buffer is not sampled half-drawn";
  EXPECT_EQ(ANDROID_BITMAP_RESULT_SUCCESS, AndroidBitmap_unlockPixels(env, spare));
  EXPECT_FALSE(texture->IsLocked());
  scene->UpdateAndDraw();
  EXPECT_EQ(0x20c040ffu, Center(w, h));

  // Changed in place again, without any upload call.
  ASSERT_EQ(ANDROID_BITMAP_RESULT_SUCCESS, AndroidBitmap_lockPixels(env, spare, &pixels));
  env->CallVoidMethod(spare, erase, static_cast<jint>(0xffd02020));
  ASSERT_FALSE(env->ExceptionCheck());
  EXPECT_EQ(ANDROID_BITMAP_RESULT_SUCCESS, AndroidBitmap_unlockPixels(env, spare));
  scene->UpdateAndDraw();
  EXPECT_EQ(0xd02020ffu, Center(w, h));
  EXPECT_EQ(0, env->CallIntMethod(spare, locks));
  ASSERT_FALSE(env->ExceptionCheck());
  EXPECT_EQ(static_cast<GLenum>(GL_NO_ERROR), glGetError());

  // A new surface size keeps the book and its streaming textures: the bitmap still draws into
  // the page on screen.
  scene->ResetDimension(w * 2, h);
  ASSERT_EQ(ANDROID_BITMAP_RESULT_SUCCESS, AndroidBitmap_lockPixels(env, spare, &pixels));
  env->CallVoidMethod(spare, erase, static_cast<jint>(0xff2040d0));
  ASSERT_FALSE(env->ExceptionCheck());
  EXPECT_EQ(ANDROID_BITMAP_RESULT_SUCCESS, AndroidBitmap_unlockPixels(env, spare));
  scene->UpdateAndDraw();
  // The viewport is twice the surface's width: its left half, the page's, is on the surface.
  EXPECT_EQ(0x2040d0ffu, Center(w, h));
  // Destroyed with the scene, the texture cuts the bitmap off from the freed buffer: locking
  // it then fails instead of writing into freed memory.
  scene.reset();
  EXPECT_GT(0, AndroidBitmap_lockPixels(env, spare, &pixels));
  EXPECT_FALSE(env->ExceptionCheck());
  env->DeleteGlobalRef(spare);
}

}  // namespace
}  // namespace GL
}  // namespace kestrin
