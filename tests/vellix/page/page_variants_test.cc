#include <gtest/gtest.h>
#include <math.h>

#include <vector>

#include "page/border_page.h"
#include "page/dual_turn_page.h"
#include "page/partial_page.h"
#include "page/shadow_page.h"
#include "vellix/page/mesh_check_helper.h"

namespace kestrin {
namespace GL {
namespace {

TEST(DualTurnPageTest, SpreadHalvesOnTheTwoFaces) {
  CDualTurnPage p(1.0f, 1.0f, 1, 1);
  float const front_u[4] = {0.5f, 1.0f, 0.5f, 1.0f};
  float const back_u[4] = {0.5f, 0.0f, 0.5f, 0.0f};
  float const v[4] = {1.0f, 1.0f, 0.0f, 0.0f};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(front_u[k], p.texCoords[2 * k]) << k;
    EXPECT_EQ(back_u[k], p.backTexCoords[2 * k]) << k;
    EXPECT_EQ(v[k], p.texCoords[2 * k + 1]) << k;
    EXPECT_EQ(v[k], p.backTexCoords[2 * k + 1]) << k;
  }
  // Bigger grids meet at the middle of the spread.
  CDualTurnPage g(1.0f, 1.0f, 3, 4);
  EXPECT_EQ(0.5f, g.texCoords[0]);
  EXPECT_EQ(0.5f, g.backTexCoords[0]);
  EXPECT_NEAR(1.0f, g.texCoords[2 * 4], 1e-6f);
  EXPECT_NEAR(0.0f, g.backTexCoords[2 * 4], 1e-6f);
}

TEST(DualTurnPageTest, TurnSideMirrorsTheSheetFlat) {
  CDualTurnPage p(0.9f, 1.0f, 6, 5);
  p.side = 1;
  p.TurnSide(-1);
  EXPECT_EQ(-1, p.mirror);
  EXPECT_EQ(0, p.side);
  for (int v = 0; v < p.vertexCount; ++v) {
    EXPECT_LE(p.vertices[3 * v], 0.0f);
    EXPECT_NEAR(-(v % 6) * 0.18f, p.vertices[3 * v], 1e-6f);
  }
  p.TurnSide(1);
  for (int v = 0; v < p.vertexCount; ++v)
    EXPECT_GE(p.vertices[3 * v], 0.0f);
}

TEST(DualTurnPageTest, LeftSheetCurlsAsTheMirrorOfTheRightOne) {
  float const w = 8.0f / 9.0f;
  CTurnPage right(w, 1.0f, 54, 48);
  CDualTurnPage left(w, 1.0f, 54, 48);
  left.TurnSide(-1);
  right.animationKind = CTurnPage::kDragging;
  left.animationKind = CTurnPage::kDragging;
  // The book hands the left sheet its start mirrored; the end is in the sheet's own frame.
  right.Update(w, 0.0f, 0.3f, 0.2f, 33);
  left.Update(-w, 0.0f, 0.3f, 0.2f, 33);
  ASSERT_EQ("", CheckCurlMesh(left));
  ASSERT_EQ(right.indexCount, left.indexCount);
  ASSERT_EQ(right.curlIndexCount, left.curlIndexCount);
  for (int k = 0; k < right.indexCount; ++k)
    ASSERT_EQ(right.indices[k], left.indices[k]);
  for (int v = 0; v < right.vertexCount; ++v) {
    ASSERT_EQ(-right.vertices[3 * v], left.vertices[3 * v]);
    ASSERT_EQ(right.vertices[3 * v + 1], left.vertices[3 * v + 1]);
    ASSERT_EQ(right.vertices[3 * v + 2], left.vertices[3 * v + 2]);
    ASSERT_EQ(right.normals[3 * v], left.normals[3 * v]);
  }
  // Kind 2 takes the mirrored start too.
  left.SetAnimation(2, -w, 0.0f, 0.3f, 0.2f, 1);
  EXPECT_EQ(w, left.startPoint.x);
  // Other kinds take it as given.
  left.SetAnimation(9, -w, 0.0f, 0.3f, 0.2f, 1);
  EXPECT_EQ(-w, left.startPoint.x);
}

TEST(DualTurnPageTest, FlatUpdateKeepsTheSide) {
  CDualTurnPage p(0.9f, 1.0f, 6, 5);
  p.TurnSide(-1);
  p.animationKind = CTurnPage::kDragging;
  p.Update(-0.9f, 0.5f, 0.9f, 0.5f, 33);  // start equal to end once un-mirrored
  EXPECT_EQ("", CheckFlatMesh(p));
  for (int v = 0; v < p.vertexCount; ++v)
    EXPECT_LE(p.vertices[3 * v], 0.0f);
}

TEST(BorderPageTest, StripAndItsMirrorAboutTheMiddle) {
  CBorderPage b(2.0f, 1.0f, 0.96f, 1.0f, 0.0f, 1.0f, 0);
  EXPECT_EQ(4, b.vertexCount);
  EXPECT_EQ(6, b.indexCount);
  EXPECT_FLOAT_EQ(1.92f, b.vertices[0]);
  EXPECT_FLOAT_EQ(2.0f, b.vertices[3]);
  EXPECT_FLOAT_EQ(1.0f, b.vertices[3 * 3 + 1]);
  ASSERT_NE(nullptr, b.mirroredVertices);
  EXPECT_NEAR(0.08f, b.mirroredVertices[0], 1e-6f);
  EXPECT_NEAR(0.0f, b.mirroredVertices[3], 1e-6f);
  EXPECT_EQ(b.vertices[3 * 3 + 1], b.mirroredVertices[3 * 3 + 1]);
  // The image's right edge, top row at the top.
  EXPECT_FLOAT_EQ(0.96f, b.texCoords[0]);
  EXPECT_FLOAT_EQ(1.0f, b.texCoords[2]);
  EXPECT_EQ(1.0f, b.texCoords[1]);
  EXPECT_EQ(0.0f, b.texCoords[2 * 2 + 1]);
}

TEST(BorderPageTest, PlacedOnlyBorderNeverFillsTheMirror) {
  CBorderPage b(2.0f, 1.0f, 0.96f, 1.0f, 0.0f, 1.0f, 1);
  ASSERT_NE(nullptr, b.mirroredVertices);
  for (int k = 0; k < 12; ++k)
    EXPECT_EQ(0.0f, b.mirroredVertices[k]);
  for (int k = 0; k < 12; ++k)
    b.mirroredVertices[k] = 42.0f;
  b.SetShape(3.0f, 1.0f, 0.5f, 1.0f, 0.0f, 1.0f);
  for (int k = 0; k < 12; ++k)
    EXPECT_EQ(42.0f, b.mirroredVertices[k]);
  EXPECT_FLOAT_EQ(1.5f, b.vertices[0]);
}

TEST(PartialPageTest, LeftPageIsMirroredAboutTheSpine) {
  CPartialPage left(0.75f, 1.0f, 0.0f, 1.0f, 0.0f, 1.0f, -1);
  for (int v = 0; v < 4; ++v) {
    EXPECT_EQ(-left.vertices[3 * v], left.mirroredVertices[3 * v]);
    EXPECT_EQ(left.vertices[3 * v + 1], left.mirroredVertices[3 * v + 1]);
  }
  EXPECT_EQ(-0.75f, left.mirroredVertices[3]);
  CPartialPage strip(0.75f, 1.0f, 0.96f, 1.0f, 0.0f, 1.0f, 1);
  EXPECT_FLOAT_EQ(0.72f, strip.vertices[0]);
  EXPECT_FLOAT_EQ(0.96f, strip.texCoords[0]);
}

TEST(ShadowPageTest, LightAndIntersection) {
  CShadowPage s(0.5f, 1.0f, 1, 1);
  EXPECT_EQ(-0.1f, s.lightPoint[0]);
  EXPECT_EQ(0.5f, s.lightPoint[1]);
  EXPECT_FLOAT_EQ(sqrtf(0.6f) * 1.6f, s.lightPoint[2]);
  float const light[3] = {0.0f, 0.0f, 2.0f};
  float const p[3] = {1.0f, 1.0f, 1.0f};
  float out[3];
  s.GetIntersection(p, light, out, 0.0f);
  EXPECT_EQ(2.0f, out[0]);
  EXPECT_EQ(2.0f, out[1]);
  EXPECT_EQ(0.0f, out[2]);
  // A point on the table is its own shadow; one level with the light stays where it is.
  float const q[3] = {0.3f, 0.4f, 0.0f};
  s.GetIntersection(q, light, out, 0.0f);
  EXPECT_FLOAT_EQ(0.3f, out[0]);
  EXPECT_FLOAT_EQ(0.4f, out[1]);
  float const level[3] = {0.3f, 0.4f, 2.0f};
  s.GetIntersection(level, light, out, 0.0f);
  EXPECT_EQ(0.3f, out[0]);
  EXPECT_EQ(0.0f, out[2]);
}

class ShadowFromQuad : public testing::Test {
 protected:
  ShadowFromQuad() : turn(1.0f, 1.0f, 4, 4), shadow(1.0f, 1.0f, 1, 1) {
    shadow.turnPage = &turn;
    // A light straight above the spine: corners on the table are exactly their own shadows.
    shadow.lightPoint[0] = 0.0f;
    shadow.lightPoint[1] = 0.0f;
    shadow.lightPoint[2] = 2.0f;
  }
  void SetQuad(float x1, float y1, float x3, float y3) {
    float const quad[4][3] = {
        {0.4f, 0.0f, 0.0f}, {0.2f, 1.0f, 0.0f}, {x1, y1, 0.0f}, {x3, y3, 0.0f}};
    for (int i = 0; i < 4; ++i) {
      for (int k = 0; k < 3; ++k)
        turn.shadowQuad[i][k] = quad[i][k];
    }
  }
  std::vector<float> V(int i) {
    return {shadow.vertices[3 * i], shadow.vertices[3 * i + 1], shadow.vertices[3 * i + 2]};
  }
  CTurnPage turn;
  CShadowPage shadow;
};

TEST_F(ShadowFromQuad, FarEdgeSlidesToThePageHeight) {
  SetQuad(1.0f, 0.2f, 1.5f, 0.8f);
  EXPECT_EQ(0, shadow.Update(0, 0, 0, 0, 0));
  EXPECT_EQ((std::vector<float>{0.4f, 0.0f, 0.0f}), V(0));
  EXPECT_EQ((std::vector<float>{0.2f, 1.0f, 0.0f}), V(2));
  EXPECT_NEAR(1.0f - 0.5f / 3.0f, V(1)[0], 1e-6f);
  EXPECT_EQ(0.0f, V(1)[1]);
  EXPECT_NEAR(1.0f + 0.8f * 0.5f / 0.6f, V(3)[0], 1e-5f);
  EXPECT_EQ(1.0f, V(3)[1]);
}

TEST_F(ShadowFromQuad, LevelEdgeIsKept) {
  SetQuad(1.0f, 0.5f, 2.0f, 0.5f);
  shadow.Update(0, 0, 0, 0, 0);
  EXPECT_EQ((std::vector<float>{1.0f, 0.5f, 0.0f}), V(1));
  EXPECT_EQ((std::vector<float>{2.0f, 0.5f, 0.0f}), V(3));
}

TEST_F(ShadowFromQuad, EdgeAboveThePageKeepsItsUpperEnd) {
  SetQuad(1.0f, 1.2f, 1.5f, 1.6f);
  shadow.Update(0, 0, 0, 0, 0);
  EXPECT_NEAR(-0.5f, V(1)[0], 1e-5f);
  EXPECT_EQ(0.0f, V(1)[1]);
  EXPECT_EQ((std::vector<float>{1.5f, 1.6f, 0.0f}), V(3));
}

TEST_F(ShadowFromQuad, MirroredTurnPageMirrorsTheShadow) {
  SetQuad(1.0f, 0.5f, 2.0f, 0.5f);
  turn.mirror = -1;
  shadow.Update(0, 0, 0, 0, 0);
  EXPECT_EQ(-0.4f, V(0)[0]);
  EXPECT_EQ(-1.0f, V(1)[0]);
  EXPECT_EQ(-0.2f, V(2)[0]);
  EXPECT_EQ(-2.0f, V(3)[0]);
}

TEST_F(ShadowFromQuad, WithoutATurnPageNothingMoves) {
  CShadowPage lone(1.0f, 1.0f, 1, 1);
  std::vector<float> before(lone.vertices, lone.vertices + 12);
  EXPECT_EQ(0, lone.Update(0, 0, 0, 0, 0));
  EXPECT_EQ(before, std::vector<float>(lone.vertices, lone.vertices + 12));
}

TEST_F(ShadowFromQuad, FollowsARealCurl) {
  turn.animationKind = CTurnPage::kDragging;
  turn.Update(1.0f, 0.0f, 0.3f, 0.4f, 33);
  shadow.Update(0, 0, 0, 0, 0);
  for (int k = 0; k < 12; ++k)
    EXPECT_TRUE(isfinite(shadow.vertices[k]));
  // The base line's ends stay where the turning page put them.
  EXPECT_EQ(turn.shadowQuad[0][0], V(0)[0]);
  EXPECT_EQ(turn.shadowQuad[1][0], V(2)[0]);
}

}  // namespace
}  // namespace GL
}  // namespace kestrin
