// Stand-in for <maya/MFloatVector.h>: three public floats, all inline.
// operator* between two vectors is the DOT product and operator^ the cross
// product; a scalar may multiply from either side, with the devkit's six
// scalar types on the left.
#pragma once

#include <maya/MStatus.h>
#include <maya/MTypes.h>

#include <cmath>

class OPENMAYA_EXPORT MFloatVector {
 public:
  MFloatVector() : x(0.0f), y(0.0f), z(0.0f) {}
  MFloatVector(float xx, float yy, float zz = 0.0f) : x(xx), y(yy), z(zz) {}
  MFloatVector(const float v[3]) : x(v[0]), y(v[1]), z(v[2]) {}
  MFloatVector(const double v[3])
      : x(static_cast<float>(v[0])), y(static_cast<float>(v[1])), z(static_cast<float>(v[2])) {}
  MFloatVector(const MFloatVector&) = default;
  MFloatVector& operator=(const MFloatVector&) = default;
  ~MFloatVector() = default;

  MFloatVector operator+(const MFloatVector& r) const {
    return MFloatVector(x + r.x, y + r.y, z + r.z);
  }
  MFloatVector operator-(const MFloatVector& r) const {
    return MFloatVector(x - r.x, y - r.y, z - r.z);
  }
  MFloatVector operator-() const { return MFloatVector(-x, -y, -z); }
  float operator*(const MFloatVector& r) const { return x * r.x + y * r.y + z * r.z; }
  MFloatVector operator^(const MFloatVector& r) const {
    return MFloatVector(y * r.z - z * r.y, z * r.x - x * r.z, x * r.y - y * r.x);
  }
  MFloatVector operator*(float s) const { return MFloatVector(x * s, y * s, z * s); }
  MFloatVector operator/(float s) const { return MFloatVector(x / s, y / s, z / s); }
  MFloatVector& operator*=(float s) {
    x *= s;
    y *= s;
    z *= s;
    return *this;
  }
  MFloatVector& operator/=(float s) {
    x /= s;
    y /= s;
    z /= s;
    return *this;
  }
  MFloatVector& operator+=(const MFloatVector& r) {
    x += r.x;
    y += r.y;
    z += r.z;
    return *this;
  }
  MFloatVector& operator-=(const MFloatVector& r) {
    x -= r.x;
    y -= r.y;
    z -= r.z;
    return *this;
  }

  bool operator==(const MFloatVector& r) const { return x == r.x && y == r.y && z == r.z; }
  bool operator!=(const MFloatVector& r) const { return !(*this == r); }
  bool isEquivalent(const MFloatVector& r, float tolerance = 1.0e-5f) const {
    return std::fabs(x - r.x) <= tolerance && std::fabs(y - r.y) <= tolerance &&
           std::fabs(z - r.z) <= tolerance;
  }

  float operator[](unsigned int i) const { return i == 0 ? x : (i == 1 ? y : z); }
  float& operator[](unsigned int i) { return i == 0 ? x : (i == 1 ? y : z); }
  float operator()(unsigned int i) const { return (*this)[i]; }
  float& operator()(unsigned int i) { return (*this)[i]; }

  float length() const { return std::sqrt(x * x + y * y + z * z); }
  // In place; a vector whose squared length is at most 1e-20 stays as it is.
  MStatus normalize() {
    const float lengthSquared = x * x + y * y + z * z;
    if (lengthSquared > 1.0e-20f) {
      const float len = std::sqrt(lengthSquared);
      x /= len;
      y /= len;
      z /= len;
    }
    return MStatus::kSuccess;
  }
  MFloatVector normal() const {
    MFloatVector r(*this);
    r.normalize();
    return r;
  }
  MStatus get(float dest[3]) const {
    dest[0] = x;
    dest[1] = y;
    dest[2] = z;
    return MStatus::kSuccess;
  }

  static const MFloatVector zero;
  static const MFloatVector one;
  static const MFloatVector xAxis;
  static const MFloatVector yAxis;
  static const MFloatVector zAxis;
  static const MFloatVector xNegAxis;
  static const MFloatVector yNegAxis;
  static const MFloatVector zNegAxis;

  float x;
  float y;
  float z;
};

inline MFloatVector operator*(int s, const MFloatVector& v) { return v * static_cast<float>(s); }
inline MFloatVector operator*(short s, const MFloatVector& v) { return v * static_cast<float>(s); }
inline MFloatVector operator*(unsigned int s, const MFloatVector& v) {
  return v * static_cast<float>(s);
}
inline MFloatVector operator*(unsigned short s, const MFloatVector& v) {
  return v * static_cast<float>(s);
}
inline MFloatVector operator*(float s, const MFloatVector& v) { return v * s; }
inline MFloatVector operator*(double s, const MFloatVector& v) { return v * static_cast<float>(s); }
