#include "gl/gl_error.h"

#include <EGL/egl.h>
#include <GLES2/gl2.h>
#include <android/log.h>

namespace kestrin {
namespace GL {

// An error goes to the log at warning priority, with the call site that found it: an
// application developer needs to see it.
bool GLPrintError(char const* where) {
  GLenum e = glGetError();
  if (e == GL_NO_ERROR)
    return true;
  __android_log_print(ANDROID_LOG_WARN, nullptr, "GL error 0x%04x at %s", e,
                      where != nullptr ? where : "?");
  return false;
}

bool EGLPrintError(char const* where) {
  EGLint e = eglGetError();
  if (e == EGL_SUCCESS)
    return true;
  __android_log_print(ANDROID_LOG_WARN, nullptr, "EGL error 0x%04x at %s", e,
                      where != nullptr ? where : "?");
  return false;
}

}  // namespace GL
}  // namespace kestrin
