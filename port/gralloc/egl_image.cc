#include <gralloc/egl_image.h>
// After gl2.h, which it builds on.
#include <GLES2/gl2ext.h>
#include <stdint.h>
#include <ui/GraphicBuffer.h>

#include <mutex>
#include <vector>

namespace gralloc {

namespace {

struct Image {
  EGLImageKHR image;
  GLuint source;
  android::sp<android::GraphicBuffer> buffer;
};

std::mutex g_mutex;
std::vector<Image>* g_images = nullptr;

PFNEGLCREATEIMAGEKHRPROC CreateProc() {
  static auto p =
      reinterpret_cast<PFNEGLCREATEIMAGEKHRPROC>(eglGetProcAddress("eglCreateImageKHR"));
  return p;
}

PFNEGLDESTROYIMAGEKHRPROC DestroyProc() {
  static auto p =
      reinterpret_cast<PFNEGLDESTROYIMAGEKHRPROC>(eglGetProcAddress("eglDestroyImageKHR"));
  return p;
}

PFNGLEGLIMAGETARGETTEXTURE2DOESPROC TargetProc() {
  static auto p = reinterpret_cast<PFNGLEGLIMAGETARGETTEXTURE2DOESPROC>(
      eglGetProcAddress("glEGLImageTargetTexture2DOES"));
  return p;
}

// Runs `f` with `texture` bound, restoring the caller's binding afterwards.
template <typename F>
void WithTexture(GLuint texture, F f) {
  GLint previous = 0;
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &previous);
  glBindTexture(GL_TEXTURE_2D, texture);
  f();
  glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(previous));
}

}  // namespace

EGLImageKHR CreateImage(EGLDisplay display, ANativeWindowBuffer* native, EGLint const* attribs) {
  EGLContext context = eglGetCurrentContext();
  if (native == nullptr || native->buffer == nullptr ||
      native->buffer->initCheck() != android::NO_ERROR || context == EGL_NO_CONTEXT ||
      CreateProc() == nullptr || DestroyProc() == nullptr || TargetProc() == nullptr)
    return EGL_NO_IMAGE_KHR;
  android::GraphicBuffer* buffer = native->buffer;
  GLuint source = 0;
  glGenTextures(1, &source);
  if (source == 0)
    return EGL_NO_IMAGE_KHR;
  WithTexture(source, [&] {
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, static_cast<GLsizei>(buffer->getWidth()),
                 static_cast<GLsizei>(buffer->getHeight()), 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  });
  // The caller's attributes (image preserved) plus the texture level the image is made from.
  std::vector<EGLint> list = {EGL_GL_TEXTURE_LEVEL_KHR, 0};
  for (EGLint const* a = attribs; a != nullptr && a[0] != EGL_NONE; a += 2) {
    list.push_back(a[0]);
    list.push_back(a[1]);
  }
  list.push_back(EGL_NONE);
  EGLImageKHR image =
      CreateProc()(display, context, EGL_GL_TEXTURE_2D_KHR,
                   reinterpret_cast<EGLClientBuffer>(static_cast<uintptr_t>(source)), list.data());
  if (image == EGL_NO_IMAGE_KHR) {
    glDeleteTextures(1, &source);
    return EGL_NO_IMAGE_KHR;
  }
  std::lock_guard<std::mutex> hold(g_mutex);
  if (g_images == nullptr)
    g_images = new std::vector<Image>();
  g_images->push_back(Image{image, source, buffer});
  return image;
}

EGLBoolean DestroyImage(EGLDisplay display, EGLImageKHR image) {
  if (image == EGL_NO_IMAGE_KHR || DestroyProc() == nullptr)
    return EGL_FALSE;
  GLuint source = 0;
  {
    std::lock_guard<std::mutex> hold(g_mutex);
    if (g_images != nullptr) {
      for (auto i = g_images->begin(); i != g_images->end(); ++i) {
        if (i->image == image) {
          source = i->source;
          g_images->erase(i);
          break;
        }
      }
    }
  }
  EGLBoolean ok = DestroyProc()(display, image);
  if (source != 0 && eglGetCurrentContext() != EGL_NO_CONTEXT)
    glDeleteTextures(1, &source);
  return ok;
}

void ImageTargetTexture2D(GLenum target, EGLImageKHR image) {
  if (TargetProc() == nullptr || image == EGL_NO_IMAGE_KHR)
    return;
  GLuint source = 0;
  android::sp<android::GraphicBuffer> buffer;
  {
    std::lock_guard<std::mutex> hold(g_mutex);
    if (g_images != nullptr) {
      for (Image const& i : *g_images) {
        if (i.image == image) {
          source = i.source;
          buffer = i.buffer;
          break;
        }
      }
    }
  }
  if (buffer) {
    // The image and every texture bound to it share the source texture's storage.
    buffer->TakeChanges([&](void* pixels) {
      WithTexture(source, [&] {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, static_cast<GLsizei>(buffer->getWidth()),
                        static_cast<GLsizei>(buffer->getHeight()), GL_RGBA, GL_UNSIGNED_BYTE,
                        pixels);
      });
    });
  }
  TargetProc()(target, image);
}

}  // namespace gralloc
