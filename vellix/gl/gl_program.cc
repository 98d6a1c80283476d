#include "gl/gl_program.h"

#include <android/log.h>
#include <stddef.h>

#include <vector>

namespace kestrin {
namespace GL {

namespace {

// The compiler's and linker's logs go to the log at warning priority: a failed build must say
// why.
void LogShaderFailure(GLuint shader, unsigned type) {
  GLint len = 0;
  glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &len);
  std::vector<char> log(static_cast<size_t>(len > 1 ? len : 1), '\0');
  if (len > 1)
    glGetShaderInfoLog(shader, len, nullptr, log.data());
  __android_log_print(ANDROID_LOG_WARN, nullptr, "GLProgram::LoadShader: %s shader failed: %s",
                      type == GL_VERTEX_SHADER ? "vertex" : "fragment", log.data());
}

void LogLinkFailure(GLuint program) {
  GLint len = 0;
  glGetProgramiv(program, GL_INFO_LOG_LENGTH, &len);
  std::vector<char> log(static_cast<size_t>(len > 1 ? len : 1), '\0');
  if (len > 1)
    glGetProgramInfoLog(program, len, nullptr, log.data());
  __android_log_print(ANDROID_LOG_WARN, nullptr, "GLProgram::LoadProgram: link failed: %s",
                      log.data());
}

}  // namespace

GLProgram::GLProgram() : id(0) {}

GLProgram::~GLProgram() {
  if (id != 0)
    glDeleteProgram(id);
}

GLuint GLProgram::LoadShader(unsigned type, char const* source) {
  GLuint shader = glCreateShader(type);
  if (shader == 0)
    return 0;
  glShaderSource(shader, 1, &source, nullptr);
  glCompileShader(shader);
  GLint ok = GL_FALSE;
  glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
  if (ok)
    return shader;
  LogShaderFailure(shader, type);
  glDeleteShader(shader);
  return 0;
}

GLuint GLProgram::LoadProgram(char const* vertexSource, char const* fragmentSource) {
  GLuint vertex = LoadShader(GL_VERTEX_SHADER, vertexSource);
  if (vertex == 0)
    return 0;
  GLuint fragment = LoadShader(GL_FRAGMENT_SHADER, fragmentSource);
  if (fragment == 0) {
    glDeleteShader(vertex);
    return 0;
  }
  GLuint program = glCreateProgram();
  if (program != 0) {
    glAttachShader(program, vertex);
    glAttachShader(program, fragment);
    glLinkProgram(program);
    GLint ok = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &ok);
    if (!ok) {
      LogLinkFailure(program);
      glDeleteProgram(program);
      program = 0;
    }
  }
  // A linked program keeps its shaders alive; on failure nothing may be left behind.
  glDeleteShader(vertex);
  glDeleteShader(fragment);
  return program;
}

}  // namespace GL
}  // namespace kestrin
