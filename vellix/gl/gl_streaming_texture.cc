#include "gl/gl_streaming_texture.h"

#include <gralloc/egl_image.h>

#include "gl/gl_error.h"

namespace kestrin {
namespace GL {

void* EGLImageSkPixelRef::onLockPixels(void** colorTable) {
  if (colorTable != nullptr)
    *colorTable = nullptr;
  if (texture == nullptr || !texture->IsCreated())
    return nullptr;
  return texture->Lock();
}

void EGLImageSkPixelRef::onUnlockPixels() {
  if (texture != nullptr && texture->IsCreated())
    texture->Unlock();
}

GLStreamingTexture::GLStreamingTexture()
    : GLTexture(),
      image(EGL_NO_IMAGE_KHR),
      locked(false),
      bitmap(nullptr),
      env(nullptr),
      javaBitmap(nullptr),
      vm_(nullptr) {}

GLStreamingTexture::~GLStreamingTexture() {
  GLStreamingTexture::Uninit();
  ReleaseJavaBitmap();
  buffer.clear();
}

void GLStreamingTexture::ReleaseJavaBitmap() {
  if (bitmap != nullptr)
    bitmap->texture = nullptr;
  // The environment of the thread that runs now: the one remembered may belong to another.
  JNIEnv* current = nullptr;
  if (vm_ != nullptr && vm_->GetEnv(reinterpret_cast<void**>(&current), JNI_VERSION_1_6) != JNI_OK)
    current = nullptr;
  if (current != nullptr) {
    if (javaBitmap != nullptr) {
      android::DetachJavaBitmap(current, javaBitmap);
      current->DeleteGlobalRef(javaBitmap);
    }
    delete bitmap;
  }
  // Without an environment the Java bitmap may still point at the pixel ref: it stays, cut
  // off from the texture, rather than dangle.
  javaBitmap = nullptr;
  bitmap = nullptr;
}

void GLStreamingTexture::DestroyImage() {
  if (image != EGL_NO_IMAGE_KHR) {
    gralloc::DestroyImage(eglGetCurrentDisplay(), image);
    image = EGL_NO_IMAGE_KHR;
  }
}

bool GLStreamingTexture::Init(int w, int h) {
  DestroyImage();
  GLTexture::Uninit();
  if (w <= 0 || h <= 0)
    return false;
  glGenTextures(1, &id);
  GLPrintError("glGenTexture");
  glBindTexture(GL_TEXTURE_2D, id);
  if (id == 0)
    return false;
  width = static_cast<unsigned>(w);
  height = static_cast<unsigned>(h);
  internalFormat = GL_RGBA;
  format = GL_RGBA;
  type = GL_UNSIGNED_BYTE;
  buffer = new android::GraphicBuffer(
      width, height, android::PIXEL_FORMAT_RGBA_8888,
      android::GRALLOC_USAGE_HW_TEXTURE | android::GRALLOC_USAGE_SW_WRITE_OFTEN);
  if (buffer->initCheck() != android::NO_ERROR) {
    buffer.clear();
    return false;
  }
  EGLint const attribs[] = {EGL_IMAGE_PRESERVED_KHR, EGL_TRUE, EGL_NONE};
  image = gralloc::CreateImage(eglGetCurrentDisplay(), buffer->getNativeBuffer(), attribs);
  EGLPrintError("eglEGLImageTargetTexture2DOES");
  glBindTexture(GL_TEXTURE_2D, id);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, static_cast<GLfloat>(GL_CLAMP_TO_EDGE));
  glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, static_cast<GLfloat>(GL_CLAMP_TO_EDGE));
  return image != EGL_NO_IMAGE_KHR;
}

bool GLStreamingTexture::Init(int w, int h, unsigned char*, unsigned, unsigned, unsigned) {
  return Init(w, h);
}

void GLStreamingTexture::Bind() {
  glBindTexture(GL_TEXTURE_2D, id);
  gralloc::ImageTargetTexture2D(GL_TEXTURE_2D, image);
}

void GLStreamingTexture::Bind(unsigned name) {
  glBindTexture(GL_TEXTURE_2D, name);
  gralloc::ImageTargetTexture2D(GL_TEXTURE_2D, image);
}

void GLStreamingTexture::Bind(void* other) {
  glBindTexture(GL_TEXTURE_2D, id);
  gralloc::ImageTargetTexture2D(GL_TEXTURE_2D, static_cast<EGLImageKHR>(other));
}

void* GLStreamingTexture::Lock() {
  if (image == EGL_NO_IMAGE_KHR || !buffer)
    return nullptr;
  void* pixels = nullptr;
  if (buffer->lock(android::GRALLOC_USAGE_SW_WRITE_OFTEN, &pixels) != android::NO_ERROR)
    return nullptr;
  locked = true;
  return pixels;
}

void GLStreamingTexture::Unlock() {
  if (image == EGL_NO_IMAGE_KHR || !buffer)
    return;
  buffer->unlock();
  locked = false;
}

void GLStreamingTexture::Uninit() {
  DestroyImage();
  buffer.clear();
  GLTexture::Uninit();
}

void GLStreamingTexture::ForgetContext() {
  GLTexture::ForgetContext();
  image = EGL_NO_IMAGE_KHR;
}

EGLImageKHR GLStreamingTexture::GetEGLImage() {
  return image;
}

jobject GLStreamingTexture::GetJavaBitmap() {
  return javaBitmap;
}

jobject GLStreamingTexture::CreateBitmapFromTexture(JNIEnv* env_) {
  if (!buffer || env_ == nullptr || image == EGL_NO_IMAGE_KHR)
    return nullptr;
  ReleaseJavaBitmap();
  void* pixels = nullptr;
  if (buffer->lock(android::GRALLOC_USAGE_SW_WRITE_OFTEN, &pixels) != android::NO_ERROR)
    return nullptr;
  buffer->unlock();
  bitmap = new EGLImageSkPixelRef(this);
  env = env_;
  if (env->GetJavaVM(&vm_) != JNI_OK)
    vm_ = nullptr;
  javaBitmap = android::CreateJavaBitmap(env, static_cast<int>(buffer->getWidth()),
                                         static_cast<int>(buffer->getHeight()),
                                         static_cast<int>(buffer->getStride() * 4), pixels, bitmap);
  if (javaBitmap == nullptr) {
    delete bitmap;
    bitmap = nullptr;
    return nullptr;
  }
  MakeGlobalReference(env);
  return javaBitmap;
}

void GLStreamingTexture::MakeGlobalReference(JNIEnv* env_) {
  if (javaBitmap == nullptr || env_ == nullptr)
    return;
  jobject local = javaBitmap;
  javaBitmap = env_->NewGlobalRef(local);
  env_->DeleteLocalRef(local);
}

}  // namespace GL
}  // namespace kestrin
