#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "page/virtual_page.h"

namespace kestrin {
namespace GL {
namespace {

std::vector<int> Indices(CVirtualPage const& p) {
  return std::vector<int>(p.indices, p.indices + p.indexCount);
}

TEST(VirtualPageTest, SingleCellGrid) {
  CVirtualPage p(2.0f, 3.0f, 1, 1);
  EXPECT_EQ(4, p.vertexCount);
  EXPECT_EQ(6, p.indexCount);
  EXPECT_EQ((std::vector<int>{0, 1, 3, 0, 3, 2}), Indices(p));
  float const want_pos[12] = {0, 0, 0, 2, 0, 0, 0, 3, 0, 2, 3, 0};
  float const want_uv[8] = {0, 1, 1, 1, 0, 0, 1, 0};
  for (int k = 0; k < 12; ++k)
    EXPECT_EQ(want_pos[k], p.vertices[k]) << k;
  for (int k = 0; k < 8; ++k)
    EXPECT_EQ(want_uv[k], p.texCoords[k]) << k;
  for (int v = 0; v < 4; ++v) {
    EXPECT_EQ(0.0f, p.normals[3 * v]);
    EXPECT_EQ(1.0f, p.normals[3 * v + 2]);
  }
}

TEST(VirtualPageTest, GridIndicesCoverEveryCellCounterClockwise) {
  CVirtualPage p(1.0f, 1.5f, 3, 4);
  EXPECT_EQ(20, p.vertexCount);
  ASSERT_EQ(72, p.indexCount);
  // Second cell of the second row: lower-left vertex 1 * 5 + 1 = 6.
  std::vector<int> cell(p.indices + 6 * 5, p.indices + 6 * 6);
  EXPECT_EQ((std::vector<int>{6, 7, 12, 6, 12, 11}), cell);
  for (int t = 0; t < p.indexCount / 3; ++t) {
    float const* a = p.vertices + 3 * p.indices[3 * t];
    float const* b = p.vertices + 3 * p.indices[3 * t + 1];
    float const* c = p.vertices + 3 * p.indices[3 * t + 2];
    float area = (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]);
    EXPECT_GT(area, 0.0f) << "triangle " << t << " faces away";
  }
  // Texture: the image's top row at the top of the sheet.
  EXPECT_EQ(1.0f, p.texCoords[1]);
  EXPECT_NEAR(0.0f, p.texCoords[2 * 19 + 1], 1e-6f);
  EXPECT_NEAR(1.0f, p.texCoords[2 * 19], 1e-6f);
}

TEST(VirtualPageTest, MirrorNegatesXOnly) {
  CVirtualPage p(2.0f, 1.0f, 2, 2);
  p.mirror = -1;
  p.SetShape(2.0f, 1.0f);
  for (int v = 0; v < p.vertexCount; ++v) {
    int j = v % 3;
    EXPECT_EQ(-1.0f * j, p.vertices[3 * v]);
    EXPECT_EQ(0.0f, p.normals[3 * v]);
    EXPECT_EQ(0.0f, p.normals[3 * v + 1]);
    EXPECT_EQ(1.0f, p.normals[3 * v + 2]);
  }
  EXPECT_EQ(0.5f, p.vertices[3 * 3 + 1]);
}

TEST(VirtualPageTest, ReflectPointInAllFourCases) {
  float x = 0.0f;
  float y = 0.0f;
  CVirtualPage::ReflectPoint(2, 5, &x, &y, 0, 0, 7);  // no line
  EXPECT_EQ(2.0f, x);
  EXPECT_EQ(5.0f, y);
  CVirtualPage::ReflectPoint(2, 5, &x, &y, 1, 0, 0);  // x = 0
  EXPECT_EQ(-2.0f, x);
  EXPECT_EQ(5.0f, y);
  CVirtualPage::ReflectPoint(2, 5, &x, &y, 2, 0, -2);  // x = 1
  EXPECT_EQ(0.0f, x);
  EXPECT_EQ(5.0f, y);
  CVirtualPage::ReflectPoint(2, 5, &x, &y, 0, 1, -1);  // y = 1
  EXPECT_EQ(2.0f, x);
  EXPECT_EQ(-3.0f, y);
  CVirtualPage::ReflectPoint(2, 5, &x, &y, 1, -1, 0);  // y = x
  EXPECT_FLOAT_EQ(5.0f, x);
  EXPECT_FLOAT_EQ(2.0f, y);
  CVirtualPage::ReflectPoint(0, 0, &x, &y, 1, 1, -1);  // x + y = 1
  EXPECT_FLOAT_EQ(1.0f, x);
  EXPECT_FLOAT_EQ(1.0f, y);
  // Reflecting twice comes back.
  float bx = 0.0f;
  float by = 0.0f;
  CVirtualPage::ReflectPoint(0.3f, -0.7f, &x, &y, 0.6f, -2.0f, 0.25f);
  CVirtualPage::ReflectPoint(x, y, &bx, &by, 0.6f, -2.0f, 0.25f);
  EXPECT_NEAR(0.3f, bx, 1e-6f);
  EXPECT_NEAR(-0.7f, by, 1e-6f);
}

TEST(VirtualPageTest, ProjectPointInAllFourCases) {
  float x = 0.0f;
  float y = 0.0f;
  CVirtualPage::ProjectPoint(2, 5, &x, &y, 0, 0, 3);
  EXPECT_EQ(2.0f, x);
  EXPECT_EQ(5.0f, y);
  CVirtualPage::ProjectPoint(2, 5, &x, &y, 2, 0, -2);  // x = 1
  EXPECT_EQ(1.0f, x);
  EXPECT_EQ(5.0f, y);
  CVirtualPage::ProjectPoint(2, 5, &x, &y, 0, 1, -1);  // y = 1
  EXPECT_EQ(2.0f, x);
  EXPECT_EQ(1.0f, y);
  CVirtualPage::ProjectPoint(2, 5, &x, &y, 1, -1, 0);  // y = x
  EXPECT_FLOAT_EQ(3.5f, x);
  EXPECT_FLOAT_EQ(3.5f, y);
  // The foot lies on the line, and the offset is along the normal.
  CVirtualPage::ProjectPoint(0.3f, -0.7f, &x, &y, 0.6f, -2.0f, 0.25f);
  EXPECT_NEAR(0.0f, 0.6f * x - 2.0f * y + 0.25f, 1e-6f);
  EXPECT_NEAR(0.0f, (0.3f - x) * -2.0f - (-0.7f - y) * 0.6f, 1e-6f);
}

TEST(VirtualPageTest, GridsThatIndicesCannotAddressFallBackToOneCell) {
  testing::internal::CaptureStderr();
  CVirtualPage empty(1.0f, 1.0f, 0, 5);
  CVirtualPage huge(1.0f, 1.0f, 300, 300);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, log.find("CreateMesh: grid 0x5 out of range"));
  EXPECT_NE(std::string::npos, log.find("CreateMesh: grid 300x300 out of range"));
  for (CVirtualPage* p : {&empty, &huge}) {
    EXPECT_EQ(1, p->rows);
    EXPECT_EQ(1, p->cols);
    EXPECT_EQ(4, p->vertexCount);
    EXPECT_EQ((std::vector<int>{0, 1, 3, 0, 3, 2}), Indices(*p));
  }
  // The largest grid 16-bit indices reach is accepted.
  CVirtualPage big(1.0f, 1.0f, 255, 255);
  EXPECT_EQ(65536, big.vertexCount);
  EXPECT_EQ(65535, big.indices[big.indexCount - 4]);
}

TEST(VirtualPageTest, ResetParametersKeepsTheArrays) {
  CVirtualPage p(1.0f, 1.0f, 4, 4);
  GLTexture t;
  p.frontTexture = &t;
  p.backTexture = &t;
  p.side = -1;
  p.animationKind = 3;
  p.remaining = 2.0f;
  float* before = p.vertices;
  EXPECT_EQ(0, p.ResetParameters());
  EXPECT_EQ(1, p.rows);
  EXPECT_EQ(1, p.cols);
  EXPECT_EQ(1, p.side);
  EXPECT_EQ(0, p.animationKind.load());
  EXPECT_EQ(0.0f, p.remaining);
  EXPECT_EQ(nullptr, p.frontTexture);
  EXPECT_EQ(nullptr, p.backTexture);
  EXPECT_EQ(before, p.vertices);
  // A one-cell layout fits in the old arrays.
  p.SetShape(1.0f, 1.0f);
  p.SetIndex();
  EXPECT_EQ((std::vector<int>{0, 1, 3, 0, 3, 2}), Indices(p));
}

TEST(VirtualPageTest, DefaultsAndNoAnimation) {
  CVirtualPage p(1.0f, 1.0f, 2, 2);
  EXPECT_EQ(1, p.side);
  EXPECT_EQ(1, p.mirror);
  EXPECT_EQ(0.2f, p.backDiffuse);
  EXPECT_EQ(GL_NEAREST, p.filter);
  EXPECT_EQ(0.8f, p.backTint[3]);
  EXPECT_FALSE(p.curlFlag.load());
  EXPECT_EQ(0, p.Update(0, 0, 1, 1, 33));
  EXPECT_EQ(0, p.SetAnimation(2, 0, 0, 1, 1, 1));
  CVirtualPage bare;
  EXPECT_EQ(nullptr, bare.vertices);
  EXPECT_EQ(0, bare.indexCount);
}

}  // namespace
}  // namespace GL
}  // namespace kestrin
