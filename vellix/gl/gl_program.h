// Owner of one linked GL program, built from vertex and fragment shader source text.
#ifndef VELLIX_GL_GL_PROGRAM_H
#define VELLIX_GL_GL_PROGRAM_H

#include <GLES2/gl2.h>

namespace kestrin {
namespace GL {

class GLProgram {
 public:
  GLProgram();
  virtual ~GLProgram();

  // A compiled shader, or 0.
  static GLuint LoadShader(unsigned type, char const* source);
  // A linked program, or 0; nothing is left behind on failure. The caller stores the name in
  // `id`.
  static GLuint LoadProgram(char const* vertexSource, char const* fragmentSource);

  // The context that made the program is gone: forgets the name without deleting it.
  void ForgetContext() { id = 0; }

  GLuint id;
};

}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_GL_GL_PROGRAM_H
