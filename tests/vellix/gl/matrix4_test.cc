#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <random>

#include "gl/matrix4.h"
#include "gl/vector.h"

namespace kestrin {
namespace GL {
namespace {

Matrix4 FromArray(float const (&a)[16]) {
  Matrix4 m;
  memcpy(m.m, a, sizeof(a));
  return m;
}

void ExpectMatrixNear(float const* want, float const* got, float tol) {
  for (int i = 0; i < 16; ++i)
    EXPECT_NEAR(want[i], got[i], tol) << "element " << i;
}

void ExpectIdentity(Matrix4 const& m, float tol) {
  ExpectMatrixNear(Matrix4::_identity, m.m, tol);
}

TEST(Matrix4Test, StartsAsIdentityAndComparesBytewise) {
  Matrix4 m;
  EXPECT_EQ(0, memcmp(m.m, Matrix4::_identity, sizeof(m.m)));
  Matrix4 n = m;
  EXPECT_TRUE(n == m);
  n.m[7] = -0.0f;
  EXPECT_TRUE(n != m);
  EXPECT_FALSE(n == m);
  n.m[7] = 0.0f;
  EXPECT_TRUE(n == m);
  n.m[12] = 3.0f;
  n.reset();
  EXPECT_TRUE(n == m);
  float const* p = m;
  EXPECT_EQ(m.m, p);
  EXPECT_EQ(1.0f, m[15]);
}

TEST(Matrix4Test, ProductFollowsTheElementDefinition) {
  // With element (r, c) = m[4r + c], a * b applied to a point applies a first, then b.
  Matrix4 ab = matrixTranslate(1.0f, 0.0f, 0.0f) * matrixScale(2.0f);
  EXPECT_EQ(Vector(4.0f, 2.0f, 2.0f), ab * Vector(1.0f, 1.0f, 1.0f));
  EXPECT_EQ(2.0f, ab.m[12]);
  Matrix4 ba = matrixScale(2.0f) * matrixTranslate(1.0f, 0.0f, 0.0f);
  EXPECT_EQ(Vector(3.0f, 2.0f, 2.0f), ba * Vector(1.0f, 1.0f, 1.0f));
  Matrix4 t = matrixTranslate(1.0f, 2.0f, 3.0f);
  t *= matrixTranslate(4.0f, 5.0f, 6.0f);
  EXPECT_TRUE(t == matrixTranslate(5.0f, 7.0f, 9.0f));

  float a[16];
  float b[16];
  for (int i = 0; i < 16; ++i) {
    a[i] = static_cast<float>(i + 1);
    b[i] = static_cast<float>(16 - i) * 0.5f;
  }
  Matrix4 r = FromArray(a) * FromArray(b);
  // Row 1 of a is (5, 6, 7, 8); column 2 of b is (7, 5, 3, 1).
  EXPECT_EQ(5 * 7 + 6 * 5 + 7 * 3 + 8 * 1, r.m[4 * 1 + 2]);
}

TEST(Matrix4Test, PointTransformDividesByW) {
  Matrix4 id;
  Vector p(1.25f, -2.5f, 3.75f);
  EXPECT_EQ(p, id * p);
  Matrix4 half;
  half.m[15] = 2.0f;
  EXPECT_EQ(Vector(0.625f, -1.25f, 1.875f), half * p);
  // Perspective: w = -z.
  Matrix4 persp;
  persp.m[11] = -1.0f;
  persp.m[15] = 0.0f;
  EXPECT_EQ(Vector(1.0f, 2.0f, -1.0f), persp * Vector(-2.0f, -4.0f, 2.0f));
}

TEST(Matrix4Test, PointAtInfinityIsNotDivided) {
  Matrix4 persp;
  persp.m[11] = -1.0f;
  persp.m[15] = 0.0f;
  Vector out = persp * Vector(1.0f, 2.0f, 0.0f);
  EXPECT_EQ(Vector(1.0f, 2.0f, 0.0f), out);
}

TEST(Matrix4Test, TranslateOrientAndTranspose) {
  Matrix4 m;
  m.m[1] = 9.0f;
  m.Translate(1.0f, 2.0f, 3.0f);
  EXPECT_EQ(1.0f, m.m[12]);
  EXPECT_EQ(2.0f, m.m[13]);
  EXPECT_EQ(3.0f, m.m[14]);
  EXPECT_EQ(9.0f, m.m[1]);
  Matrix4 t = m.transpose();
  EXPECT_EQ(1.0f, t.m[3]);
  EXPECT_EQ(2.0f, t.m[7]);
  EXPECT_EQ(9.0f, t.m[4]);
  EXPECT_TRUE(t.transpose() == m);

  Matrix4 o;
  o.m[3] = 5.0f;
  o.Orient(Vector(1, 2, 3), Vector(4, 5, 6), Vector(7, 8, 9));
  float want[16] = {1, 2, 3, 5, 4, 5, 6, 0, 7, 8, 9, 0, 0, 0, 0, 1};
  EXPECT_EQ(0, memcmp(want, o.m, sizeof(want)));
  EXPECT_TRUE(matrixOrient(Vector(1, 2, 3), Vector(4, 5, 6), Vector(7, 8, 9)) ==
              FromArray({1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 0, 0, 0, 1}));
}

TEST(Matrix4Test, LookAtHandComputed) {
  Matrix4 v;
  v.LookAt(Vector(0, 0, 0), Vector(0, 0, -1), Vector(0, 1, 0));
  ExpectIdentity(v, 0.0f);

  Matrix4 w;
  w.LookAt(Vector(1, 2, 3), Vector(1, 2, 0), Vector(0, 1, 0));
  ExpectMatrixNear(FromArray({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, -1, -2, -3, 1}).m, w.m, 0.0f);

  // Looking along +x from (2, 0, 0): f = (-1, 0, 0), s = up x f = (0, 0, 1), u = f x s.
  Matrix4 x;
  x.m[3] = 7.0f;  // not reset first
  x.LookAt(Vector(2, 0, 0), Vector(3, 0, 0), Vector(0, 5, 0));
  ExpectMatrixNear(FromArray({0, 0, 1, 7, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 2, 1}).m, x.m, 1e-7f);
}

TEST(Matrix4Test, SetProjectionHandComputed) {
  Matrix4 p;
  p.m[15] = 3.0f;
  p.m[1] = 2.0f;
  p.SetProjection(90.0f, 2.0f, 1.0f, 3.0f);
  // tan(45 degrees) = 1: e = 1.
  ExpectMatrixNear(FromArray({0.5f, 0, 0, 0, 0, 1, 0, 0, 0, 0, -2, -1, 0, 0, -3, 0}).m, p.m, 2e-6f);
  EXPECT_EQ(0.0f, p.m[15]);
  EXPECT_EQ(0.0f, p.m[1]);
  EXPECT_EQ(-1.0f, p.m[11]);

  // The scene's frustum: a field of view whose half-angle tangent is 1 / (2 + sqrt 5).
  Matrix4 s;
  s.SetProjection(static_cast<float>(atan(0.5) * 180.0 / M_PI), 16.0f / 9.0f, 0.9f, 6.0f);
  float e = 2.0f + sqrtf(5.0f);
  EXPECT_NEAR(e, s.m[5], 1e-4f);
  EXPECT_NEAR(e * 9.0f / 16.0f, s.m[0], 1e-4f);
  EXPECT_NEAR(-6.9f / 5.1f, s.m[10], 1e-6f);
  EXPECT_NEAR(-10.8f / 5.1f, s.m[14], 1e-6f);
  // A point on the near plane maps to depth -1, one on the far plane to +1.
  EXPECT_NEAR(-1.0f, (s * Vector(0.0f, 0.0f, -0.9f)).z(), 1e-5f);
  EXPECT_NEAR(1.0f, (s * Vector(0.0f, 0.0f, -6.0f)).z(), 1e-5f);
}

TEST(Matrix4Test, DegenerateProjectionKeepsTheMatrix) {
  Matrix4 p;
  p.SetProjection(90.0f, 0.0f, 1.0f, 3.0f);
  ExpectIdentity(p, 0.0f);
  p.SetProjection(90.0f, 1.0f, 2.0f, 2.0f);
  ExpectIdentity(p, 0.0f);
  p.SetProjection(0.0f, 1.0f, 1.0f, 3.0f);
  ExpectIdentity(p, 0.0f);
  p.SetProjection(60.0f, 1.0f, 0.0f, 3.0f);
  ExpectIdentity(p, 0.0f);
}

TEST(Matrix4Test, RotationsHandComputed) {
  // matrixRotate(a, b): a = 90 turns y into z.
  Matrix4 r = matrixRotate(90.0f, 0.0f);
  Vector y = r * kUnitY;
  EXPECT_NEAR(0.0f, y.x(), 1e-7f);
  EXPECT_NEAR(0.0f, y.y(), 1e-7f);
  EXPECT_NEAR(1.0f, y.z(), 1e-7f);
  Vector x = matrixRotate(0.0f, 90.0f) * kUnitX;
  EXPECT_NEAR(0.0f, x.x(), 1e-7f);
  EXPECT_NEAR(1.0f, x.z(), 1e-7f);

  // About z by 90 degrees: m[1] = -s z, m[4] = s z.
  Matrix4 z = matrixRotate(Vector(0.0f, 0.0f, 3.0f), 90.0f);
  EXPECT_NEAR(-1.0f, z.m[1], 1e-7f);
  EXPECT_NEAR(1.0f, z.m[4], 1e-7f);
  EXPECT_NEAR(1.0f, z.m[10], 1e-7f);
  Vector rx = z * kUnitX;
  EXPECT_NEAR(0.0f, rx.x(), 1e-7f);
  EXPECT_NEAR(-1.0f, rx.y(), 1e-7f);

  // Any axis: lengths and the axis itself are kept.
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int i = 0; i < 100; ++i) {
    Vector axis(u(rng), u(rng), u(rng));
    if (axis.length() < 0.1f)
      continue;
    Matrix4 m = matrixRotate(axis, u(rng) * 360.0f);
    Vector p(u(rng), u(rng), u(rng));
    EXPECT_NEAR(p.length(), (m * p).length(), 1e-5f);
    Vector a = axis / axis.length();
    Vector ra = m * a;
    EXPECT_NEAR(0.0f, (ra - a).length(), 1e-5f);
  }
  // A zero axis stays zero: no NaN.
  Matrix4 zero = matrixRotate(kZeroVector, 30.0f);
  for (float f : zero.m)
    EXPECT_FALSE(isnan(f));
}

TEST(Matrix4Test, Builders) {
  EXPECT_TRUE(matrixScale(2.0f) == FromArray({2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1}));
  EXPECT_TRUE(matrixScale(Vector(1, 2, 3)) ==
              FromArray({1, 0, 0, 0, 0, 2, 0, 0, 0, 0, 3, 0, 0, 0, 0, 1}));
  EXPECT_TRUE(matrixTranslate(Vector(1, 2, 3)) == matrixTranslate(1, 2, 3));
  // Orienting along z with y up is the identity, whatever the lengths.
  ExpectIdentity(matrixOrient(Vector(0, 0, 5), Vector(0, 2, 0)), 0.0f);
  Matrix4 o = matrixOrient(Vector(1, 0, 0), Vector(0, 1, 0));
  // s = up x dir = (0, 0, -1).
  EXPECT_EQ(-1.0f, o.m[2]);
  EXPECT_EQ(1.0f, o.m[5]);
  EXPECT_EQ(1.0f, o.m[8]);
}

TEST(Matrix4Test, SingularMatricesInvertToIdentity) {
  // Affine with a zero scale.
  Matrix4 flat = matrixScale(Vector(1.0f, 0.0f, 1.0f));
  flat.Translate(4.0f, 5.0f, 6.0f);
  ExpectIdentity(flat.inverse(), 0.0f);
  // General: two equal columns.
  Matrix4 g = FromArray({1, 2, 3, 4, 1, 2, 3, 4, 0, 1, 0, 2, 5, 0, 1, 3});
  ExpectIdentity(g.inverse(), 0.0f);
  float out[16];
  Matrix4::invertMatrix4General(g.m, out);
  ExpectMatrixNear(Matrix4::_identity, out, 0.0f);
  // Not a number anywhere is not invertible either.
  Matrix4 n;
  n.m[5] = NAN;
  ExpectIdentity(n.inverse(), 0.0f);
}

TEST(Matrix4Test, AffineInverseKeepsTheLastRowExact) {
  // det = 3, so 1/det is inexact: only the affine path leaves (0, 0, 0, 1) exactly.
  Matrix4 m = matrixRotate(Vector(1.0f, 2.0f, 0.5f), 33.0f) * matrixScale(Vector(1, 1, 3));
  m.Translate(0.3f, -7.0f, 2.5f);
  Matrix4 inv = m.inverse();
  EXPECT_EQ(0.0f, inv.m[3]);
  EXPECT_EQ(0.0f, inv.m[7]);
  EXPECT_EQ(0.0f, inv.m[11]);
  EXPECT_EQ(1.0f, inv.m[15]);
  ExpectIdentity(inv * m, 1e-5f);
  ExpectIdentity(m * inv, 1e-5f);
  // The point comes back.
  Vector p(1.0f, 2.0f, 3.0f);
  Vector back = inv * (m * p);
  EXPECT_NEAR(0.0f, (back - p).length(), 1e-5f);
}

TEST(Matrix4Test, InverseOfRandomWellConditionedMatrices) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int n = 0; n < 500; ++n) {
    Matrix4 m;
    for (int i = 0; i < 16; ++i)
      m.m[i] = u(rng);
    // Diagonally dominant, so far from singular.
    for (int i = 0; i < 4; ++i)
      m.m[5 * i] += (u(rng) < 0.0f ? -5.0f : 5.0f);
    bool affine = n % 2 == 0;
    if (affine) {
      m.m[3] = m.m[7] = m.m[11] = 0.0f;
      m.m[15] = 1.0f;
    }
    Matrix4 inv = m.inverse();
    ExpectIdentity(inv * m, 1e-5f);
    ExpectIdentity(m * inv, 1e-5f);
    if (affine) {
      EXPECT_EQ(1.0f, inv.m[15]);
      float general[16];
      Matrix4::invertMatrix4General(m.m, general);
      ExpectMatrixNear(inv.m, general, 1e-5f);
    }
  }
}

}  // namespace
}  // namespace GL
}  // namespace kestrin
