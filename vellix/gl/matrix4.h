// 4x4 matrix in the layout glUniformMatrix4fv takes (column-major): the translation lives in
// m[12], m[13], m[14] and the perspective term in m[11]. Element (r, c) is m[4 * r + c].
#ifndef VELLIX_GL_MATRIX4_H
#define VELLIX_GL_MATRIX4_H

#include "gl/vector.h"

namespace kestrin {
namespace GL {

class Matrix4 {
 public:
  static float const _identity[16];

  Matrix4();
  Matrix4(Matrix4 const& o);
  virtual ~Matrix4();
  Matrix4& operator=(Matrix4 const& o);

  void reset();

  operator float*() { return m; }
  operator float const*() const { return m; }
  // Unchecked: i must be 0 to 15.
  float& operator[](int i) { return m[i]; }
  float const& operator[](int i) const { return m[i]; }

  // Byte-wise: -0.0 and 0.0 differ.
  bool operator==(Matrix4 const& o) const;
  bool operator!=(Matrix4 const& o) const;

  Matrix4 operator*(Matrix4 const& b) const;
  Matrix4& operator*=(Matrix4 const& b);
  // Transforms the point (x, y, z, 1) and divides by w.
  Vector operator*(Vector const& v) const;

  void Translate(float x, float y, float z);
  Matrix4 transpose() const;
  Matrix4 inverse() const;
  void Orient(Vector const& a, Vector const& b, Vector const& c);
  // Does not reset first: callers start from the identity.
  void LookAt(Vector const& eye, Vector const& center, Vector const& up);
  // Perspective from a vertical field of view in degrees; every other element becomes 0.
  void SetProjection(float fovy, float aspect, float near, float far);
  void printMatrix() const {}

  // Inverse of a 4x4 matrix; the identity when it cannot be inverted. Affine matrices (last
  // row 0, 0, 0, 1) take a cheaper path that keeps that row exact.
  static void invertMatrix4(float const* in, float* out);
  static void invertMatrix4General(float const* in, float* out);

  float m[16];
};

}  // namespace GL
}  // namespace kestrin

// Transform builders; each starts from the identity. Angles are in degrees.
kestrin::GL::Matrix4 matrixScale(float s);
kestrin::GL::Matrix4 matrixScale(kestrin::GL::Vector v);
kestrin::GL::Matrix4 matrixTranslate(float x, float y, float z);
kestrin::GL::Matrix4 matrixTranslate(kestrin::GL::Vector v);
kestrin::GL::Matrix4 matrixRotate(float a, float b);
kestrin::GL::Matrix4 matrixRotate(kestrin::GL::Vector axis, float angle);
kestrin::GL::Matrix4 matrixOrient(kestrin::GL::Vector const& a, kestrin::GL::Vector const& b,
                                  kestrin::GL::Vector const& c);
kestrin::GL::Matrix4 matrixOrient(kestrin::GL::Vector const& dir, kestrin::GL::Vector const& up);

#endif  // VELLIX_GL_MATRIX4_H
