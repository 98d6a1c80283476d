#include "gl/gl_texture.h"

#include "gl/gl_error.h"

namespace kestrin {
namespace GL {

GLTexture::GLTexture()
    : id(0),
      width(0),
      height(0),
      internalFormat(GL_RGBA),
      format(GL_RGBA),
      type(GL_UNSIGNED_BYTE) {}

GLTexture::~GLTexture() {
  GLTexture::Uninit();
}

void GLTexture::DeleteName() {
  if (id != 0) {
    glDeleteTextures(1, &id);
    GLPrintError("glDeleteTextures");
    id = 0;
  }
}

void GLTexture::CreateName(unsigned w, unsigned h, unsigned internal_format, unsigned pixel_format,
                           unsigned pixel_type) {
  // A second Init must not leak the name made by the first.
  DeleteName();
  width = w;
  height = h;
  internalFormat = internal_format;
  format = pixel_format;
  type = pixel_type;
  GLPrintError("glGenTexture(+)");
  glGenTextures(1, &id);
  GLPrintError("glGenTexture(-)");
  glBindTexture(GL_TEXTURE_2D, id);
}

void GLTexture::SetDefaultParameters() {
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, static_cast<GLfloat>(GL_CLAMP_TO_EDGE));
  glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, static_cast<GLfloat>(GL_CLAMP_TO_EDGE));
}

bool GLTexture::Init(unsigned w, unsigned h, unsigned internal_format, unsigned pixel_format,
                     unsigned pixel_type) {
  CreateName(w, h, internal_format, pixel_format, pixel_type);
  glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(internalFormat), static_cast<GLsizei>(w),
               static_cast<GLsizei>(h), 0, format, type, nullptr);
  SetDefaultParameters();
  GLPrintError("glTextureInit");
  return id != 0;
}

bool GLTexture::Init(unsigned w, unsigned h, unsigned char* data, unsigned internal_format,
                     unsigned pixel_format, unsigned pixel_type) {
  CreateName(w, h, internal_format, pixel_format, pixel_type);
  SetDefaultParameters();
  glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(internalFormat), static_cast<GLsizei>(w),
               static_cast<GLsizei>(h), 0, format, type, data);
  GLPrintError("glTextureInit");
  return id != 0;
}

bool GLTexture::Init(int /*w*/, int /*h*/) {
  return true;
}

void GLTexture::Bind() {
  glBindTexture(GL_TEXTURE_2D, id);
}

void GLTexture::Bind(unsigned /*name*/) {}

void GLTexture::Bind(void* /*image*/) {}

void GLTexture::SetTexture(unsigned char* data) {
  glBindTexture(GL_TEXTURE_2D, id);
  GLPrintError("glBindTexture");
  glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(internalFormat), static_cast<GLsizei>(width),
               static_cast<GLsizei>(height), 0, format, type, data);
  GLPrintError("glTexImage2D");
}

void GLTexture::SetTexture(unsigned char* data, unsigned w, unsigned h) {
  if (w != width || h != height) {
    Uninit();
    Init(w, h, static_cast<unsigned>(GL_RGBA), static_cast<unsigned>(GL_RGBA),
         static_cast<unsigned>(GL_UNSIGNED_BYTE));
  }
  SetTexture(data);
}

void GLTexture::SetTexture(unsigned char* data, unsigned w, unsigned h, unsigned internal_format,
                           unsigned pixel_format, unsigned pixel_type) {
  Uninit();
  Init(w, h, internal_format, pixel_format, pixel_type);
  SetTexture(data);
}

bool GLTexture::Init(unsigned w, unsigned h, bool depth) {
  if (!depth)
    return Init(w, h, static_cast<unsigned>(GL_RGBA), static_cast<unsigned>(GL_RGBA),
                static_cast<unsigned>(GL_UNSIGNED_BYTE));
  DeleteName();
  width = w;
  height = h;
  // Kept with the size so that a later SetTexture(data) re-specifies a depth texture.
  internalFormat = GL_DEPTH_COMPONENT;
  format = GL_DEPTH_COMPONENT;
  type = GL_UNSIGNED_SHORT;
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glGenTextures(1, &id);
  glBindTexture(GL_TEXTURE_2D, id);
  SetDefaultParameters();
  glTexImage2D(GL_TEXTURE_2D, 0, GL_DEPTH_COMPONENT, static_cast<GLsizei>(w),
               static_cast<GLsizei>(h), 0, GL_DEPTH_COMPONENT, GL_UNSIGNED_SHORT, nullptr);
  GLPrintError("glTexImage2D(Depth)");
  return id != 0;
}

void GLTexture::Uninit() {
  DeleteName();
}

void GLTexture::SetFilter(int filter) {
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
}

EGLImageKHR GLTexture::GetEGLImage() {
  return nullptr;
}

jobject GLTexture::GetJavaBitmap() {
  return nullptr;
}

jobject GLTexture::CreateBitmapFromTexture(JNIEnv* /*env*/) {
  return nullptr;
}

void GLTexture::ForgetContext() {
  id = 0;
}

}  // namespace GL
}  // namespace kestrin
