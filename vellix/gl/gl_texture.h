// Owner of one 2D texture name with its size and pixel formats. All operations run on the
// thread that holds the EGL context. Streaming textures derive from it, hence the virtual
// interface throughout.
#ifndef VELLIX_GL_GL_TEXTURE_H
#define VELLIX_GL_GL_TEXTURE_H

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>

#include "gl/jni_types.h"

namespace kestrin {
namespace GL {

class GLTexture {
 public:
  GLTexture();
  virtual ~GLTexture();

  // Storage only, nearest filtering, clamped at the edges. Returns false when no texture name
  // could be made.
  virtual bool Init(unsigned w, unsigned h, unsigned internalFormat, unsigned format,
                    unsigned type);
  // The same, uploading `data`.
  virtual bool Init(unsigned w, unsigned h, unsigned char* data, unsigned internalFormat,
                    unsigned format, unsigned type);
  virtual bool Init(int w, int h);
  virtual void Bind();
  virtual void Bind(unsigned name);
  virtual void Bind(void* image);
  // Re-uploads the whole of level 0 with the stored size and formats.
  virtual void SetTexture(unsigned char* data);
  // Rebuilds the texture as RGBA when the size differs, then uploads.
  virtual void SetTexture(unsigned char* data, unsigned w, unsigned h);
  // Always rebuilds with the given formats, then uploads.
  virtual void SetTexture(unsigned char* data, unsigned w, unsigned h, unsigned internalFormat,
                          unsigned format, unsigned type);
  // RGBA storage, or a 16-bit depth texture when `depth` is set.
  virtual bool Init(unsigned w, unsigned h, bool depth);
  virtual void Uninit();
  // Applies to whatever texture is bound; callers bind first.
  virtual void SetFilter(int filter);
  virtual EGLImageKHR GetEGLImage();
  virtual jobject GetJavaBitmap();
  virtual jobject CreateBitmapFromTexture(JNIEnv* env);
  // The context that made the name is gone: forgets the name without deleting it (it may
  // already be another texture's in a new context). After the other slots, so that they keep
  // their order.
  virtual void ForgetContext();

  GLuint id;
  unsigned width;
  unsigned height;
  unsigned internalFormat;
  unsigned format;
  unsigned type;

 private:
  void DeleteName();
  // Deletes any previous name, records the size and formats, makes and binds a new name.
  void CreateName(unsigned w, unsigned h, unsigned internal_format, unsigned pixel_format,
                  unsigned pixel_type);
  void SetDefaultParameters();
};

}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_GL_GL_TEXTURE_H
