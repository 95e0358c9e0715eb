// Shading results through the export, against an independent double-precision
// reference: lights, glossy reflections, irradiance, and the degenerate
// geometry that must still give finite colours.
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "brdf_oracle.h"
#include "mrHarness.h"

namespace {

using namespace mrtest;
using oracle::Vec;

using MrShading = MrTest;

Vec vec(const miVector& v) { return {v.x, v.y, v.z}; }

// The shader's view of the surface: n is the renderer's normal plus the
// offset, normalised; u comes from n; its second tangent is u x n (the
// Maya node's is n x u); k1 is the ray direction negated.
struct RefFrame {
  oracle::Frame f;
  Vec k1;
};

RefFrame refFrame(const miState& s, const ShaderParams& p) {
  RefFrame r;
  r.f.n =
      oracle::unit({double(s.normal.x) + p.normalOffset.x, double(s.normal.y) + p.normalOffset.y,
                    double(s.normal.z) + p.normalOffset.z});
  r.f.u = oracle::firstTangent(r.f.n);
  r.f.v = oracle::unit(oracle::cross(r.f.u, r.f.n));
  r.k1 = {-double(s.dir.x), -double(s.dir.y), -double(s.dir.z)};
  return r;
}

oracle::Terms refTerms(const RefFrame& r, const ShaderParams& p, Vec k2) {
  return oracle::evaluate(r.f, r.k1, k2, p.diffuse, p.specularPower, p.specularU, p.specularV);
}

// One light's contribution: over its samples in front of n, the diffuse term
// tinted by the colour plus the specular term times n.k2, divided by `count`.
Vec refLight(const RefFrame& r, const ShaderParams& p, const std::vector<MiLightSample>& s,
             int count) {
  Vec sum;
  for (const MiLightSample& ls : s) {
    const Vec k2 = vec(ls.dir);
    const double c = oracle::dot(r.f.n, k2);
    if (!(c > 0.0)) continue;
    const oracle::Terms t = refTerms(r, p, k2);
    const Vec lc{ls.color.r, ls.color.g, ls.color.b};
    const Vec col{p.color.r, p.color.g, p.color.b};
    sum = sum + (t.diffuse * oracle::mul(lc, col) + (c * t.specular) * lc);
  }
  return count > 0 ? (1.0 / count) * sum : sum;
}

void expectColorNear(const miColor& got, Vec want, double relTol = 2e-5) {
  const float g[3] = {got.r, got.g, got.b};
  const double w[3] = {want.x, want.y, want.z};
  for (size_t i = 0; i < 3; ++i) {
    // Single-precision arithmetic against a double reference.
    EXPECT_NEAR(g[i], w[i], relTol * std::max(1.0, std::fabs(w[i]))) << "channel " << i;
  }
}

const miColor kWhite = {1.0f, 1.0f, 1.0f, 1.0f};

TEST_F(MrShading, LightingAlongTheNormalKnownAnswer) {
  ShaderCall call;  // N = V = (0, 0, 1)
  const MiLightSample s = lightSample({0.0f, 0.0f, 1.0f});
  mi->setLightSamples(5, &s, 1, -1);
  call.setLights({5});
  call.shade();
  // 28 Rd / 23 (1 - Rs) (1 - 0.5^5)^3 and sqrt((nu + 1)(nv + 1)) / 8 pi Rs, written out.
  const double kd = 28.0 * 0.8 / 23.0 * 0.5 * std::pow(1.0 - std::pow(0.5, 5.0), 3.0);
  const double ks = std::sqrt(11.0 * 11.0) / 25.132742 * 0.5;
  expectColorNear(call.result, {kd * 0.5 + ks, kd * 0.5 + ks, kd * 0.5 + ks}, 1e-6);
}

// Anisotropic lobe, several normals (each takes a different tangent-frame
// branch), a tilted normal, and two lights with their own averages.
TEST_F(MrShading, TwoLightsMatchTheReference) {
  const std::vector<MiLightSample> area = {
      lightSample(unit(0.4f, 0.3f, 1.0f), {1.0f, 0.5f, 0.25f, 1.0f}),
      lightSample(unit(-0.2f, 0.6f, 0.8f), {0.5f, 1.0f, 0.5f, 1.0f}),
      lightSample(unit(0.1f, -0.5f, 0.9f), kWhite)};
  const std::vector<MiLightSample> point = {
      lightSample(unit(0.7f, 0.1f, 0.6f), {2.0f, 2.0f, 2.0f, 1.0f})};
  struct Case {
    miVector normal, offset, dir;
  };
  for (const Case& c : {Case{{0, 0, 1}, {0, 0, 0}, unit(-0.1f, 0.2f, -1.0f)},
                        Case{{0, 1, 0}, {0, 0, 0}, unit(0.3f, -1.0f, 0.2f)},
                        Case{{0, -1, 0}, {0, 0, 0}, unit(0.3f, 1.0f, 0.2f)},
                        Case{{1, 0, 0}, {0, 0, 0}, unit(-1.0f, 0.1f, 0.3f)},
                        Case{{0, 0, 1}, {0.3f, -0.2f, 0.1f}, unit(0.2f, 0.1f, -1.0f)}}) {
    // Lights towards the viewer's side of each normal.
    auto orient = [&](std::vector<MiLightSample> s) {
      for (MiLightSample& ls : s) {
        const Vec d = vec(ls.dir);  // (x, y, z) with z along the normal
        const Vec n = oracle::unit(vec(c.normal));
        const Vec t = std::fabs(n.y) > 0.5 ? Vec{1, 0, 0} : Vec{0, 1, 0};
        const Vec b = oracle::unit(oracle::cross(n, t));
        const Vec w = d.x * oracle::cross(b, n) + d.y * b + d.z * n;
        ls.dir = {float(w.x), float(w.y), float(w.z)};
      }
      return s;
    };
    const auto a = orient(area), p = orient(point);
    mi->reset();
    mi->setLightSamples(1, a.data(), 3, 4);  // four counted, three delivered
    mi->setLightSamples(2, p.data(), 1, -1);
    ShaderCall call;
    call.state.normal = c.normal;
    call.state.dir = c.dir;
    call.params()->normalOffset = c.offset;
    call.params()->specularU = 100.0f;
    call.params()->specularV = 5.0f;
    call.params()->color = {0.9f, 0.6f, 0.3f, 1.0f};
    call.setLights({1, 2});
    call.shade();
    const RefFrame f = refFrame(call.state, *call.params());
    expectColorNear(call.result,
                    refLight(f, *call.params(), a, 4) + refLight(f, *call.params(), p, 1));
    EXPECT_EQ(mi->callCount(MI_ENTRY_SAMPLE_LIGHT), 3 + 1 + 1 + 1);  // samples plus one "done" each
  }
}

TEST_F(MrShading, LightBehindTheSurfaceIsCountedButAddsNothing) {
  const MiLightSample s[2] = {lightSample(unit(0.2f, 0.1f, 1.0f)),
                              lightSample(unit(0.2f, 0.1f, -1.0f))};
  mi->setLightSamples(1, s, 2, -1);
  mi->setLightSamples(2, s + 1, 1, -1);
  ShaderCall call;
  call.setLights({1, 2});
  call.shade();
  const RefFrame f = refFrame(call.state, *call.params());
  expectColorNear(call.result, refLight(f, *call.params(), {s[0]}, 2));  // halved: two counted
}

// Reflections on a private copy of the library, whose first drawing thread
// takes the reference stream (seed 5489): the traced directions show exactly
// which numbers were drawn.
TEST_F(MrShading, ReflectionsDrawTwoNumbersPerSampleAndFallBackToTheEnvironment) {
  const ShaderLibrary lib = freshShaderLibrary();
  lib.setModuleHandle(renderer().handle);
  ShaderCall call;
  ShaderParams& p = *call.params();
  p.specularU = 30.0f;
  p.specularV = 3.0f;
  p.specularPower = 0.4f;
  p.reflectSamples = 5;
  p.normalOffset = {0.1f, 0.2f, 0.0f};
  p.indirect = miTRUE;
  call.state.dir = unit(0.3f, -0.2f, -1.0f);
  const MiLightSample s = lightSample(unit(0.0f, 0.3f, 1.0f));
  mi->setLightSamples(4, &s, 1, -1);
  call.setLights({4});

  call.shade(lib);  // reflectivity 0: nothing drawn, nothing traced
  EXPECT_EQ(mi->callCount(MI_ENTRY_TRACE_REFLECTION), 0);

  const MiTraceResult traces[3] = {{miFALSE, {}, miFALSE, {}, {}},
                                   {miTRUE, {0.8f, 0.4f, 0.2f, 1.0f}, miFALSE, {}, {}},
                                   {miFALSE, {}, miFALSE, {}, {}}};
  const miColor sky = {0.1f, 0.2f, 0.9f, 1.0f};
  mi->reset();
  mi->setLightSamples(4, &s, 1, -1);
  mi->setTraceResults(traces, 3);
  mi->setEnvironment(miTRUE, sky);
  p.reflectivity = 0.7f;
  p.reflectSamples = 3;
  call.result = {0.0f, 0.0f, 0.0f, 0.0f};
  call.shade(lib);

  // Predicted draws: the reference stream from its start.
  std::mt19937 stream(5489u);
  const RefFrame f = refFrame(call.state, p);
  const Vec b = oracle::cross(f.f.n, f.f.u);  // the sampling frame's n x u
  const std::vector<MiCallRecord> log = records(mi);
  std::vector<MiEntry> kinds;
  const miState* traceState = nullptr;
  size_t traceIndex = 0;
  Vec expect = refLight(f, p, {s}, 1);
  for (const MiCallRecord& r : log) {
    kinds.push_back(r.entry);
    if (r.entry == MI_ENTRY_SAMPLE_LIGHT) {
      EXPECT_EQ(r.state, &call.state);  // light sampling gets the renderer's own state
      continue;
    }
    if (r.entry == MI_ENTRY_PHEN_EVAL) continue;
    if (!traceState) traceState = r.state;
    EXPECT_EQ(r.state, traceState);  // one copy for every trace and the irradiance
    EXPECT_NE(r.state, &call.state);
    EXPECT_NEAR(r.stateNormal.x, f.f.n.x, 1e-6);
    EXPECT_NEAR(r.stateNormal.y, f.f.n.y, 1e-6);
    EXPECT_NEAR(r.stateNormal.z, f.f.n.z, 1e-6);
    if (r.entry != MI_ENTRY_TRACE_REFLECTION) continue;
    const double u1 = static_cast<float>(stream()) * 2.3283064e-10f;
    const double u2 = static_cast<float>(stream()) * 2.3283064e-10f;
    const Vec h = oracle::sampledHalfVector(p.specularU, p.specularV, u1, u2, f.f.n, f.f.u, b);
    const Vec want = oracle::reflect(f.k1, h);
    EXPECT_NEAR(r.dir.x, want.x, 2e-5) << "sample " << traceIndex;
    EXPECT_NEAR(r.dir.y, want.y, 2e-5) << "sample " << traceIndex;
    EXPECT_NEAR(r.dir.z, want.z, 2e-5) << "sample " << traceIndex;
    const miColor seen = traceIndex == 1 ? traces[1].color : sky;
    const double fr = oracle::fresnel(p.specularPower, oracle::dot(h, f.k1));
    const double weight = p.specularPower * fr * 5.0 * p.reflectivity / 3.0;  // gain 5, 3 samples
    expect =
        expect + weight * oracle::mul({seen.r, seen.g, seen.b}, {p.color.r, p.color.g, p.color.b});
    ++traceIndex;
  }
  EXPECT_EQ(traceIndex, 3u);
  EXPECT_EQ(kinds, (std::vector<MiEntry>{MI_ENTRY_SAMPLE_LIGHT, MI_ENTRY_SAMPLE_LIGHT,
                                         MI_ENTRY_TRACE_REFLECTION, MI_ENTRY_TRACE_ENVIRONMENT,
                                         MI_ENTRY_TRACE_REFLECTION, MI_ENTRY_TRACE_REFLECTION,
                                         MI_ENTRY_TRACE_ENVIRONMENT, MI_ENTRY_COMPUTE_IRRADIANCE}));
  expectColorNear(call.result, expect);    // the renderer wrote no irradiance: E stays black
  EXPECT_EQ(log.back().resultIn.r, 0.0f);  // E is handed in black, not the light's colour
  EXPECT_EQ(log.back().resultIn.g, 0.0f);
  EXPECT_EQ(call.result.a, 1.0f);
}

// Tracing copies the hit's point and normal back into the state it is given;
// later rays and the irradiance must still start from the shaded point.
TEST_F(MrShading, TraceCopyBackDoesNotMoveLaterRays) {
  MiTraceResult hit = {miTRUE, kWhite, miTRUE, {9.0f, 9.0f, 9.0f}, {0.0f, 1.0f, 0.0f}};
  mi->setTraceResults(&hit, 1);
  ShaderCall call;
  call.params()->reflectivity = 1.0f;
  call.params()->reflectSamples = 3;
  call.params()->indirect = miTRUE;
  call.shade();
  int seen = 0;
  for (const MiCallRecord& r : records(mi)) {
    EXPECT_EQ(r.statePoint.x, call.state.point.x);
    EXPECT_EQ(r.stateNormal.z, 1.0f);
    ++seen;
  }
  EXPECT_EQ(seen, 4);
}

TEST_F(MrShading, IndirectTerm) {
  mi->setIrradiance(miTRUE, {1.0f, 2.0f, 3.0f, 1.0f}, miFALSE);  // the return value is ignored
  ShaderCall call;
  call.params()->indirect = miTRUE;
  call.params()->indirectColor = {0.5f, 1.0f, 0.25f, 1.0f};
  call.params()->indirectIntensity = 2.0f;
  call.shade();
  expectColorNear(call.result, {1.0 * 0.5 * 0.5 / M_PI * 2, 2.0 * 0.5 * 1.0 / M_PI * 2,
                                3.0 * 0.5 * 0.25 / M_PI * 2});
  EXPECT_EQ(mi->callCount(MI_ENTRY_COMPUTE_IRRADIANCE), 1);
}

// ---- Finite inputs give finite results ----

TEST_F(MrShading, NormalOfZeroLengthAddsNoLight) {
  const MiLightSample s = lightSample(unit(0.2f, 0.1f, 1.0f));
  mi->setLightSamples(1, &s, 1, -1);
  mi->setEnvironment(miTRUE, kWhite);
  mi->setIrradiance(miTRUE, kWhite, miTRUE);
  ShaderCall call;
  call.setLights({1});
  call.params()->normalOffset = {0.0f, 0.0f, -1.0f};  // cancels the normal
  call.params()->ambientColor = kWhite;
  call.shade();
  EXPECT_EQ(call.result.r, 0.5f);  // the ambient term alone
  call.params()->reflectivity = 1.0f;
  call.params()->reflectSamples = 4;
  call.params()->indirect = miTRUE;
  call.shade();
  EXPECT_TRUE(finiteColor(call.result));
}

// A normal whose x and z are too small to square lies along y: same frame,
// same colour as the exact axis, instead of a NaN tangent.
TEST_F(MrShading, NormalAlmostAlongYUsesTheAxisFrame) {
  const MiLightSample s = lightSample(unit(0.5f, 1.0f, 0.3f));
  mi->setLightSamples(1, &s, 1, -1);
  ShaderCall axis, nearAxis, tiny;
  for (ShaderCall* c : {&axis, &nearAxis, &tiny}) {
    c->setLights({1});
    c->state.dir = unit(0.3f, -1.0f, -0.4f);
    c->params()->specularU = 200.0f;
    c->params()->specularV = 2.0f;
  }
  axis.state.normal = {0.0f, 1.0f, 0.0f};
  nearAxis.state.normal = {1e-25f, 1.0f, 0.0f};
  tiny.state.normal = {1e-30f, 0.0f, 0.0f};  // its length underflows: left as it is
  axis.shade();
  nearAxis.shade();
  tiny.params()->reflectivity = 1.0f;
  tiny.params()->reflectSamples = 2;
  tiny.shade();
  EXPECT_GT(axis.result.r, 0.0f);
  EXPECT_EQ(nearAxis.result.r, axis.result.r);
  EXPECT_EQ(nearAxis.result.b, axis.result.b);
  EXPECT_TRUE(finiteColor(tiny.result));
}

// L = -V with the light in front: H has no length and the highlight would
// divide by zero; an unbounded lobe (NH = 0 under a negative exponent) the
// same. Those samples keep their diffuse part; other lights add as usual.
TEST_F(MrShading, UndefinedHighlightsAddNothingElseStillAdds) {
  const miVector v = unit(1.0f, 0.0f, -1.0f);  // viewer below the surface
  const MiLightSample opposite = lightSample({-v.x, -v.y, -v.z});
  const MiLightSample grazing = lightSample(unit(0.0f, 1.0f, 1.0f));  // H lies in the tangent plane
  const MiLightSample ordinary = lightSample(unit(-0.3f, 0.2f, 1.0f));
  mi->setLightSamples(1, &opposite, 1, -1);
  mi->setLightSamples(2, &grazing, 1, -1);
  mi->setLightSamples(3, &ordinary, 1, -1);
  for (float exponent : {10.0f, -0.5f}) {
    ShaderCall call;
    call.state.dir = {-v.x, -v.y, -v.z};
    call.params()->specularU = exponent;
    call.params()->specularV = exponent;
    call.setLights({1, 2, 3});
    call.shade();
    const RefFrame f = refFrame(call.state, *call.params());
    EXPECT_TRUE(finiteColor(call.result)) << exponent;
    // Viewed from below, NV = 0: no diffuse; only the ordinary light's highlight.
    const Vec want = exponent > 0 ? refLight(f, *call.params(), {ordinary, grazing}, 1)
                                  : refLight(f, *call.params(), {ordinary}, 1);
    expectColorNear(call.result, want);
  }
}

// Exponents at or below -1 leave the lobe undefined: no highlight, no glossy
// reflection, while the diffuse light and the rest still add. Exponents too
// large for single precision drop the highlight too.
TEST_F(MrShading, ExponentsOutsideTheLobeDomain) {
  const MiLightSample s = lightSample(unit(0.3f, 0.2f, 1.0f));
  mi->setLightSamples(1, &s, 1, -1);
  mi->setEnvironment(miTRUE, kWhite);
  for (const auto& [nu, nv] : {std::pair{-2.0f, 10.0f}, std::pair{10.0f, -1.0f},
                               std::pair{-3.0f, -3.0f}, std::pair{1e20f, 1e20f}}) {
    mi->reset();
    mi->setLightSamples(1, &s, 1, -1);
    mi->setEnvironment(miTRUE, kWhite);
    ShaderCall call;
    call.setLights({1});
    call.params()->specularU = nu;
    call.params()->specularV = nv;
    call.params()->reflectivity = 0.5f;
    call.params()->reflectSamples = 4;
    call.params()->ambientColor = {0.1f, 0.1f, 0.1f, 1.0f};
    call.shade();
    ASSERT_TRUE(finiteColor(call.result)) << nu << " " << nv;
    const RefFrame f = refFrame(call.state, *call.params());
    const double kd = refTerms(f, *call.params(), vec(s.dir)).diffuse;
    if (nu > -1.0f && nv > -1.0f) {
      EXPECT_EQ(mi->callCount(MI_ENTRY_TRACE_REFLECTION), 4);
      continue;
    }
    EXPECT_EQ(mi->callCount(MI_ENTRY_TRACE_REFLECTION), 0) << nu << " " << nv;
    expectColorNear(call.result, {kd * 0.5 + 0.05, kd * 0.5 + 0.05, kd * 0.5 + 0.05});
  }
}

// Samples outside the lobe's domain trace nothing but still take their two
// numbers each, so the stream stays where every other sample would leave it:
// after an undefined call of 3 samples, the next traced direction is the one
// a fresh library traces for its 4th sample.
TEST_F(MrShading, UndefinedLobeSamplesStillDrawTheirNumbers) {
  auto lastTraceDirection = [](const MiRenderer* r) {
    miVector d = {0.0f, 0.0f, 0.0f};
    for (const MiCallRecord& rec : records(r)) {
      if (rec.entry == MI_ENTRY_TRACE_REFLECTION) d = rec.dir;
    }
    return d;
  };
  ShaderCall call;
  call.params()->reflectivity = 0.5f;
  call.params()->specularU = 20.0f;
  call.params()->specularV = 2.0f;
  call.state.dir = unit(0.2f, -0.1f, -1.0f);

  const ShaderLibrary a = freshShaderLibrary();
  a.setModuleHandle(renderer().handle);
  call.params()->specularU = -2.0f;
  call.params()->reflectSamples = 3;
  call.shade(a);
  EXPECT_EQ(mi->callCount(MI_ENTRY_TRACE_REFLECTION), 0);
  call.params()->specularU = 20.0f;
  call.params()->reflectSamples = 1;
  call.shade(a);
  ASSERT_EQ(mi->callCount(MI_ENTRY_TRACE_REFLECTION), 1);
  const miVector afterUndefined = lastTraceDirection(mi);

  mi->reset();
  const ShaderLibrary b = freshShaderLibrary();
  b.setModuleHandle(renderer().handle);
  call.params()->reflectSamples = 4;
  call.shade(b);
  ASSERT_EQ(mi->callCount(MI_ENTRY_TRACE_REFLECTION), 4);
  const miVector fourth = lastTraceDirection(mi);
  EXPECT_EQ(afterUndefined.x, fourth.x);
  EXPECT_EQ(afterUndefined.y, fourth.y);
  EXPECT_EQ(afterUndefined.z, fourth.z);
}

}  // namespace
