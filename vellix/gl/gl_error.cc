#include "gl/gl_error.h"

#include <EGL/egl.h>
#include <GLES2/gl2.h>

namespace kestrin {
namespace GL {

bool GLPrintError(char const* /*where*/) {
  return glGetError() == GL_NO_ERROR;
}

bool EGLPrintError(char const* /*where*/) {
  return eglGetError() == EGL_SUCCESS;
}

}  // namespace GL
}  // namespace kestrin
