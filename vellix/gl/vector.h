// Three-component vector of the renderer's math kit.
#ifndef VELLIX_GL_VECTOR_H
#define VELLIX_GL_VECTOR_H

namespace kestrin {
namespace GL {

class Matrix4;

class Vector {
 public:
  constexpr Vector() : v_{0.0f, 0.0f, 0.0f} {}
  constexpr Vector(float x, float y, float z) : v_{x, y, z} {}
  constexpr Vector(Vector const& o) = default;
  explicit Vector(float const* p) : v_{p[0], p[1], p[2]} {}

  Vector& operator=(Vector const& o) = default;
  Vector& operator=(float const* p);
  // Narrows each of three doubles to float.
  Vector& operator=(double const* p);

  float& x() { return v_[0]; }
  float& y() { return v_[1]; }
  float& z() { return v_[2]; }
  constexpr float const& x() const { return v_[0]; }
  constexpr float const& y() const { return v_[1]; }
  constexpr float const& z() const { return v_[2]; }
  // Unchecked: i must be 0, 1 or 2.
  float& operator[](int i) { return v_[i]; }
  float const& operator[](int i) const { return v_[i]; }
  operator float*() { return v_; }
  operator float const*() const { return v_; }

  bool operator==(Vector const& o) const;
  bool operator!=(Vector const& o) const;
  // True when every component equals s.
  bool operator==(float const& s) const;
  // Lexicographic on (x, y, z).
  bool operator<(Vector const& o) const;
  bool operator>(Vector const& o) const;

  Vector operator-() const;
  Vector& operator+=(Vector const& o);
  Vector& operator-=(Vector const& o);
  Vector& operator*=(float const& s);
  Vector& scale(float const& s);
  Vector& scale(Vector const& o);
  // Clears the sign bit of every component.
  Vector& abs();
  // Dot product.
  float operator*(Vector const& o) const;
  // Squared length.
  float norm() const;
  float length() const;
  // Leaves a zero-length vector untouched.
  Vector& normalize();
  // Squared distance to o.
  float dist(Vector const& o) const;
  // Index of the largest absolute component; ties go to the higher index.
  int dominant() const;
  // Replaces the vector by matrix * vector (a point, w = 1).
  Vector& operator*=(Matrix4 const& m);

 private:
  float v_[3];
};

Vector operator+(Vector const& a, Vector const& b);
Vector operator-(Vector const& a, Vector const& b);
Vector operator*(Vector const& a, float s);
Vector operator*(float s, Vector const& a);
// Division by exactly 0 returns the vector unchanged.
Vector operator/(Vector const& a, float s);

Vector xProduct(Vector const& a, Vector const& b);
// Normal of the plane through a, b, c (not normalised).
Vector planeNormal(Vector const& a, Vector const& b, Vector const& c);
// Direction from two angles in degrees: (cos a cos b, sin a, cos a sin b).
Vector polar(float a, float b);
// Normalises a and makes b and c unit vectors orthogonal to it and to each other.
void orthogonalSystem(Vector& a, Vector& b, Vector& c);

constexpr Vector kUnitX(1.0f, 0.0f, 0.0f);
constexpr Vector kUnitY(0.0f, 1.0f, 0.0f);
constexpr Vector kUnitZ(0.0f, 0.0f, 1.0f);
constexpr Vector kZeroVector(0.0f, 0.0f, 0.0f);
constexpr Vector kOneVector(1.0f, 1.0f, 1.0f);

// Degrees to radians, in double.
constexpr double kDegToRad = 0.017453292519943295;

}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_GL_VECTOR_H
