#include <gtest/gtest.h>
#include <math.h>

#include <random>

#include "gl/light.h"
#include "gl/matrix4.h"
#include "gl/vector.h"

namespace kestrin {
namespace GL {
namespace {

void ExpectNear(Vector const& want, Vector const& got, float tol = 1e-6f) {
  EXPECT_NEAR(want.x(), got.x(), tol);
  EXPECT_NEAR(want.y(), got.y(), tol);
  EXPECT_NEAR(want.z(), got.z(), tol);
}

TEST(VectorTest, ConstructionAndAccess) {
  Vector zero;
  EXPECT_TRUE(zero == 0.0f);
  float raw[3] = {1.5f, -2.0f, 3.25f};
  Vector v(raw);
  EXPECT_EQ(Vector(1.5f, -2.0f, 3.25f), v);
  double wide[3] = {0.1, 1e-50, -2.0};
  Vector n;
  n = wide;
  EXPECT_EQ(0.1f, n.x());
  EXPECT_EQ(0.0f, n.y());
  EXPECT_EQ(-2.0f, n[2]);
  float* p = v;
  p[1] = 7.0f;
  EXPECT_EQ(7.0f, v.y());
  v = raw;
  EXPECT_EQ(-2.0f, v.y());
}

TEST(VectorTest, NormalizeLeavesZeroAlone) {
  Vector z;
  z.normalize();
  EXPECT_EQ(Vector(0.0f, 0.0f, 0.0f), z);
  EXPECT_FALSE(isnan(z.x()));
  Vector v(3.0f, 0.0f, 4.0f);
  v.normalize();
  ExpectNear(Vector(0.6f, 0.0f, 0.8f), v);
  EXPECT_NEAR(1.0f, v.length(), 1e-6f);
}

TEST(VectorTest, DivisionByZeroReturnsTheVector) {
  Vector v(1.0f, -2.0f, 3.0f);
  EXPECT_EQ(v, v / 0.0f);
  EXPECT_EQ(v, v / -0.0f);
  // Division multiplies by the reciprocal.
  EXPECT_EQ(v * (1.0f / 3.0f), v / 3.0f);
}

TEST(VectorTest, DominantPrefersTheHigherIndexOnTies) {
  EXPECT_EQ(2, Vector(1.0f, 1.0f, 1.0f).dominant());
  EXPECT_EQ(1, Vector(2.0f, 2.0f, 1.0f).dominant());
  EXPECT_EQ(2, Vector(2.0f, 1.0f, 2.0f).dominant());
  EXPECT_EQ(0, Vector(-3.0f, 1.0f, 2.0f).dominant());
  EXPECT_EQ(1, Vector(0.0f, -5.0f, 4.0f).dominant());
  EXPECT_EQ(2, Vector(0.0f, 0.0f, 0.0f).dominant());
}

TEST(VectorTest, ComparisonsAreExactAndLexicographic) {
  Vector a(1.0f, 2.0f, 3.0f);
  EXPECT_TRUE(a == Vector(1.0f, 2.0f, 3.0f));
  EXPECT_TRUE(a != Vector(1.0f, 2.0f, 3.0000002f));
  EXPECT_TRUE(Vector(0.0f, 0.0f, 0.0f) == Vector(-0.0f, 0.0f, 0.0f));
  EXPECT_TRUE(a < Vector(1.0f, 2.0f, 4.0f));
  EXPECT_TRUE(a < Vector(1.0f, 3.0f, 0.0f));
  EXPECT_TRUE(a < Vector(2.0f, -9.0f, -9.0f));
  EXPECT_FALSE(a < a);
  EXPECT_FALSE(a > a);
  EXPECT_TRUE(Vector(1.0f, 2.0f, 4.0f) > a);
  EXPECT_FALSE(Vector(0.0f, 9.0f, 9.0f) > a);
  EXPECT_TRUE(Vector(4.0f, 4.0f, 4.0f) == 4.0f);
  EXPECT_FALSE(Vector(4.0f, 4.0f, 3.0f) == 4.0f);
}

TEST(VectorTest, Arithmetic) {
  Vector a(1.0f, 2.0f, 3.0f);
  Vector b(-4.0f, 0.5f, 2.0f);
  EXPECT_EQ(Vector(-3.0f, 2.5f, 5.0f), a + b);
  EXPECT_EQ(Vector(5.0f, 1.5f, 1.0f), a - b);
  EXPECT_EQ(Vector(2.0f, 4.0f, 6.0f), a * 2.0f);
  EXPECT_EQ(Vector(2.0f, 4.0f, 6.0f), 2.0f * a);
  EXPECT_EQ(Vector(-1.0f, -2.0f, -3.0f), -a);
  EXPECT_EQ(-4.0f + 1.0f + 6.0f, a * b);
  EXPECT_EQ(14.0f, a.norm());
  EXPECT_EQ(sqrtf(14.0f), a.length());
  // dist is the squared distance.
  EXPECT_EQ(25.0f + 2.25f + 1.0f, a.dist(b));
  Vector c = a;
  c += b;
  c -= a;
  EXPECT_EQ(b, c);
  c.scale(2.0f);
  EXPECT_EQ(Vector(-8.0f, 1.0f, 4.0f), c);
  c.scale(Vector(0.5f, 2.0f, -1.0f));
  EXPECT_EQ(Vector(-4.0f, 2.0f, -4.0f), c);
  c *= 0.25f;
  EXPECT_EQ(Vector(-1.0f, 0.5f, -1.0f), c);
  Vector s(-0.0f, -2.0f, 3.0f);
  s.abs();
  EXPECT_FALSE(signbit(s.x()));
  EXPECT_EQ(Vector(0.0f, 2.0f, 3.0f), s);
}

TEST(VectorTest, CrossProductAndPlaneNormal) {
  EXPECT_EQ(kUnitZ, xProduct(kUnitX, kUnitY));
  EXPECT_EQ(kUnitX, xProduct(kUnitY, kUnitZ));
  EXPECT_EQ(-kUnitY, xProduct(kUnitX, kUnitZ));
  Vector n =
      planeNormal(Vector(1.0f, 1.0f, 1.0f), Vector(3.0f, 1.0f, 1.0f), Vector(1.0f, 4.0f, 1.0f));
  EXPECT_EQ(Vector(0.0f, 0.0f, 6.0f), n);
  EXPECT_EQ(kZeroVector, xProduct(kOneVector, kOneVector));
}

TEST(VectorTest, PolarTakesDegrees) {
  ExpectNear(Vector(1.0f, 0.0f, 0.0f), polar(0.0f, 0.0f));
  ExpectNear(Vector(0.0f, 1.0f, 0.0f), polar(90.0f, 0.0f));
  ExpectNear(Vector(0.0f, 0.0f, 1.0f), polar(0.0f, 90.0f));
  ExpectNear(Vector(0.5f, sqrtf(0.5f), 0.5f), polar(45.0f, 45.0f));
}

TEST(VectorTest, OrthogonalSystemIsOrthonormal) {
  // A mostly along z takes the y axis as helper: b = a x y.
  Vector a(0.0f, 0.0f, 5.0f);
  Vector b;
  Vector c;
  orthogonalSystem(a, b, c);
  ExpectNear(kUnitZ, a);
  ExpectNear(Vector(-1.0f, 0.0f, 0.0f), b);
  ExpectNear(Vector(0.0f, -1.0f, 0.0f), c);
  // Otherwise z: b = a x z.
  a = Vector(2.0f, 0.0f, 0.0f);
  orthogonalSystem(a, b, c);
  ExpectNear(Vector(0.0f, -1.0f, 0.0f), b);
  ExpectNear(Vector(0.0f, 0.0f, -1.0f), c);

  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-3.0f, 3.0f);
  for (int i = 0; i < 200; ++i) {
    a = Vector(u(rng), u(rng), u(rng));
    if (a.length() < 0.1f)
      continue;
    orthogonalSystem(a, b, c);
    EXPECT_NEAR(1.0f, a.length(), 1e-5f);
    EXPECT_NEAR(1.0f, b.length(), 1e-5f);
    EXPECT_NEAR(1.0f, c.length(), 1e-5f);
    EXPECT_NEAR(0.0f, a * b, 1e-5f);
    EXPECT_NEAR(0.0f, a * c, 1e-5f);
    EXPECT_NEAR(0.0f, b * c, 1e-5f);
  }
}

TEST(VectorTest, TimesEqualsMatrixTransformsAsAPoint) {
  Vector v(1.0f, 2.0f, 3.0f);
  v *= matrixTranslate(10.0f, 20.0f, 30.0f);
  EXPECT_EQ(Vector(11.0f, 22.0f, 33.0f), v);
}

TEST(LightTest, StartsAtTheOriginInWhite) {
  CLight light;
  for (float p : light.position)
    EXPECT_EQ(0.0f, p);
  for (float c : light.color)
    EXPECT_EQ(1.0f, c);
}

}  // namespace
}  // namespace GL
}  // namespace kestrin
