// A page texture whose pixels live in a graphic buffer that both the GPU (through an EGL
// image) and Java (through a Java bitmap over the same memory) reach, so the application
// draws a page straight into the texture without an upload. Java's drawing locks and unlocks
// the buffer through the bitmap's pixel ref; the GL side must not sample the buffer while Java
// holds it, which is why the book points its textures at a dummy image between frames.
#ifndef VELLIX_GL_GL_STREAMING_TEXTURE_H
#define VELLIX_GL_GL_STREAMING_TEXTURE_H

#include <android/pixel_ref.h>
#include <ui/GraphicBuffer.h>

#include "gl/gl_texture.h"

namespace kestrin {
namespace GL {

class GLStreamingTexture;

// Lets the bitmap's locks reach the texture's buffer.
class EGLImageSkPixelRef : public android::PixelRef {
 public:
  explicit EGLImageSkPixelRef(GLStreamingTexture* texture) : texture(texture) {}
  void* onLockPixels(void** colorTable) override;
  void onUnlockPixels() override;
  void* getFactory() const { return nullptr; }
  void* flatten() const { return nullptr; }

  // Cleared when the texture goes away; the bitmap's locks then fail.
  GLStreamingTexture* texture;
};

class GLStreamingTexture : public GLTexture {
 public:
  GLStreamingTexture();
  ~GLStreamingTexture() override;

  using GLTexture::Init;
  // A w x h RGBA buffer and its EGL image. False when neither can be had.
  bool Init(int w, int h) override;
  // Binds the texture with its own image, bringing it up to date with the buffer.
  void Bind() override;
  // Binds another texture name with this object's image.
  void Bind(unsigned name) override;
  // Binds this texture name with another image (the book's dummy, to free the buffer).
  void Bind(void* image) override;
  void Uninit() override;
  EGLImageKHR GetEGLImage() override;
  jobject GetJavaBitmap() override;
  // A global reference to a Java bitmap over the buffer, or null.
  jobject CreateBitmapFromTexture(JNIEnv* env) override;
  // Forgets the texture name; the buffer and the Java bitmap over it stay, the EGL image
  // (made on the old display) is forgotten too.
  void ForgetContext() override;
  virtual bool Init(int w, int h, unsigned char*, unsigned, unsigned, unsigned);
  // The buffer's pixels for writing, or null without an image.
  virtual void* Lock();
  virtual void Unlock();

  void MakeGlobalReference(JNIEnv* env);
  bool IsLocked() const { return locked; }
  bool IsCreated() const { return image != EGL_NO_IMAGE_KHR; }

  EGLImageKHR image;
  android::sp<android::GraphicBuffer> buffer;
  bool locked;
  EGLImageSkPixelRef* bitmap;
  JNIEnv* env;
  jobject javaBitmap;

 private:
  void ReleaseJavaBitmap();
  void DestroyImage();

  JavaVM* vm_;
};

}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_GL_GL_STREAMING_TEXTURE_H
