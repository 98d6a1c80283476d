#include <gtest/gtest.h>
#include <math.h>

#include <memory>
#include <random>
#include <string>

#include "page/dual_turn_page.h"
#include "page/turn_page.h"
#include "vellix/page/mesh_check_helper.h"

namespace kestrin {
namespace GL {
namespace {

// The book's grid: `cols` columns and rows = ceil(cols * h / w).
int RowsFor(float w, float h, int cols) {
  return static_cast<int>(ceil(static_cast<double>(cols) * h / w));
}

struct Shape {
  char const* name;
  float w;
  float h;
  int cols;
};

Shape const kShapes[] = {
    {"portrait 9:16, 24 columns", 0.5625f, 1.0f, 24},
    {"portrait 9:16, 48 columns", 0.5625f, 1.0f, 48},
    {"landscape 16:9, 48 columns", 16.0f / 9.0f, 1.0f, 48},
    {"two-page half of 16:9", 8.0f / 9.0f, 1.0f, 48},
};

std::unique_ptr<CTurnPage> MakePage(Shape const& s, bool dual) {
  int rows = RowsFor(s.w, s.h, s.cols);
  if (dual)
    return std::unique_ptr<CTurnPage>(new CDualTurnPage(s.w, s.h, rows, s.cols));
  return std::unique_ptr<CTurnPage>(new CTurnPage(s.w, s.h, rows, s.cols));
}

TEST(TurnPageGeometryTest, StartEqualToEndIsAFlatPage) {
  CTurnPage page(0.5625f, 1.0f, 43, 24);
  page.animationKind = CTurnPage::kDragging;
  page.Update(0.3f, 0.4f, 0.1f, 0.2f, 33);  // curl first
  ASSERT_GT(page.curlIndexCount, 0);
  page.Update(0.3f, 0.4f, 0.3f, 0.4f, 33);
  EXPECT_EQ("", CheckFlatMesh(page));
  EXPECT_EQ(0.0f, page.foldLine[0]);
  EXPECT_EQ(0.0f, page.foldLine[1]);
  // A flat page casts no shadow.
  for (auto const& v : page.shadowQuad) {
    for (float f : v)
      EXPECT_EQ(0.0f, f);
  }
}

TEST(TurnPageGeometryTest, DragFromTheCornerCurlsAroundTheCylinder) {
  CTurnPage page(0.5625f, 1.0f, 43, 24);
  page.animationKind = CTurnPage::kDragging;
  EXPECT_EQ(0, page.Update(0.5625f, 0.0f, 0.2f, 0.3f, 33));
  MeshStats st;
  EXPECT_EQ("", CheckCurlMesh(page, &st));
  EXPECT_GT(st.flat, 0);
  EXPECT_GT(st.cylinder, 0);
  EXPECT_GT(st.flipped, 0);
  EXPECT_GT(st.collapsed, 0);
  // Far from the edge the radius is the default one.
  EXPECT_EQ(CTurnPage::kDefaultRadius, page.radius);
}

TEST(TurnPageGeometryTest, SweepOfDrags) {
  std::mt19937 rng(20240611);
  for (Shape const& s : kShapes) {
    for (bool dual : {false, true}) {
      std::unique_ptr<CTurnPage> page = MakePage(s, dual);
      if (dual)
        page->TurnSide(-1);
      std::uniform_real_distribution<float> ex(-1.6f * s.w, 1.3f * s.w);
      std::uniform_real_distribution<float> ey(-0.6f * s.h, 1.6f * s.h);
      std::uniform_real_distribution<float> unit(0.0f, 1.0f);
      MeshStats total;
      int curled = 0;
      for (int n = 0; n < 700; ++n) {
        page->animationKind = CTurnPage::kDragging;
        float sy = n % 3 == 0 ? 0.0f : n % 3 == 1 ? s.h : unit(rng) * s.h;
        float x1 = ex(rng);
        float y1 = n % 7 == 0 ? sy : ey(rng);  // every seventh drag is level: a vertical fold
        // In two-page mode on the left the book hands in the mirrored start.
        float x0 = dual ? -s.w : s.w;
        page->Update(x0, sy, x1, y1, 33);
        std::string fault = page->foldLine[0] == 0.0f && page->foldLine[1] == 0.0f
                                ? CheckFlatMesh(*page)
                                : CheckCurlMesh(*page, &total);
        ASSERT_EQ("", fault) << s.name << (dual ? " mirrored" : "") << " drag " << n << ": (" << x0
                             << ", " << sy << ") -> (" << x1 << ", " << y1 << ")";
        curled += page->curlIndexCount > 0;
      }
      EXPECT_GT(curled, 300) << s.name;
      EXPECT_GT(total.cylinder, 0);
      EXPECT_GT(total.flipped, 0);
      EXPECT_GT(total.collapsed, 0);
    }
  }
}

// While an animation runs the end point is not pulled towards the start and the spine guard
// is off, so any pair of points can reach the mesh builder. Drive it directly.
void HoldAt(CTurnPage* page, float sx, float sy, float ex, float ey, float radius) {
  page->animationKind = CTurnPage::kAutoReturn;
  page->remaining = 100.0f;
  page->firstFrame = false;
  page->elapsed = 0.0f;
  page->velocity = {0.0f, 0.0f};
  page->acceleration = {0.0f, 0.0f};
  page->radiusVelocity = 0.0f;
  page->radius = radius;
  page->startPoint = {sx, sy};
  page->originPoint = {ex, ey};
}

TEST(TurnPageGeometryTest, SweepOfAnimatedShapesAndRadii) {
  std::mt19937 rng(77);
  for (Shape const& s : kShapes) {
    std::unique_ptr<CTurnPage> page = MakePage(s, false);
    std::uniform_real_distribution<float> ex(-1.2f * s.w, 1.2f * s.w);
    std::uniform_real_distribution<float> ey(-0.5f * s.h, 1.5f * s.h);
    std::uniform_real_distribution<float> sy(0.0f, s.h);
    for (int n = 0; n < 600; ++n) {
      float x1 = ex(rng);
      float y1 = ey(rng);
      float y0 = sy(rng);
      HoldAt(page.get(), s.w, y0, x1, y1, 0.07f);
      ASSERT_EQ(0, page->Update(0, 0, 0, 0, 0));
      ASSERT_EQ(x1, page->endPoint.x);
      std::string fault = CheckCurlMesh(*page);
      ASSERT_EQ("", fault) << s.name << " (" << s.w << ", " << y0 << ") -> (" << x1 << ", " << y1
                           << ") radius " << page->radius;
    }
  }
}

TEST(TurnPageGeometryTest, RadiusFollowsTheDragAndNeverGoesNegative) {
  CTurnPage page(16.0f / 9.0f, 1.0f, 27, 48);
  float const w = page.width;
  struct Case {
    float x1;
    float y1;
    float radius;
  } const cases[] = {
      {w - 0.12f, 0.0f, 0.12f * 0.03f / 0.24f + 0.04f},  // short drag: small radius
      {w - 0.5f, 0.2f, 0.07f},                           // ordinary drag
      {-0.3f * w, 0.0f, 0.07f + (0.5f * w) * 0.07f / (-1.6f * w)},
      {-2.0f * w, 0.0f, 0.0f},  // far beyond: flattened to 0, not negative
  };
  for (Case const& c : cases) {
    HoldAt(&page, w, 0.0f, c.x1, c.y1, 0.07f);
    page.Update(0, 0, 0, 0, 0);
    EXPECT_NEAR(c.radius, page.radius, 1e-6f) << c.x1;
    EXPECT_GE(page.radius, 0.0f);
    EXPECT_EQ("", CheckCurlMesh(page)) << c.x1;
  }
}

TEST(TurnPageGeometryTest, ZeroRadiusIsASharpCrease) {
  CTurnPage page(0.5625f, 1.0f, 43, 24);
  HoldAt(&page, 0.5625f, 0.0f, -1.5f, 0.2f, 0.0f);
  page.Update(0, 0, 0, 0, 0);
  ASSERT_EQ(0.0f, page.radius);
  MeshStats st;
  EXPECT_EQ("", CheckCurlMesh(page, &st));
  EXPECT_EQ(0, st.cylinder);
  EXPECT_GT(st.flipped, 0);
}

TEST(TurnPageGeometryTest, HorizontalFoldHasFiniteMeshAndShadow) {
  // End straight above the start: A = 0, a horizontal fold. The base line crosses every
  // column, so no column is collapsed.
  CTurnPage page(0.5625f, 1.0f, 43, 24);
  for (float y1 : {0.6f, 0.3f, 1.4f, -0.4f}) {
    for (float y0 : {0.0f, 1.0f}) {
      HoldAt(&page, 0.5625f, y0, 0.5625f, y1, 0.07f);
      page.Update(0, 0, 0, 0, 0);
      ASSERT_EQ(0.0f, page.foldLine[0]);
      MeshStats st;
      EXPECT_EQ("", CheckCurlMesh(page, &st)) << y0 << " -> " << y1;
      EXPECT_EQ(0, st.collapsed);
      for (auto const& v : page.shadowQuad) {
        for (float f : v)
          EXPECT_TRUE(isfinite(f));
      }
    }
  }
  // Fold inside the page: both halves present.
  HoldAt(&page, 0.5625f, 0.0f, 0.5625f, 0.6f, 0.07f);
  page.Update(0, 0, 0, 0, 0);
  MeshStats st;
  EXPECT_EQ("", CheckCurlMesh(page, &st));
  EXPECT_GT(st.flat, 0);
  EXPECT_GT(st.flipped, 0);
  EXPECT_GT(st.cylinder, 0);
}

TEST(TurnPageGeometryTest, VerticalFoldsOfBothSignsOfZero) {
  // dy = 0 gives B = +0 or -0 depending on the direction of dx; both must build.
  CTurnPage page(0.5625f, 1.0f, 43, 24);
  for (float x1 : {0.1f, 0.4f, -0.2f}) {
    for (float y : {0.0f, 0.5f, 1.0f}) {
      page.animationKind = CTurnPage::kDragging;
      page.Update(0.5625f, y, x1, y, 33);
      EXPECT_EQ(0.0f, page.foldLine[1]);
      EXPECT_EQ("", CheckCurlMesh(page)) << x1 << ", " << y;
    }
  }
  HoldAt(&page, 0.5625f, 0.5f, 0.9f, 0.5f, 0.07f);  // end right of the start: dx > 0
  page.Update(0, 0, 0, 0, 0);
  EXPECT_EQ(0.0f, page.foldLine[1]);
  EXPECT_EQ("", CheckCurlMesh(page));
}

TEST(TurnPageGeometryTest, TinySlopeIsClamped) {
  CTurnPage page(0.5625f, 1.0f, 43, 24);
  HoldAt(&page, 0.5625f, 0.5f, 0.1f, 0.5f + 1e-7f, 0.07f);
  page.Update(0, 0, 0, 0, 0);
  EXPECT_EQ(-0.0001f, page.foldLine[1]);
  EXPECT_EQ("", CheckCurlMesh(page));
  HoldAt(&page, 0.5625f, 0.5f, 0.1f, 0.5f - 1e-7f, 0.07f);
  page.Update(0, 0, 0, 0, 0);
  EXPECT_EQ(0.0001f, page.foldLine[1]);
  EXPECT_EQ("", CheckCurlMesh(page));
}

TEST(TurnPageGeometryTest, EndPulledOntoTheStartGivesAFlatPage) {
  // At the edge (w - x1 = 0) the end point is pulled all the way to the start's height.
  CTurnPage page(0.5625f, 1.0f, 43, 24);
  page.animationKind = CTurnPage::kDragging;
  page.Update(0.5625f, 0.2f, 0.5625f, 0.9f, 33);
  EXPECT_EQ("", CheckFlatMesh(page));
  for (int v = 0; v < page.vertexCount * 3; ++v)
    ASSERT_TRUE(isfinite(page.vertices[v]));
}

TEST(TurnPageGeometryTest, FoldsOutsideThePageStayInRange) {
  CTurnPage page(0.5625f, 1.0f, 43, 24);
  // Base line right of the page: everything is collapsed into the quad.
  HoldAt(&page, 0.5625f, 0.5f, 3.0f, 0.6f, 0.07f);
  page.Update(0, 0, 0, 0, 0);
  MeshStats st;
  EXPECT_EQ("", CheckCurlMesh(page, &st));
  EXPECT_EQ(24, st.collapsed);
  EXPECT_EQ(6, page.indexCount);
  EXPECT_EQ(0, page.curlIndexCount);
  // Far away, steep and nearly level folds: finite, indices in range.
  float const ends[][2] = {{-50.0f, 0.3f}, {0.5f, 40.0f}, {0.56249f, -30.0f}, {1e4f, 1e4f}};
  for (auto const& e : ends) {
    HoldAt(&page, 0.5625f, 0.0f, e[0], e[1], 0.07f);
    page.Update(0, 0, 0, 0, 0);
    for (int k = 0; k < page.vertexCount * 3; ++k) {
      ASSERT_TRUE(isfinite(page.vertices[k])) << e[0] << ", " << e[1];
      ASSERT_TRUE(isfinite(page.normals[k]));
    }
    for (int k = 0; k < page.indexCount; ++k)
      ASSERT_LT(page.indices[k], page.vertexCount);
    for (int k = 0; k < page.curlIndexCount; ++k)
      ASSERT_LT(page.curlIndices[k], page.vertexCount);
    ASSERT_LE(page.indexCount + page.curlIndexCount, page.rows * page.cols * 6 + 6);
  }
}

TEST(TurnPageGeometryTest, SpineGuardKeepsTheCylinderOffTheSpine) {
  CTurnPage page(0.5625f, 1.0f, 43, 24);
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> ex(-0.8f, 0.3f);
  std::uniform_real_distribution<float> ey(-0.3f, 1.3f);
  int guarded = 0;
  for (int n = 0; n < 500; ++n) {
    page.animationKind = CTurnPage::kDragging;
    float y0 = n % 2 ? 1.0f : 0.0f;
    page.Update(0.5625f, y0, ex(rng), ey(rng), 33);
    if (page.curlIndexCount == 0 && page.indexCount == page.rows * page.cols * 6)
      continue;
    ASSERT_EQ("", CheckCurlMesh(page));
    float const reach = page.radius * 3.14159265f * 0.5f;
    float a = page.foldLine[0];
    float b = page.foldLine[1];
    float c = page.foldLine[2];
    float l = sqrtf(a * a + b * b);
    float yc = -a / b <= 0.0f ? 1.0f : 0.0f;
    float g = c + b * yc;
    // The spine corner lies on the flat side, at least the cylinder's reach from the fold.
    ASSERT_LE(g, 1e-5f);
    ASSERT_GE(fabsf(g) / l, reach - 1e-4f);
    guarded += fabsf(fabsf(g) / l - reach) < 1e-4f;
  }
  EXPECT_GT(guarded, 50);
}

TEST(TurnPageGeometryTest, FlippedVerticesAreExactlyReflectPoint) {
  // The mesh builder inlines the mirror formula; its results must be the static function's,
  // bit for bit, for slanted, upright and level folds.
  CTurnPage page(0.5625f, 1.0f, 43, 24);
  float const ends[][2] = {{0.1f, 0.35f}, {0.05f, 0.5f}, {0.5625f, 0.7f}};
  for (auto const& e : ends) {
    HoldAt(&page, 0.5625f, e[0] == 0.05f ? 0.5f : 0.0f, e[0], e[1], 0.07f);
    page.Update(0, 0, 0, 0, 0);
    int flipped = 0;
    float const dxc = page.width / page.cols;
    float const dyc = page.height / page.rows;
    float y = 0.0f;
    for (int i = 0; i <= page.rows; ++i) {
      float x = 0.0f;
      for (int j = 0; j <= page.cols; ++j) {
        int v = i * (page.cols + 1) + j;
        if (page.normals[3 * v + 2] == 1.0f && page.normals[3 * v] == 0.0f &&
            page.normals[3 * v + 1] == 0.0f) {
          float rx = 0.0f;
          float ry = 0.0f;
          CVirtualPage::ReflectPoint(x, y, &rx, &ry, page.foldLine[0], page.foldLine[1],
                                     page.foldLine[2]);
          ASSERT_EQ(rx, page.vertices[3 * v]) << v;
          ASSERT_EQ(ry, page.vertices[3 * v + 1]) << v;
          ++flipped;
        }
        x += dxc;
      }
      y += dyc;
    }
    EXPECT_GT(flipped, 0) << e[0] << ", " << e[1];
  }
}

TEST(TurnPageGeometryTest, ShadowQuadSitsOnTheBaseLineAndTheCylinderTop) {
  CTurnPage page(0.5625f, 1.0f, 43, 24);
  page.animationKind = CTurnPage::kDragging;
  page.Update(0.5625f, 0.0f, 0.1f, 0.35f, 33);
  float a = page.foldLine[0];
  float b = page.foldLine[1];
  float c = page.foldLine[2];
  float l = sqrtf(a * a + b * b);
  float r = page.radius;
  float base = c + l * r * 3.14159265f * 0.5f;
  auto const& q = page.shadowQuad;
  EXPECT_EQ(0.0f, q[0][1]);
  EXPECT_EQ(1.0f, q[1][1]);
  for (int k = 0; k < 2; ++k) {
    EXPECT_NEAR(0.0f, a * q[k][0] + b * q[k][1] + base, 1e-5f);
    EXPECT_EQ(0.0f, q[k][2]);
  }
  for (int k = 2; k < 4; ++k) {
    // A radius beyond the base line, towards the fold, at the top of the cylinder.
    EXPECT_NEAR(r, (a * q[k][0] + b * q[k][1] + base) / l, 1e-5f);
    EXPECT_EQ(r, q[k][2]);
  }
}

}  // namespace
}  // namespace GL
}  // namespace kestrin
