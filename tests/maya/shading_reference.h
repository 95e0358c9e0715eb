// The node's shading assembled from the BRDF oracle (brdf_oracle.h) in the
// node's own way: its tangent frame, the specular limit, per-light sums,
// transparency and the reflection weight; and helpers that put the same
// inputs into a node's data block.
#pragma once

#include <algorithm>
#include <vector>

#include "brdf_oracle.h"
#include "mayahost.h"
#include "random.h"

namespace gwtest {

using oracle::clamp01;
using oracle::cross;
using oracle::dot;
using oracle::mul;
using oracle::unit;
using oracle::Vec;

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

// The half vector of one reflection sample, from the two numbers drawn: the
// node's sampling frame is (u, n x u, n).
inline Vec sampledHalfVector(double nu, double nv, double u1, double u2, Vec n, Vec u) {
  return oracle::sampledHalfVector(nu, nv, u1, u2, n, u, cross(n, u));
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
  oracle::Frame f;
  f.n = unit(in.N);
  f.u = oracle::firstTangent(in.N);
  f.v = unit(cross(in.N, f.u));  // n x u
  const Vec& n = f.n;
  const Vec& u = f.u;
  const Vec k1 = unit(-1.0 * V);
  Vec A, D, S, R;
  for (const LightIn& l : in.lights) {
    const Vec k2 = unit(l.direction);
    const oracle::Terms t = oracle::evaluate(f, k1, k2, in.Rd, in.Rs, in.nu, in.nv);
    const double fd = t.diffuse;
    const double fs = std::clamp(t.specular, 0.0, 5.0);  // the node's specular limit
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
      const Vec r = oracle::reflect(k1, hs);
      if (in.depth != 0) continue;
      out.directions.push_back(r);
      const double F = oracle::fresnel(in.Rs, dot(k1, hs));
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
