// Small vector maths for everything the tools light and trace: points,
// directions and linear RGB colours. Single precision, like both hosts'
// vector types. The stage's environments and the preview's geometry share
// it.
#pragma once

#include <cmath>

namespace gwst {

struct Vec3f {
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;
};

inline Vec3f operator+(Vec3f a, Vec3f b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3f operator-(Vec3f a, Vec3f b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3f operator-(Vec3f a) { return {-a.x, -a.y, -a.z}; }
inline Vec3f operator*(Vec3f a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline Vec3f operator*(float s, Vec3f a) { return a * s; }
inline Vec3f operator*(Vec3f a, Vec3f b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
inline Vec3f& operator+=(Vec3f& a, Vec3f b) { return a = a + b; }
inline float dot(Vec3f a, Vec3f b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3f cross(Vec3f a, Vec3f b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float length(Vec3f a) { return std::sqrt(dot(a, a)); }
// Zero vectors stay zero instead of turning into NaN.
inline Vec3f normalized(Vec3f a) {
  const float len = length(a);
  return len > 0.0f ? a * (1.0f / len) : a;
}
inline bool isFinite(Vec3f a) {
  return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z);
}

using Rgb = Vec3f;  // linear RGB, x = red

}  // namespace gwst
