#include <gtest/gtest.h>

#include <vector>

#include "gl/gl_program.h"
#include "gl/gl_texture.h"
#include "page/border_page.h"
#include "page/dual_turn_page.h"
#include "page/partial_page.h"
#include "page/turn_page.h"
#include "vellix/gl/egl_context_helper.h"

namespace kestrin {
namespace GL {
namespace {

using vellix_test::HeadlessGL;
using vellix_test::Rgba;

// Page coordinates straight to the screen: x * scale + offset, y * scale - 1, depth ignored.
char const kVertex[] =
    "attribute vec4 a_position;\n"
    "attribute vec2 a_texCoord;\n"
    "attribute vec3 a_normal;\n"
    "uniform vec2 u_map;\n"
    "uniform float u_normalWeight;\n"
    "varying vec2 v_texCoord;\n"
    "void main() {\n"
    "  v_texCoord = a_texCoord + a_normal.xy * u_normalWeight;\n"
    "  gl_Position = vec4(a_position.x * u_map.x + u_map.y, a_position.y * u_map.x - 1.0,\n"
    "                     0.0, 1.0);\n"
    "}\n";
char const kFragment[] =
    "precision mediump float;\n"
    "uniform sampler2D s_texture0;\n"
    "varying vec2 v_texCoord;\n"
    "void main() { gl_FragColor = texture2D(s_texture0, v_texCoord); }\n";

uint32_t const kRed = 0xff0000ff;
uint32_t const kGreen = 0x00ff00ff;
uint32_t const kBlue = 0x0000ffff;
uint32_t const kWhite = 0xffffffff;
uint32_t const kClear = 0x000000ff;

class PageDrawTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ("", gl.error());
    program.id = GLProgram::LoadProgram(kVertex, kFragment);
    ASSERT_NE(0u, program.id);
    glUseProgram(program.id);
    a_position = glGetAttribLocation(program.id, "a_position");
    a_texCoord = glGetAttribLocation(program.id, "a_texCoord");
    a_normal = glGetAttribLocation(program.id, "a_normal");
    ASSERT_GE(a_position, 0);
    ASSERT_GE(a_texCoord, 0);
    ASSERT_GE(a_normal, 0);
    glEnableVertexAttribArray(static_cast<GLuint>(a_position));
    glEnableVertexAttribArray(static_cast<GLuint>(a_texCoord));
    glEnableVertexAttribArray(static_cast<GLuint>(a_normal));
    glUniform1i(glGetUniformLocation(program.id, "s_texture0"), 0);
    // A page two units square fills the 64 x 64 pbuffer.
    Map(1.0f, -1.0f);
    glEnable(GL_CULL_FACE);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    std::vector<unsigned char> quad = Rgba({kBlue, kWhite, kRed, kGreen});
    image.Init(2, 2, quad.data(), GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE);
    std::vector<unsigned char> red = Rgba({kRed});
    front.Init(1, 1, red.data(), GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE);
    std::vector<unsigned char> blue = Rgba({kBlue});
    back.Init(1, 1, blue.data(), GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE);
  }
  void TearDown() override { EXPECT_EQ(static_cast<GLenum>(GL_NO_ERROR), glGetError()); }

  void Map(float scale, float offset) {
    glUniform2f(glGetUniformLocation(program.id, "u_map"), scale, offset);
  }
  // The pixel over page point (x, y).
  uint32_t At(float x, float y, float offset = 0.0f) {
    return gl.Pixel(static_cast<int>((x + offset) * 32.0f), static_cast<int>(y * 32.0f));
  }

  HeadlessGL gl;
  GLProgram program;
  GLint a_position = -1;
  GLint a_texCoord = -1;
  GLint a_normal = -1;
  GLTexture image;
  GLTexture front;
  GLTexture back;
};

TEST_F(PageDrawTest, FlatPageShowsItsImageUpright) {
  // Image rows top to bottom: (blue, white), (red, green). The first row is the top.
  CVirtualPage page(2.0f, 2.0f, 3, 4);
  page.frontTexture = &image;
  page.Draw(a_position, a_texCoord);
  EXPECT_EQ(kBlue, At(0.5f, 1.5f));
  EXPECT_EQ(kWhite, At(1.5f, 1.5f));
  EXPECT_EQ(kRed, At(0.5f, 0.5f));
  EXPECT_EQ(kGreen, At(1.5f, 0.5f));
  EXPECT_EQ(kRed, At(0.02f, 0.02f));
  EXPECT_EQ(kWhite, At(1.98f, 1.98f));
}

TEST_F(PageDrawTest, NothingWithoutAFrontTextureOrWithTheBackShown) {
  CVirtualPage page(2.0f, 2.0f, 2, 2);
  page.Draw(a_position, a_texCoord);
  EXPECT_EQ(kClear, At(1.0f, 1.0f));
  page.frontTexture = &front;
  page.side = -1;
  page.Draw(a_position, a_texCoord);
  EXPECT_EQ(kClear, At(1.0f, 1.0f));
  page.side = 1;
  page.Draw(a_position, a_texCoord);
  EXPECT_EQ(kRed, At(1.0f, 1.0f));
}

TEST_F(PageDrawTest, BothSidesDrawTheFaceThatLooksAtTheViewer) {
  // Mirrored about the spine, the sheet turns its back to the viewer.
  CVirtualPage page(2.0f, 2.0f, 2, 2);
  page.mirror = -1;
  page.SetShape(2.0f, 2.0f);
  page.frontTexture = &front;
  page.backTexture = &back;
  Map(1.0f, 1.0f);
  GLint u_alpha = glGetUniformLocation(program.id, "u_alpha");
  page.side = 1;
  page.Draw(a_position, a_texCoord, u_alpha, a_normal, -1);
  EXPECT_EQ(kClear, At(-1.0f, 1.0f, 2.0f));
  page.side = 0;
  page.Draw(a_position, a_texCoord, u_alpha, a_normal, -1);
  EXPECT_EQ(kBlue, At(-1.0f, 1.0f, 2.0f));
  // Unmirrored, the front is drawn.
  page.mirror = 1;
  page.SetShape(2.0f, 2.0f);
  Map(1.0f, -1.0f);
  page.Draw(a_position, a_texCoord, u_alpha, a_normal, -1);
  EXPECT_EQ(kRed, At(1.0f, 1.0f));
}

TEST_F(PageDrawTest, CurledPageShowsFrontBackAndTheUncoveredTable) {
  // A level drag from (2, 1) to (0.8, 1): the fold is the line x = 1.4, the cylinder's base
  // line x = 1.4 - r pi / 2, and the sheet beyond it lies flipped over between 0.8 and there.
  CTurnPage page(2.0f, 2.0f, 40, 40);
  page.frontTexture = &front;
  page.backTexture = &back;
  page.animationKind = CTurnPage::kDragging;
  page.Update(2.0f, 1.0f, 0.8f, 1.0f, 33);
  ASSERT_EQ(CTurnPage::kDefaultRadius, page.radius);
  ASSERT_GT(page.curlIndexCount, 0);
  page.DrawFlat(a_position, a_texCoord);
  page.DrawCurl(a_position, a_texCoord, -1, a_normal, -1, -1, -1);
  for (float y : {0.1f, 1.0f, 1.9f}) {
    EXPECT_EQ(kRed, At(0.4f, y)) << y;    // flat, uncovered
    EXPECT_EQ(kBlue, At(1.0f, y)) << y;   // the back of the flipped part
    EXPECT_EQ(kClear, At(1.7f, y)) << y;  // lifted off the table
  }
}

TEST_F(PageDrawTest, TurningPageDrawsFlatAndCurledPartsTogether) {
  CTurnPage page(2.0f, 2.0f, 40, 40);
  page.frontTexture = &front;
  page.backTexture = &back;
  page.animationKind = CTurnPage::kDragging;
  page.Update(2.0f, 1.0f, 0.8f, 1.0f, 33);
  GLint u_alpha = glGetUniformLocation(program.id, "u_alpha");
  page.Draw(a_position, a_texCoord, u_alpha, a_normal, -1);
  EXPECT_EQ(kRed, At(0.4f, 1.0f));
  EXPECT_EQ(kBlue, At(1.0f, 1.0f));
  EXPECT_EQ(kClear, At(1.7f, 1.0f));
}

TEST_F(PageDrawTest, MirroredDualSheetDrawsItsBackFace) {
  CDualTurnPage page(2.0f, 2.0f, 4, 4);
  page.frontTexture = &front;
  page.backTexture = &back;
  page.TurnSide(-1);
  Map(1.0f, 1.0f);
  page.DrawByArray(a_position, a_texCoord, nullptr, nullptr, &page.indices, page.indexCount);
  EXPECT_EQ(kBlue, At(-1.0f, 1.0f, 2.0f));
  glClear(GL_COLOR_BUFFER_BIT);
  page.TurnSide(1);
  Map(1.0f, -1.0f);
  page.DrawByArray(a_position, a_texCoord, nullptr, nullptr, &page.indices, page.indexCount);
  EXPECT_EQ(kRed, At(1.0f, 1.0f));
  // Without an index list nothing is drawn.
  glClear(GL_COLOR_BUFFER_BIT);
  page.DrawByArray(a_position, a_texCoord, nullptr, nullptr, nullptr, 6);
  EXPECT_EQ(kClear, At(1.0f, 1.0f));
}

TEST_F(PageDrawTest, BorderStripAndItsMirror) {
  // Half a unit wide at the outer edge of a two-unit sheet, and its mirror at the inner edge.
  CBorderPage border(2.0f, 2.0f, 0.75f, 1.0f, 0.0f, 1.0f, 0);
  border.frontTexture = &front;
  border.Draw(a_position, a_texCoord);
  EXPECT_EQ(kRed, At(1.8f, 1.0f));
  EXPECT_EQ(kRed, At(0.2f, 1.0f));
  EXPECT_EQ(kClear, At(1.0f, 1.0f));
  // A left page is only drawn mirrored, left of the spine.
  glClear(GL_COLOR_BUFFER_BIT);
  CPartialPage left(1.0f, 2.0f, 0.0f, 1.0f, 0.0f, 1.0f, -1);
  left.frontTexture = &back;
  Map(1.0f, 0.0f);  // the spine in the middle of the screen
  left.Draw(a_position, a_texCoord);
  EXPECT_EQ(kBlue, At(-0.5f, 1.0f, 1.0f));
  EXPECT_EQ(kClear, At(0.5f, 1.0f, 1.0f));
}

}  // namespace
}  // namespace GL
}  // namespace kestrin
