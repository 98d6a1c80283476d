#include "gl/vector.h"

#include <math.h>

#include "gl/matrix4.h"

namespace kestrin {
namespace GL {

Vector& Vector::operator=(float const* p) {
  v_[0] = p[0];
  v_[1] = p[1];
  v_[2] = p[2];
  return *this;
}

Vector& Vector::operator=(double const* p) {
  v_[0] = static_cast<float>(p[0]);
  v_[1] = static_cast<float>(p[1]);
  v_[2] = static_cast<float>(p[2]);
  return *this;
}

bool Vector::operator==(Vector const& o) const {
  return v_[0] == o.v_[0] && v_[1] == o.v_[1] && v_[2] == o.v_[2];
}

bool Vector::operator!=(Vector const& o) const {
  return !(*this == o);
}

bool Vector::operator==(float const& s) const {
  return v_[0] == s && v_[1] == s && v_[2] == s;
}

bool Vector::operator<(Vector const& o) const {
  if (v_[0] != o.v_[0])
    return v_[0] < o.v_[0];
  if (v_[1] != o.v_[1])
    return v_[1] < o.v_[1];
  return v_[2] < o.v_[2];
}

bool Vector::operator>(Vector const& o) const {
  if (v_[0] != o.v_[0])
    return v_[0] > o.v_[0];
  if (v_[1] != o.v_[1])
    return v_[1] > o.v_[1];
  return v_[2] > o.v_[2];
}

Vector Vector::operator-() const {
  return Vector(-v_[0], -v_[1], -v_[2]);
}

Vector& Vector::operator+=(Vector const& o) {
  v_[0] += o.v_[0];
  v_[1] += o.v_[1];
  v_[2] += o.v_[2];
  return *this;
}

Vector& Vector::operator-=(Vector const& o) {
  v_[0] -= o.v_[0];
  v_[1] -= o.v_[1];
  v_[2] -= o.v_[2];
  return *this;
}

Vector& Vector::operator*=(float const& s) {
  v_[0] *= s;
  v_[1] *= s;
  v_[2] *= s;
  return *this;
}

Vector& Vector::scale(float const& s) {
  return *this *= s;
}

Vector& Vector::scale(Vector const& o) {
  v_[0] *= o.v_[0];
  v_[1] *= o.v_[1];
  v_[2] *= o.v_[2];
  return *this;
}

Vector& Vector::abs() {
  v_[0] = fabsf(v_[0]);
  v_[1] = fabsf(v_[1]);
  v_[2] = fabsf(v_[2]);
  return *this;
}

float Vector::operator*(Vector const& o) const {
  return v_[0] * o.v_[0] + v_[1] * o.v_[1] + v_[2] * o.v_[2];
}

float Vector::norm() const {
  return *this * *this;
}

float Vector::length() const {
  return sqrtf(norm());
}

Vector& Vector::normalize() {
  float len = length();
  if (len != 0.0f) {
    v_[0] /= len;
    v_[1] /= len;
    v_[2] /= len;
  }
  return *this;
}

float Vector::dist(Vector const& o) const {
  return (*this - o).norm();
}

int Vector::dominant() const {
  float ax = fabsf(v_[0]);
  float ay = fabsf(v_[1]);
  float az = fabsf(v_[2]);
  if (ax > ay && ax > az)
    return 0;
  if (ay > az)
    return 1;
  return 2;
}

Vector& Vector::operator*=(Matrix4 const& m) {
  *this = m * *this;
  return *this;
}

Vector operator+(Vector const& a, Vector const& b) {
  return Vector(a.x() + b.x(), a.y() + b.y(), a.z() + b.z());
}

Vector operator-(Vector const& a, Vector const& b) {
  return Vector(a.x() - b.x(), a.y() - b.y(), a.z() - b.z());
}

Vector operator*(Vector const& a, float s) {
  return Vector(a.x() * s, a.y() * s, a.z() * s);
}

Vector operator*(float s, Vector const& a) {
  return a * s;
}

Vector operator/(Vector const& a, float s) {
  if (s == 0.0f)
    return a;
  return a * (1.0f / s);
}

Vector xProduct(Vector const& a, Vector const& b) {
  return Vector(a.y() * b.z() - a.z() * b.y(), a.z() * b.x() - a.x() * b.z(),
                a.x() * b.y() - a.y() * b.x());
}

Vector planeNormal(Vector const& a, Vector const& b, Vector const& c) {
  return xProduct(b - a, c - a);
}

Vector polar(float a, float b) {
  double ra = a * kDegToRad;
  double rb = b * kDegToRad;
  return Vector(static_cast<float>(cos(ra) * cos(rb)), static_cast<float>(sin(ra)),
                static_cast<float>(cos(ra) * sin(rb)));
}

void orthogonalSystem(Vector& a, Vector& b, Vector& c) {
  a.normalize();
  if (fabs(static_cast<double>(a.z())) > 0.8)
    b = xProduct(a, kUnitY);
  else
    b = xProduct(a, kUnitZ);
  c = xProduct(a, b);
  b.normalize();
  c.normalize();
}

}  // namespace GL
}  // namespace kestrin
