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
// The exponent of Schlick's approximation and of the diffuse term's
// Fresnel-like factors.
constexpr float kFresnelExponent = 5.0f;
// 28/23 makes the diffuse term conserve energy against the specular lobe.
constexpr float kDiffuseNumerator = 28.0f;
constexpr float kDiffuseDenominator = 23.0f;
// Weight of a traced glossy reflection on top of Rs and its Fresnel factor.
constexpr float kReflectionGain = 5.0f;

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

// ---- Terms of the BRDF's value ----
//
// The names follow the maths: n the unit normal, k1 the unit vector towards
// the viewer, k2 the unit vector towards the light, h their half vector,
// u and v the first and second tangent (nu pairs with u, nv with v). A dot
// product is named by its two vectors, the half vector or normal first:
// hn = h.n, hu = h.u, hv = h.v, hk1 = h.k1, hk2 = h.k2, nk1 = n.k1,
// nk2 = n.k2. The callers form the dot products with their host's vector
// arithmetic and clamp them; these terms take the resulting floats.

// 1 - (1 - cosTheta / 2)^5, the Fresnel-like factor the diffuse term takes
// once for the light's direction and twice for the viewer's. Halving by
// * 0.5 gives the same float as / 2.
inline float diffuseFresnelFactor(float cosTheta) {
  return 1.0f - std::pow(1.0f - cosTheta * 0.5f, kFresnelExponent);
}

// 28 Rd / 23 (1 - Rs): the diffuse reflectance left over by the specular one.
inline float diffuseScale(float rd, float rs) {
  return kDiffuseNumerator * rd / kDiffuseDenominator * (1.0f - rs);
}

// The diffuse term, 28 Rd / 23 (1 - Rs) F(nk2) F(nk1) F(nk1) with F the
// Fresnel-like factor, multiplied left to right. Without the published
// 1/pi: both deliverables have always shaded without it, and every stored
// look depends on that brightness.
inline float diffuseTerm(float rd, float rs, float nk1, float nk2) {
  const float viewFactor = diffuseFresnelFactor(nk1);
  return diffuseScale(rd, rs) * diffuseFresnelFactor(nk2) * viewFactor * viewFactor;
}

// The half vector's exponent (nu hu^2 + nv hv^2) / sin^2(theta_h), where
// sinSquared = 1 - hn^2 is positive.
inline float halfVectorExponent(float nu, float nv, float hu, float hv, float sinSquared) {
  return (nu * (hu * hu) + nv * (hv * hv)) / sinSquared;
}

// hn^e, the anisotropic lobe at the half vector. Where h is the normal
// (1 - hn^2 not positive, NaN included) the exponent has no value and the
// lobe is at its peak, 1.
inline float lobeFactor(float nu, float nv, float hn, float hu, float hv) {
  const float sinSquared = 1.0f - hn * hn;
  if (!(sinSquared > 0.0f)) return 1.0f;
  return std::pow(hn, halfVectorExponent(nu, nv, hu, hv, sinSquared));
}

// sqrt((nu + 1)(nv + 1)), the numerator of the lobe's normalisation
// sqrt((nu + 1)(nv + 1)) / 8 pi.
inline float lobeNormalisation(float nu, float nv) { return std::sqrt((nu + 1.0f) * (nv + 1.0f)); }

// The specular term: numerator / (maxH maxN 8 pi) * lobe * fresnel, with
// maxH = max(hk1, hk2), maxN = max(nk1, nk2) and numerator the lobe's
// normalisation, scaled as the caller needs before the division. Unguarded:
// a zero maximum divides by zero.
inline float specularTerm(float numerator, float maxH, float maxN, float lobe, float fresnel) {
  return numerator / (maxH * maxN * kEightPi) * lobe * fresnel;
}

// v divided by its length, with the squares summed as (x^2 + y^2) + z^2.
// No guard: the zero vector gives NaN components. V must offer operator/.
template <class V>
inline V normalizedCopy(V v) {
  const float len = std::sqrt((v.x * v.x + v.y * v.y) + v.z * v.z);
  return v / len;
}

}  // namespace gw
