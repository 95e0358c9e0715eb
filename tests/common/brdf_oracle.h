// An independent double-precision evaluation of the Ashikhmin-Shirley BRDF
// and of its half-vector sampling, written from the maths rather than from
// the deliverables' code. Both hosts' shading tests build their expected
// colours from it; what each host does around the BRDF (its tangent frame,
// per-light averaging, transparency, reflection weighting) stays in those
// tests.
//
// Names as in shared/reflectance.h: n the unit normal, k1 towards the
// viewer, k2 towards the light, h their half vector, u and v the first and
// second tangent; hn = h.n, hk1 = h.k1, nk2 = n.k2 and so on.
#pragma once

#include <algorithm>
#include <cmath>

namespace oracle {

constexpr double kPi = 3.14159265358979323846;

struct Vec {
  double x = 0, y = 0, z = 0;
};
inline Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec operator*(double s, Vec a) { return {s * a.x, s * a.y, s * a.z}; }
inline Vec mul(Vec a, Vec b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
inline double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec cross(Vec a, Vec b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
// The zero vector has no direction and stays as it is.
inline Vec unit(Vec a) {
  const double l = std::sqrt(dot(a, a));
  return l == 0.0 ? a : (1.0 / l) * a;
}
inline double clamp01(double x) { return x < 0 ? 0 : (x > 1 ? 1 : x); }

// The first tangent: the y axis crossed with n, normalised; along the y axis
// itself, (+-1, 0, 0) with the sign of n.y.
inline Vec firstTangent(Vec n) {
  if (n.x == 0 && n.z == 0) return n.y < 0 ? Vec{-1, 0, 0} : Vec{1, 0, 0};
  return unit(Vec{n.z, 0, -n.x});
}

// 1 - (1 - cos / 2)^5.
inline double diffuseFresnelFactor(double cosTheta) { return 1 - std::pow(1 - cosTheta / 2, 5); }

// 28 Rd / 23 (1 - Rs) with the light's factor once and the viewer's twice;
// without the published 1/pi, as both deliverables shade.
inline double diffuse(double rd, double rs, double nk1, double nk2) {
  return 28 * rd / 23 * (1 - rs) * diffuseFresnelFactor(nk2) *
         std::pow(diffuseFresnelFactor(nk1), 2);
}

// Schlick: r + (1 - r)(1 - cos)^5, the cosine unclamped.
inline double fresnel(double r, double cosTheta) { return r + (1 - r) * std::pow(1 - cosTheta, 5); }

// hn^((nu hu^2 + nv hv^2) / (1 - hn^2)), 1 at the peak hn = 1.
inline double lobe(double nu, double nv, double hn, double hu, double hv) {
  const double s2 = 1 - hn * hn;
  return s2 > 0 ? std::pow(hn, (nu * hu * hu + nv * hv * hv) / s2) : 1;
}

// The surface as the hosts hand it over: unit normal and the two tangents.
struct Frame {
  Vec n, u, v;
};

// The BRDF's two terms for one pair of directions.
struct Terms {
  double diffuse = 0;
  double specular = 0;  // without the cosine n.k2
};

inline Terms evaluate(const Frame& f, Vec k1, Vec k2, double rd, double rs, double nu, double nv) {
  const Vec h = unit(k1 + k2);
  const double hn = clamp01(dot(h, f.n)), nk1 = clamp01(dot(f.n, k1)), nk2 = clamp01(dot(f.n, k2));
  const double hk1 = clamp01(dot(h, k1)), hk2 = clamp01(dot(h, k2));
  Terms t;
  t.diffuse = diffuse(rd, rs, nk1, nk2);
  t.specular = std::sqrt((nu + 1) * (nv + 1)) /
               (8 * kPi * std::max(hk1, hk2) * std::max(nk1, nk2)) *
               lobe(nu, nv, hn, dot(h, f.u), dot(h, f.v)) * fresnel(rs, dot(h, k2));
  return t;
}

// The lobe's azimuth from one uniform number, folded over four quadrants:
// atan(sqrt((nu + 1) / (nv + 1)) tan(pi x / 2)) in the first, mirrored in
// the second and fourth.
inline double lobeAzimuth(double nu, double nv, double u1) {
  auto g = [&](double x) {
    return std::atan(std::sqrt((nu + 1) / (nv + 1)) * std::tan(kPi * x / 2));
  };
  if (u1 < 0.25) return g(4 * u1);
  if (u1 < 0.5) return kPi - g(1 - (0.5 - u1) * 4);
  if (u1 < 0.75) return g((u1 - 0.5) * 4) + kPi;
  return 2 * kPi - g(1 - (1 - u1) * 4);
}

// The half vector of one reflection sample in the frame (u, b, n).
inline Vec sampledHalfVector(double nu, double nv, double u1, double u2, Vec n, Vec u, Vec b) {
  const double phi = lobeAzimuth(nu, nv, u1);
  const double c = std::cos(phi), s = std::sin(phi);
  const double cosT = std::pow(u2, 1 / (nu * c * c + nv * s * s + 1));
  const double sinT = std::sqrt(1 - cosT * cosT);
  return (sinT * c) * u + (sinT * s) * b + cosT * n;
}

// k1 mirrored about h.
inline Vec reflect(Vec k1, Vec h) { return (2 * dot(k1, h)) * h - k1; }

}  // namespace oracle
