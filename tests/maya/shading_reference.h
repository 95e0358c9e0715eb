// An independent double-precision evaluation of the node's shading formulas,
// and helpers that put the same inputs into a node's data block.
#pragma once

#include <cmath>
#include <vector>

#include "mayahost.h"
#include "random.h"

namespace gwtest {

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
inline Vec unit(Vec a) { return (1.0 / std::sqrt(dot(a, a))) * a; }
inline double clamp01(double x) { return x < 0 ? 0 : (x > 1 ? 1 : x); }
inline MFloatVector toFloat(Vec a) {
  return MFloatVector(static_cast<float>(a.x), static_cast<float>(a.y), static_cast<float>(a.z));
}
inline Vec fromFloat(const MFloatVector& a) { return {a.x, a.y, a.z}; }

struct LightIn {
  Vec direction;
  Vec intensity;
  bool ambient = true;
  bool diffuse = true;
  bool specular = true;
};

struct Inputs {
  Vec Cs{0.5, 0.5, 0.5}, Ca{0, 0, 0}, Ci{0, 0, 0}, T{0, 0, 0};
  double Rd = 0.8, nu = 10, nv = 10, Rs = 0.5, rho = 0;
  int Ns = 1;
  Vec Dr{1, 0, 0}, P{0, 0, -5}, N{0, 0, 1};
  bool sampler = false;  // store a non-null raySampler
  short depth = 0;
  std::vector<LightIn> lights;
};

// The colour a scripted tracer returns for its k-th call.
inline Vec scriptedColor(int k) { return {0.2 + 0.1 * (k % 3), 0.5, 0.9 - 0.05 * (k % 5)}; }

// Tangent u of the frame built from N as read.
inline Vec tangentU(Vec N) {
  if (N.x == 0 && N.z == 0) return N.y < 0 ? Vec{-1, 0, 0} : Vec{1, 0, 0};
  const double l = std::sqrt(N.z * N.z + N.x * N.x);
  return {N.z / l, 0, -N.x / l};
}

// The half vector of one reflection sample, from the two numbers drawn.
inline Vec sampledHalfVector(double nu, double nv, double u1, double u2, Vec n, Vec u) {
  const double pi = 3.14159265358979323846;
  auto g = [&](double x) {
    return std::atan(std::sqrt((nu + 1) / (nv + 1)) * std::tan(pi * x / 2));
  };
  double phi;
  if (u1 < 0.25)
    phi = g(4 * u1);
  else if (u1 < 0.5)
    phi = pi - g(1 - (0.5 - u1) * 4);
  else if (u1 < 0.75)
    phi = g((u1 - 0.5) * 4) + pi;
  else
    phi = 2 * pi - g(1 - (1 - u1) * 4);
  const double c = std::cos(phi), s = std::sin(phi);
  const double cosT = std::pow(u2, 1 / (s * s * nv + c * c * nu + 1));
  const double sinT = std::sqrt(1 - cosT * cosT);
  return (sinT * c) * u + (sinT * s) * cross(n, u) + cosT * n;
}

// The reflected directions and the shaded colour. `stream` supplies the
// numbers the node draws; traced rays get scriptedColor(k) for k counted from
// `firstTrace`.
struct Reference {
  Vec color;
  std::vector<Vec> directions;
};

inline Reference shade(const Inputs& in, gw::RandomSource& stream, int firstTrace = 0) {
  Reference out;
  const Vec V = unit(in.sampler ? in.Dr : in.P);
  const Vec n = unit(in.N);
  const Vec k1 = unit(-1.0 * V);
  const Vec u = tangentU(in.N);
  const Vec v = unit(cross(in.N, u));
  Vec A, D, S, R;
  for (const LightIn& l : in.lights) {
    const Vec k2 = unit(l.direction);
    const Vec h = unit(k2 + k1);
    const double hn = clamp01(dot(h, n)), nk2 = clamp01(dot(n, k2)), nk1 = clamp01(dot(k1, n));
    const double hk2 = clamp01(dot(k2, h)), hk1 = clamp01(dot(k1, h));
    const double hu = dot(h, u), hv = dot(h, v);
    const double viewFactor = 1 - std::pow(1 - nk1 / 2, 5);
    const double fd =
        (1 - std::pow(1 - nk2 / 2, 5)) * (in.Rd * 28 / 23 * (1 - in.Rs)) * viewFactor * viewFactor;
    const double lobe =
        1 - hn * hn > 0 ? std::pow(hn, (hv * hv * in.nv + hu * hu * in.nu) / (1 - hn * hn)) : 1;
    const double F = in.Rs + (1 - in.Rs) * std::pow(1 - dot(h, k2), 5);
    double fs = std::sqrt((in.nv + 1) * (in.nu + 1)) /
                (std::max(nk2, nk1) * std::max(hk2, hk1) * 8 * 3.14159265358979323846) * lobe * F;
    fs = fs < 0 ? 0 : (fs > 5 ? 5 : fs);
    const double NL = dot(n, k2);
    if (l.ambient) A = A + mul(in.Cs, l.intensity);
    if (l.diffuse && NL > 0) D = D + mul(fd * in.Cs, l.intensity);
    if (l.specular && NL > 0) S = S + (fs * NL) * l.intensity;
  }
  if (in.rho > 0) {
    Vec sum;
    int traced = firstTrace;
    for (int j = 0; j < in.Ns; ++j) {
      const double u1 = gw::randomUnit(stream);
      const double u2 = gw::randomUnit(stream);
      const Vec hs = sampledHalfVector(in.nu, in.nv, u1, u2, n, u);
      const Vec r = (2 * dot(k1, hs)) * hs - k1;
      if (in.depth != 0) continue;
      out.directions.push_back(r);
      const double F = in.Rs + (1 - in.Rs) * std::pow(1 - dot(k1, hs), 5);
      sum = sum + (in.Rs * F * 5) * scriptedColor(traced++);
    }
    if (in.Ns > 0) sum = (1.0 / in.Ns) * sum;
    R = mul(sum, in.rho * in.Cs);
  }
  const Vec O = A + (D + mul(in.Ca, in.Cs) + in.Ci + R);
  out.color = mul(O, Vec{1 - in.T.x, 1 - in.T.y, 1 - in.T.z}) + S;
  return out;
}

// Stores the inputs in a data block, as the renderer would before a request.
inline void apply(const Inputs& in, mayahost::DataBlock& d, void* sampler, void* objectId) {
  d.setVector("color", toFloat(in.Cs));
  d.setVector("ambientColor", toFloat(in.Ca));
  d.setVector("incandescence", toFloat(in.Ci));
  d.setVector("transparency", toFloat(in.T));
  d.setFloat("diffuse", static_cast<float>(in.Rd));
  d.setFloat("specularU", static_cast<float>(in.nu));
  d.setFloat("specularV", static_cast<float>(in.nv));
  d.setFloat("specularPower", static_cast<float>(in.Rs));
  d.setFloat("reflectivity", static_cast<float>(in.rho));
  d.setInt("reflectSamples", in.Ns);
  d.setVector("rayDirection", toFloat(in.Dr));
  d.setVector("pointCamera", toFloat(in.P));
  d.setVector("normalCamera", toFloat(in.N));
  d.setAddr("raySampler", in.sampler ? sampler : nullptr);
  d.setAddr("objectId", objectId);
  d.setShort("rayDepth", in.depth);
  d.setLightCount(static_cast<unsigned>(in.lights.size()));
  for (unsigned k = 0; k < in.lights.size(); ++k) {
    mayahost::Light l;
    l.direction = toFloat(in.lights[k].direction);
    l.intensity = toFloat(in.lights[k].intensity);
    l.ambient = in.lights[k].ambient;
    l.diffuse = in.lights[k].diffuse;
    l.specular = in.lights[k].specular;
    d.setLight(k, l);
  }
}

}  // namespace gwtest
