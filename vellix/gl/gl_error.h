// Probes of the GL and EGL error state after a call.
#ifndef VELLIX_GL_GL_ERROR_H
#define VELLIX_GL_GL_ERROR_H

namespace kestrin {
namespace GL {

// True when glGetError() reports no error; otherwise the error and `where` (the call site) are
// logged at warning priority.
bool GLPrintError(char const* where);
// True when eglGetError() reports EGL_SUCCESS; otherwise logged as above.
bool EGLPrintError(char const* where);

}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_GL_GL_ERROR_H
