#include "gl/matrix4.h"

#include <math.h>
#include <string.h>

namespace kestrin {
namespace GL {

float const Matrix4::_identity[16] = {1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f,
                                      0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f};

Matrix4::Matrix4() {
  reset();
}

Matrix4::Matrix4(Matrix4 const& o) {
  memcpy(m, o.m, sizeof(m));
}

Matrix4::~Matrix4() {}

Matrix4& Matrix4::operator=(Matrix4 const& o) {
  memcpy(m, o.m, sizeof(m));
  return *this;
}

void Matrix4::reset() {
  memcpy(m, _identity, sizeof(m));
}

bool Matrix4::operator==(Matrix4 const& o) const {
  return memcmp(m, o.m, sizeof(m)) == 0;
}

bool Matrix4::operator!=(Matrix4 const& o) const {
  return !(*this == o);
}

Matrix4 Matrix4::operator*(Matrix4 const& b) const {
  Matrix4 r;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      r.m[4 * i + j] = m[4 * i + 0] * b.m[0 + j] + m[4 * i + 1] * b.m[4 + j] +
                       m[4 * i + 2] * b.m[8 + j] + m[4 * i + 3] * b.m[12 + j];
    }
  }
  return r;
}

Matrix4& Matrix4::operator*=(Matrix4 const& b) {
  *this = *this * b;
  return *this;
}

Vector Matrix4::operator*(Vector const& v) const {
  double out[4];
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<double>(m[i] * v.x()) + static_cast<double>(m[4 + i] * v.y()) +
             static_cast<double>(m[8 + i] * v.z()) + static_cast<double>(m[12 + i]);
  }
  // A point at infinity has no finite image: hand back the undivided coordinates, as
  // dividing a vector by zero does.
  if (out[3] == 0.0) {
    return Vector(static_cast<float>(out[0]), static_cast<float>(out[1]),
                  static_cast<float>(out[2]));
  }
  double inv = 1.0 / out[3];
  return Vector(static_cast<float>(out[0] * inv), static_cast<float>(out[1] * inv),
                static_cast<float>(out[2] * inv));
}

void Matrix4::Translate(float x, float y, float z) {
  m[12] = x;
  m[13] = y;
  m[14] = z;
}

Matrix4 Matrix4::transpose() const {
  Matrix4 r;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j)
      r.m[4 * i + j] = m[4 * j + i];
  }
  return r;
}

Matrix4 Matrix4::inverse() const {
  Matrix4 r;
  invertMatrix4(m, r.m);
  return r;
}

void Matrix4::Orient(Vector const& a, Vector const& b, Vector const& c) {
  for (int i = 0; i < 3; ++i) {
    m[i] = a[i];
    m[4 + i] = b[i];
    m[8 + i] = c[i];
  }
}

void Matrix4::LookAt(Vector const& eye, Vector const& center, Vector const& up) {
  Vector f = eye - center;
  f.normalize();
  Vector s = xProduct(up, f);
  s.normalize();
  Vector u = xProduct(f, s);
  Orient(s, u, f);
  Vector back = -eye;
  Translate(back * s, back * u, back * f);
}

void Matrix4::SetProjection(float fovy, float aspect, float near, float far) {
  float half = fovy * 0.00872664f;
  double t = tan(static_cast<double>(half));
  float nt = static_cast<float>(near * t);
  float e = (near + near) / (nt + nt);
  // A degenerate frustum would fill the matrix with infinities; keep the previous one.
  if (!isfinite(e) || aspect == 0.0f || far == near || !isfinite(e / aspect))
    return;
  memset(m, 0, sizeof(m));
  m[5] = e;
  m[0] = e / aspect;
  m[10] = -(far + near) / (far - near);
  m[14] = far * near * -2.0f / (far - near);
  m[11] = -1.0f;
}

namespace {

// Determinant of the 3x3 matrix left when row `skip_r` and column `skip_c` of the 4x4
// matrix a (a[4 * r + c]) are removed.
float Minor3(float const* a, int skip_r, int skip_c) {
  int r[3];
  int c[3];
  for (int i = 0, k = 0; i < 4; ++i) {
    if (i != skip_r)
      r[k++] = i;
  }
  for (int i = 0, k = 0; i < 4; ++i) {
    if (i != skip_c)
      c[k++] = i;
  }
  auto at = [a](int row, int col) { return a[4 * row + col]; };
  return at(r[0], c[0]) * (at(r[1], c[1]) * at(r[2], c[2]) - at(r[1], c[2]) * at(r[2], c[1])) -
         at(r[0], c[1]) * (at(r[1], c[0]) * at(r[2], c[2]) - at(r[1], c[2]) * at(r[2], c[0])) +
         at(r[0], c[2]) * (at(r[1], c[0]) * at(r[2], c[1]) - at(r[1], c[1]) * at(r[2], c[0]));
}

// 1/det, or 0 when the matrix cannot be inverted (det 0, or so small that 1/det overflows,
// or not a number).
float Reciprocal(float det) {
  if (det == 0.0f)
    return 0.0f;
  float inv = 1.0f / det;
  return isfinite(inv) ? inv : 0.0f;
}

}  // namespace

void Matrix4::invertMatrix4(float const* in, float* out) {
  if (!(in[3] == 0.0f && in[7] == 0.0f && in[11] == 0.0f && in[15] == 1.0f)) {
    invertMatrix4General(in, out);
    return;
  }
  float const* a = in;
  float det = a[4] * (a[9] * a[2] - a[1] * a[10]) + a[0] * (a[5] * a[10] - a[9] * a[6]) +
              a[8] * (a[1] * a[6] - a[5] * a[2]);
  float inv_det = Reciprocal(det);
  if (inv_det == 0.0f) {
    memcpy(out, _identity, sizeof(_identity));
    return;
  }
  // Block element (r, c) of the math matrix is a[4c + r]; its inverse goes to the same
  // places of out.
  float b[9];
  b[0] = (a[5] * a[10] - a[9] * a[6]) * inv_det;
  b[1] = (a[9] * a[2] - a[1] * a[10]) * inv_det;
  b[2] = (a[1] * a[6] - a[5] * a[2]) * inv_det;
  b[3] = (a[8] * a[6] - a[4] * a[10]) * inv_det;
  b[4] = (a[0] * a[10] - a[8] * a[2]) * inv_det;
  b[5] = (a[4] * a[2] - a[0] * a[6]) * inv_det;
  b[6] = (a[4] * a[9] - a[8] * a[5]) * inv_det;
  b[7] = (a[8] * a[1] - a[0] * a[9]) * inv_det;
  b[8] = (a[0] * a[5] - a[4] * a[1]) * inv_det;
  // b[3c + r] holds inverse element (r, c).
  for (int c = 0; c < 3; ++c) {
    for (int r = 0; r < 3; ++r)
      out[4 * c + r] = b[3 * c + r];
  }
  for (int r = 0; r < 3; ++r) {
    out[12 + r] = -(b[r] * a[12] + b[3 + r] * a[13] + b[6 + r] * a[14]);
  }
  out[3] = 0.0f;
  out[7] = 0.0f;
  out[11] = 0.0f;
  out[15] = 1.0f;
}

void Matrix4::invertMatrix4General(float const* in, float* out) {
  float cof[16];
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      float minor = Minor3(in, r, c);
      cof[4 * r + c] = ((r + c) & 1) ? -minor : minor;
    }
  }
  // Expansion along in[0..3], the first column of the matrix as GL sees it.
  float det = in[0] * cof[0] + in[1] * cof[1] + in[2] * cof[2] + in[3] * cof[3];
  float inv_det = Reciprocal(det);
  if (inv_det == 0.0f) {
    memcpy(out, _identity, sizeof(_identity));
    return;
  }
  // The inverse is the transposed cofactor matrix over the determinant.
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c)
      out[4 * c + r] = cof[4 * r + c] * inv_det;
  }
}

}  // namespace GL
}  // namespace kestrin

using kestrin::GL::Matrix4;
using kestrin::GL::Vector;

Matrix4 matrixScale(float s) {
  Matrix4 r;
  r.m[0] = s;
  r.m[5] = s;
  r.m[10] = s;
  return r;
}

Matrix4 matrixScale(Vector v) {
  Matrix4 r;
  r.m[0] = v.x();
  r.m[5] = v.y();
  r.m[10] = v.z();
  return r;
}

Matrix4 matrixTranslate(float x, float y, float z) {
  Matrix4 r;
  r.Translate(x, y, z);
  return r;
}

Matrix4 matrixTranslate(Vector v) {
  return matrixTranslate(v.x(), v.y(), v.z());
}

Matrix4 matrixRotate(float a, float b) {
  double ra = a * kestrin::GL::kDegToRad;
  double rb = b * kestrin::GL::kDegToRad;
  float ca = static_cast<float>(cos(ra));
  float sa = static_cast<float>(sin(ra));
  float cb = static_cast<float>(cos(rb));
  float sb = static_cast<float>(sin(rb));
  Matrix4 r;
  r.m[0] = cb;
  r.m[1] = -sa * sb;
  r.m[2] = ca * sb;
  r.m[4] = 0.0f;
  r.m[5] = ca;
  r.m[6] = sa;
  r.m[8] = -sb;
  r.m[9] = -sa * cb;
  r.m[10] = ca * cb;
  return r;
}

Matrix4 matrixRotate(Vector axis, float angle) {
  Vector u = axis / axis.length();
  double rad = angle * kestrin::GL::kDegToRad;
  float c = static_cast<float>(cos(rad));
  float s = static_cast<float>(sin(rad));
  float k = 1.0f - c;
  float x = u.x();
  float y = u.y();
  float z = u.z();
  Matrix4 r;
  r.m[0] = c + k * x * x;
  r.m[1] = k * x * y - s * z;
  r.m[2] = k * x * z + s * y;
  r.m[4] = k * x * y + s * z;
  r.m[5] = c + k * y * y;
  r.m[6] = k * y * z - s * x;
  r.m[8] = k * x * z - s * y;
  r.m[9] = k * y * z + s * x;
  r.m[10] = c + k * z * z;
  return r;
}

Matrix4 matrixOrient(Vector const& a, Vector const& b, Vector const& c) {
  Matrix4 r;
  r.Orient(a, b, c);
  return r;
}

Matrix4 matrixOrient(Vector const& dir, Vector const& up) {
  Vector d = dir;
  d.normalize();
  Vector u = up;
  u.normalize();
  Vector s = kestrin::GL::xProduct(u, d);
  return matrixOrient(s, u, d);
}
