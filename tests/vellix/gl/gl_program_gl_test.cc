#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "gl/gl_program.h"
#include "vellix/gl/egl_context_helper.h"

namespace kestrin {
namespace GL {
namespace {

using vellix_test::HeadlessGL;
using vellix_test::LiveShaderObjects;

char const kVertex[] =
    "attribute vec4 a_position;\n"
    "varying vec2 v_pos;\n"
    "void main() { v_pos = a_position.xy; gl_Position = a_position; }\n";
char const kFragment[] =
    "precision mediump float;\n"
    "varying vec2 v_pos;\n"
    "void main() { gl_FragColor = vec4(v_pos, 0.0, 1.0); }\n";
char const kBroken[] = "void main() { this is not glsl }\n";
// Compiles, but reads a varying the vertex shader never writes: linking fails.
char const kUnmatchedFragment[] =
    "precision mediump float;\n"
    "varying vec3 v_other;\n"
    "void main() { gl_FragColor = vec4(v_other, 1.0); }\n";

class GLProgramTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ("", gl.error()); }
  HeadlessGL gl;
};

TEST_F(GLProgramTest, LinksAndKeepsOnlyTheProgram) {
  GLuint p = GLProgram::LoadProgram(kVertex, kFragment);
  ASSERT_NE(0u, p);
  EXPECT_TRUE(glIsProgram(p));
  GLint linked = 0;
  glGetProgramiv(p, GL_LINK_STATUS, &linked);
  EXPECT_TRUE(linked);
  GLint attached = 0;
  glGetProgramiv(p, GL_ATTACHED_SHADERS, &attached);
  EXPECT_EQ(2, attached);
  // The shaders are only flagged for deletion; with the program they are gone.
  glDeleteProgram(p);
  EXPECT_EQ(0, LiveShaderObjects());
}

TEST_F(GLProgramTest, BrokenVertexShaderCreatesNothing) {
  EXPECT_EQ(0u, GLProgram::LoadProgram(kBroken, kFragment));
  EXPECT_EQ(0, LiveShaderObjects());
}

TEST_F(GLProgramTest, BrokenFragmentShaderLeavesNothingBehind) {
  EXPECT_EQ(0u, GLProgram::LoadProgram(kVertex, kBroken));
  EXPECT_EQ(0, LiveShaderObjects());
}

// A failed build says why at warning priority: the compiler's or linker's log, not only 0.
TEST_F(GLProgramTest, FailuresLogTheCompilerOrLinkerAtWarningPriority) {
  struct Case {
    char const* vertex;
    char const* fragment;
    char const* line;
  } const cases[] = {
      {kBroken, kFragment, "): GLProgram::LoadShader: vertex shader failed: "},
      {kVertex, kBroken, "): GLProgram::LoadShader: fragment shader failed: "},
      {kVertex, kUnmatchedFragment, "): GLProgram::LoadProgram: link failed: "},
  };
  for (Case const& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(0u, GLProgram::LoadProgram(c.vertex, c.fragment));
    std::string log = testing::internal::GetCapturedStderr();
    size_t at = log.find(c.line);
    ASSERT_NE(std::string::npos, at) << log;
    EXPECT_EQ(0u, log.rfind("W/", at)) << "one warning line: " << log;
    // The driver's own text follows (Mesa names the error and its line).
    EXPECT_LT(at + strlen(c.line) + 5, log.size()) << log;
  }
  testing::internal::CaptureStderr();
  GLuint good = GLProgram::LoadProgram(kVertex, kFragment);
  EXPECT_EQ("", testing::internal::GetCapturedStderr()) << "a good build logs nothing";
  EXPECT_NE(0u, good);
  glDeleteProgram(good);
}

TEST_F(GLProgramTest, LinkFailureLeavesNothingBehind) {
  EXPECT_EQ(0u, GLProgram::LoadProgram(kVertex, kUnmatchedFragment));
  EXPECT_EQ(0, LiveShaderObjects());
}

TEST_F(GLProgramTest, LoadShader) {
  GLuint s = GLProgram::LoadShader(GL_VERTEX_SHADER, kVertex);
  ASSERT_NE(0u, s);
  GLint type = 0;
  glGetShaderiv(s, GL_SHADER_TYPE, &type);
  EXPECT_EQ(GL_VERTEX_SHADER, type);
  glDeleteShader(s);
  EXPECT_EQ(0u, GLProgram::LoadShader(GL_FRAGMENT_SHADER, kBroken));
  EXPECT_EQ(0u, GLProgram::LoadShader(0x1234, kVertex));
  EXPECT_EQ(0, LiveShaderObjects());
  glGetError();
}

TEST_F(GLProgramTest, DestructorDeletesTheProgram) {
  GLuint p = 0;
  {
    GLProgram program;
    EXPECT_EQ(0u, program.id);
    program.id = GLProgram::LoadProgram(kVertex, kFragment);
    p = program.id;
    ASSERT_TRUE(glIsProgram(p));
  }
  EXPECT_FALSE(glIsProgram(p));
  EXPECT_EQ(0, LiveShaderObjects());
  // A program that was never built deletes nothing.
  { GLProgram unused; }
  EXPECT_EQ(static_cast<GLenum>(GL_NO_ERROR), glGetError());
}

}  // namespace
}  // namespace GL
}  // namespace kestrin
