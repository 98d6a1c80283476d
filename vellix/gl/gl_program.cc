#include "gl/gl_program.h"

#include <stddef.h>

#include <vector>

namespace kestrin {
namespace GL {

namespace {

// The logs are fetched, as a debugger would want them at this point, but not kept.
void DiscardShaderLog(GLuint shader) {
  GLint len = 0;
  glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &len);
  if (len > 1) {
    std::vector<char> log(static_cast<size_t>(len));
    glGetShaderInfoLog(shader, len, nullptr, log.data());
  }
}

void DiscardProgramLog(GLuint program) {
  GLint len = 0;
  glGetProgramiv(program, GL_INFO_LOG_LENGTH, &len);
  if (len > 1) {
    std::vector<char> log(static_cast<size_t>(len));
    glGetProgramInfoLog(program, len, nullptr, log.data());
  }
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
  DiscardShaderLog(shader);
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
      DiscardProgramLog(program);
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
