// Small single-precision routines of the Ashikhmin-Shirley anisotropic BRDF
// and of its importance sampling, shared by both deliverables.
//
// Everything here is a pure function over floats or over any vector type with
// public float members x, y, z that can be brace-initialised from three floats
// (the Maya node's MFloatVector, the shader library's miVector). No host
// header is included here.
#pragma once

#include <cmath>

namespace gw {

constexpr float kPi = 3.1415927f;
constexpr float kTwoPi = 6.2831855f;
constexpr float kHalfPi = 1.5707964f;  // 0x3FC90FDB, just above pi/2
constexpr float kEightPi = 25.132742f;
constexpr float kFresnelExponent = 5.0f;

inline float squareRoot(float x) { return std::sqrt(x); }

// Bounds first, value last. A NaN x fails both tests and passes through.
inline float clampRange(float lo, float hi, float x) {
  if (lo > x) return lo;
  if (x > hi) return hi;
  return x;
}

// Returns a on a tie and whenever either argument is NaN.
inline float maxOf(float a, float b) { return b > a ? b : a; }

// Azimuth of the anisotropic lobe in the first quadrant:
// atan(sqrt((nu + 1) / (nv + 1)) * tan(pi u / 2)). nu pairs with cos^2(phi),
// nv with sin^2(phi). u = 1 lands just past pi/2, where tan is a large
// negative number, so the result is close to -pi/2.
inline float sampleLobeAzimuth(float nu, float nv, float u) {
  const float d = std::sqrt((nu + 1.0f) / (nv + 1.0f));
  const float t = std::tan(kHalfPi * u);
  return std::atan(d * t);
}

// Full-circle azimuth from one uniform number: each quadrant of u1 is mapped
// onto a quadrant of the circle, mirrored in the second and fourth so that
// the lobe stays symmetric about both tangents.
inline float foldLobeAzimuth(float nu, float nv, float u1) {
  if (0.25f > u1) return sampleLobeAzimuth(nu, nv, 4.0f * u1);
  if (0.5f > u1) return kPi - sampleLobeAzimuth(nu, nv, 1.0f - 4.0f * (0.5f - u1));
  if (0.75f > u1) return sampleLobeAzimuth(nu, nv, 4.0f * (u1 - 0.5f)) + kPi;
  return kTwoPi - sampleLobeAzimuth(nu, nv, 1.0f - 4.0f * (1.0f - u1));
}

// Cosine of the sampled half vector's angle to the normal:
// u2^(1 / (nu cos^2 phi + nv sin^2 phi + 1)).
inline float sampleLobeCosTheta(float nu, float nv, float cosPhi, float sinPhi, float u2) {
  return std::pow(u2, 1.0f / (nu * (cosPhi * cosPhi) + nv * (sinPhi * sinPhi) + 1.0f));
}

// Half vector sampled from the lobe around n, in the frame (t, b, n):
// sin(theta) cos(phi) t + sin(theta) sin(phi) b + cos(theta) n, the first two
// terms added first. u1 picks the azimuth, u2 the elevation.
template <class V>
inline V sampleHalfVector(float nu, float nv, float u1, float u2, const V& t, const V& b,
                          const V& n) {
  const float phi = foldLobeAzimuth(nu, nv, u1);
  const float cosPhi = std::cos(phi);
  const float sinPhi = std::sin(phi);
  const float cosTheta = sampleLobeCosTheta(nu, nv, cosPhi, sinPhi, u2);
  const float sinTheta = std::sqrt(1.0f - cosTheta * cosTheta);
  const float a = sinTheta * cosPhi;
  const float c = sinTheta * sinPhi;
  return V{(a * t.x + c * b.x) + cosTheta * n.x, (a * t.y + c * b.y) + cosTheta * n.y,
           (a * t.z + c * b.z) + cosTheta * n.z};
}

// Schlick's Fresnel approximation with the cosine taken as a . b (summed
// x, y, z in that order). Nothing is clamped; unit vectors are expected.
template <class V>
inline float schlickFresnel(V a, V b, float r) {
  const float c = a.x * b.x + a.y * b.y + a.z * b.z;
  return r + (1.0f - r) * std::pow(1.0f - c, kFresnelExponent);
}

// v divided by its length, with the squares summed as (x^2 + y^2) + z^2.
// No guard: the zero vector gives NaN components. V must offer operator/.
template <class V>
inline V normalizedCopy(V v) {
  const float len = std::sqrt((v.x * v.x + v.y * v.y) + v.z * v.z);
  return v / len;
}

}  // namespace gw
