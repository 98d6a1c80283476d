// Probes of the GL and EGL error state after a call.
#ifndef VELLIX_GL_GL_ERROR_H
#define VELLIX_GL_GL_ERROR_H

namespace kestrin {
namespace GL {

// True when glGetError() reports no error. `where` names the call site; nothing is written.
bool GLPrintError(char const* where);
// True when eglGetError() reports EGL_SUCCESS.
bool EGLPrintError(char const* where);

}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_GL_GL_ERROR_H
