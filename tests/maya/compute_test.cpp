// The node's shading, through the plug-in's compute as the host calls it,
// against the double-precision evaluation in shading_reference.h.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "plugin_fixture.h"
#include "shading_reference.h"

namespace {

using gwtest::Inputs;
using gwtest::LightIn;
using gwtest::Vec;

// Records what the renderer was asked to trace and answers with the script.
struct TraceLog {
  static constexpr int kMax = 256;
  int count = 0;
  mayahost::TraceCall calls[kMax];
};

MStatus scriptedTracer(void* user, const mayahost::TraceCall& call, MFloatVector& color,
                       MFloatVector& transparency) {
  auto* log = static_cast<TraceLog*>(user);
  if (log->count < TraceLog::kMax) log->calls[log->count] = call;
  color = gwtest::toFloat(gwtest::scriptedColor(log->count++));
  transparency = MFloatVector(0.5f, 0.5f, 0.5f);
  return MS::kSuccess;
}

// Single against double precision over a few dozen operations, with powers
// of up to ~100 amplifying the float rounding of their base.
constexpr double kRelative = 2e-4;
constexpr double kAbsolute = 1e-5;

void expectNear(const MFloatVector& got, Vec want, const char* what = "") {
  EXPECT_NEAR(got.x, want.x, kAbsolute + kRelative * std::fabs(want.x)) << what;
  EXPECT_NEAR(got.y, want.y, kAbsolute + kRelative * std::fabs(want.y)) << what;
  EXPECT_NEAR(got.z, want.z, kAbsolute + kRelative * std::fabs(want.z)) << what;
}

bool finite(const MFloatVector& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

class ComputeTest : public gwtest::PluginTest {
 protected:
  void SetUp() override {
    gwtest::PluginTest::SetUp();
    node_ = mayahost::Node::create("glintWeave");
    ASSERT_TRUE(node_);
    mayahost::setTracer(scriptedTracer, &log_);
  }
  void TearDown() override {
    EXPECT_EQ(node_->data().ruleViolations(), 0u);
    node_.reset();
    mayahost::setTracer(nullptr, nullptr);
    gwtest::PluginTest::TearDown();
  }
  MFloatVector shade(const Inputs& in, const char* plug = "outColor") {
    gwtest::apply(in, node_->data(), &sampler_, &object_);
    const mayahost::ComputeResult r = node_->data().compute(plug);
    EXPECT_EQ(r.status, MS::kSuccess);
    EXPECT_TRUE(r.clean);
    return node_->data().getVector("outColor");
  }
  // The reference for the next request, drawing from its own copy of the
  // stream the node draws from.
  gwtest::Reference reference(const Inputs& in) { return gwtest::shade(in, stream_, log_.count); }

  std::unique_ptr<mayahost::Node> node_;
  TraceLog log_;
  gw::RandomSource stream_ = gw::unseededRandomSource();
  int sampler_ = 0;
  int object_ = 0;
};

LightIn light(Vec direction, Vec intensity, bool ambient = true, bool diffuse = true,
              bool specular = true) {
  LightIn l;
  l.direction = direction;
  l.intensity = intensity;
  l.ambient = ambient;
  l.diffuse = diffuse;
  l.specular = specular;
  return l;
}

TEST_F(ComputeTest, OtherPlugsAreNotComputedAndNothingIsWritten) {
  Inputs in;
  in.Ci = {0.25, 0.5, 0.75};
  in.T = {0.5, 0.5, 0.5};
  in.rho = 1;
  gwtest::apply(in, node_->data(), &sampler_, &object_);
  for (const char* plug : {"color", "diffuse", "lightDataArray", "rayDepth", "normalCameraX"}) {
    const mayahost::ComputeResult r = node_->data().compute(plug);
    EXPECT_EQ(r.status, MS::kUnknownParameter) << plug;
    EXPECT_FALSE(r.clean) << plug;
  }
  EXPECT_EQ(node_->data().getVector("outColor"), MFloatVector(0, 0, 0));
  EXPECT_EQ(node_->data().getVector("outTransparency"), MFloatVector(0, 0, 0));
  EXPECT_EQ(log_.count, 0);
}

TEST_F(ComputeTest, TransparencyChildRequestCopiesAllThreeAndShadesNothing) {
  Inputs in;
  in.T = {0.125, 0.25, 0.5};
  in.Ci = {1, 1, 1};
  in.rho = 1;
  gwtest::apply(in, node_->data(), &sampler_, &object_);
  for (const char* plug : {"outTransparencyG", "outTransparency"}) {
    const mayahost::ComputeResult r = node_->data().compute(plug);
    EXPECT_EQ(r.status, MS::kSuccess);
    EXPECT_TRUE(r.clean);
    EXPECT_EQ(node_->data().getVector("outTransparency"), MFloatVector(0.125f, 0.25f, 0.5f));
  }
  EXPECT_EQ(node_->data().getVector("outColor"), MFloatVector(0, 0, 0));
  EXPECT_EQ(log_.count, 0);
}

TEST_F(ComputeTest, AnyColourChildRequestShadesTheWholeColour) {
  Inputs in;
  in.Ca = {0.5, 1, 0.25};
  in.Ci = {0.1f, 0.2f, 0.3f};
  in.T = {0.5, 0.25, 0};
  in.rho = 0;
  // No lights and no reflection: (Ca * Cs + Ci) * (1 - T), in float.
  const MFloatVector Cs(0.5f, 0.5f, 0.5f), Ca = gwtest::toFloat(in.Ca), Ci = gwtest::toFloat(in.Ci),
                                           T = gwtest::toFloat(in.T);
  const MFloatVector want((Ca.x * Cs.x + Ci.x) * (1 - T.x), (Ca.y * Cs.y + Ci.y) * (1 - T.y),
                          (Ca.z * Cs.z + Ci.z) * (1 - T.z));
  for (const char* plug : {"outColorB", "outColorR", "outColor"}) {
    node_->data().setLightCount(0);
    EXPECT_EQ(shade(in, plug), want) << plug;
  }
}

TEST_F(ComputeTest, FullTransparencyLeavesOnlyTheSpecularTerm) {
  Inputs in;
  in.T = {1, 1, 1};
  in.Ca = {1, 1, 1};
  in.Ci = {1, 1, 1};
  in.lights = {light({0.3, 0.2, 1}, {1, 0.8, 0.6}, true, true, false)};
  EXPECT_EQ(shade(in), MFloatVector(0, 0, 0));  // no specular light: nothing at all
  in.lights = {light({0.3, 0.2, 1}, {1, 0.8, 0.6})};
  Inputs specularOnly = in;
  specularOnly.T = {0, 0, 0};
  specularOnly.Ca = specularOnly.Ci = {0, 0, 0};
  specularOnly.lights[0].ambient = specularOnly.lights[0].diffuse = false;
  const MFloatVector s = shade(specularOnly);
  EXPECT_GT(s.x, 0.0f);
  EXPECT_EQ(shade(in), s);
}

TEST_F(ComputeTest, LightFlagsAndLightsBehindTheSurface) {
  Inputs in;
  in.Ca = {0.2, 0.2, 0.2};
  const MFloatVector base = shade(in);
  in.lights = {light({0.2, 0.3, 1}, {1, 1, 1}, false, false, false)};
  EXPECT_EQ(shade(in), base);                           // flags off: adds nothing
  in.lights = {light({0.2, 0.3, -1}, {1, 0.5, 0.25})};  // N.L < 0: ambient only
  const MFloatVector behind = shade(in);
  EXPECT_EQ(behind, base + MFloatVector(0.5f * 1.0f, 0.5f * 0.5f, 0.5f * 0.25f));
  in.lights = {light({1, 0, 0}, {1, 1, 1})};  // N.L = 0: ambient only
  EXPECT_EQ(shade(in), base + MFloatVector(0.5f, 0.5f, 0.5f));
}

TEST_F(ComputeTest, TwoIdenticalLightsDoubleDiffuseAndSpecular) {
  Inputs in;
  in.lights = {light({0.3, -0.2, 1}, {0.9, 0.7, 0.5}, false, true, true)};
  const MFloatVector one = shade(in);
  in.lights.push_back(in.lights[0]);
  EXPECT_EQ(shade(in), 2.0f * one);
  EXPECT_GT(one.x, 0.0f);
}

TEST_F(ComputeTest, DiffuseVanishesForAViewerBehindAndForFullSpecularPower) {
  Inputs in;
  in.lights = {light({0.1, 0.2, 1}, {1, 1, 1}, false, true, false)};
  EXPECT_GT(shade(in).x, 0.0f);
  Inputs behind = in;
  behind.P = {0, 0, 5};  // the viewer looks at the back of the surface
  EXPECT_EQ(shade(behind), MFloatVector(0, 0, 0));
  Inputs mirror = in;
  mirror.Rs = 1;
  EXPECT_EQ(shade(mirror), MFloatVector(0, 0, 0));
}

TEST_F(ComputeTest, LobeFactorIsOneWhenTheHalfVectorIsTheNormal) {
  // Viewer and light both straight above: h = n whatever the exponents.
  Inputs in;
  in.Rs = 0.25;
  for (double nu : {0.0, 3.0, 700.0}) {
    in.nu = nu;
    in.nv = 2;
    in.lights = {light({0, 0, 1}, {1, 1, 1}, false, false, true)};
    const double fs = std::sqrt((in.nv + 1) * (nu + 1)) / (8 * 3.14159265358979323846) * in.Rs;
    expectNear(shade(in), Vec{fs, fs, fs}, "hn = 1");
  }
}

TEST_F(ComputeTest, SpecularValueIsLimitedToFive) {
  Inputs in;
  in.nu = in.nv = 10000;
  in.Rs = 1;
  in.lights = {light({0, 0, 1}, {0.5, 1, 2}, false, true, true)};
  EXPECT_EQ(shade(in), MFloatVector(5 * 0.5f, 5 * 1.0f, 5 * 2.0f));
}

TEST_F(ComputeTest, ZeroSpecularPowerRemovesTheReflectionButStillTraces) {
  Inputs in;
  in.Rs = 0;
  in.Ns = 4;
  in.rho = 0;
  const MFloatVector without = shade(in);
  in.rho = 1;
  EXPECT_EQ(shade(in), without);
  EXPECT_EQ(log_.count, 4);
}

TEST_F(ComputeTest, TracerSeesTheSampledRaysAtDepthZeroOnly) {
  Inputs in;
  in.rho = 0.8;
  in.Ns = 3;
  in.Rs = 0.6;
  in.nu = 40;
  in.nv = 4;
  in.P = {0.5, -0.25, -4};
  in.N = {0.2, 0.3, 1};
  in.sampler = true;
  in.Dr = {0.1, -0.05, -1};

  // Depth 1 draws 2 x Ns numbers and traces nothing: R = 0.
  in.depth = 1;
  const MFloatVector deep = shade(in);
  EXPECT_EQ(log_.count, 0);
  Inputs noReflection = in;
  noReflection.rho = 0;
  EXPECT_EQ(deep, shade(noReflection));
  gwtest::shade(in, stream_);  // the same six numbers

  // Depth 0 traces Ns rays from pointCamera in the sampled directions.
  in.depth = 0;
  const gwtest::Reference want = reference(in);
  const MFloatVector got = shade(in);
  ASSERT_EQ(log_.count, 3);
  for (int k = 0; k < 3; ++k) {
    const mayahost::TraceCall& c = log_.calls[k];
    EXPECT_EQ(c.origin, gwtest::toFloat(in.P));
    expectNear(c.direction, want.directions[static_cast<size_t>(k)], "direction");
    EXPECT_EQ(c.objectId, &object_);
    EXPECT_EQ(c.raySampler, &sampler_);
    EXPECT_EQ(c.rayDepth, 0);
    EXPECT_TRUE(c.reflected);
  }
  expectNear(got, want.color, "colour");
}

TEST_F(ComputeTest, OneTracedSampleGivesTheFresnelWeightedColour) {
  Inputs in;
  in.rho = 0.5;
  in.Ns = 1;
  in.Rs = 0.3;
  in.Cs = {0.8, 0.6, 0.4};
  const gwtest::Reference want = reference(in);
  expectNear(shade(in), want.color);
  EXPECT_EQ(log_.count, 1);
}

TEST_F(ComputeTest, SampledDirectionsFollowTheStreamThroughAllQuadrants) {
  // 2 x 96 numbers from the reference stream cover every branch of the fold.
  Inputs in;
  in.rho = 1;
  in.Ns = 96;
  in.nu = 5;
  in.nv = 60;
  in.N = {-0.4, 0.1, 1};
  const gwtest::Reference want = reference(in);
  shade(in);
  ASSERT_EQ(log_.count, 96);
  for (int k = 0; k < 96; ++k)
    expectNear(log_.calls[k].direction, want.directions[static_cast<size_t>(k)], "direction");
}

TEST_F(ComputeTest, TangentFrameFollowsTheNormalAsRead) {
  // The first sampled direction pins u: compare with the frame given by hand.
  struct Case {
    Vec N;
    Vec u;
  } cases[] = {{{0, -2, 0}, {-1, 0, 0}}, {{0, 3, 0}, {1, 0, 0}}, {{1, 0, 0}, {0, 0, -1}}};
  for (const Case& c : cases) {
    Inputs in;
    in.rho = 1;
    in.Ns = 1;
    in.N = c.N;
    in.P = {0.3, 0.2, -1};
    const double u1 = gw::randomUnit(stream_), u2 = gw::randomUnit(stream_);
    const Vec n = gwtest::unit(c.N);
    const Vec k1 = gwtest::unit(-1.0 * gwtest::unit(in.P));
    const Vec hs = gwtest::sampledHalfVector(in.nu, in.nv, u1, u2, n, c.u);
    const Vec r = (2 * gwtest::dot(k1, hs)) * hs - k1;
    const int before = log_.count;
    shade(in);
    ASSERT_EQ(log_.count, before + 1);
    expectNear(log_.calls[before].direction, r, "direction");
  }
}

TEST_F(ComputeTest, FullShadingMatchesTheFormulas) {
  Inputs a;  // several lights with mixed flags, anisotropic lobe, no reflection
  a.Cs = {0.9, 0.5, 0.2};
  a.Ca = {0.05, 0.1, 0.02};
  a.Ci = {0.01, 0.0, 0.03};
  a.Rd = 0.7;
  a.nu = 120;
  a.nv = 8;
  a.Rs = 0.35;
  a.N = {0.1, 0.4, 1.3};
  a.P = {-0.6, 0.4, -3};
  a.lights = {light({0.5, 0.6, 1}, {1.2, 1.1, 1.0}),
              light({-0.7, 0.1, 0.6}, {0.3, 0.4, 0.9}, false, true, true),
              light({0.2, -0.9, 0.4}, {0.8, 0.2, 0.2}, true, false, true),
              light({0.1, 0.1, -1}, {1, 1, 1})};
  // The reference goes first: it reads how many rays were traced before.
  const Vec wantA = reference(a).color;
  expectNear(shade(a), wantA, "lights");

  Inputs b = a;  // reflections through the scripted tracer, sampler-given view
  b.rho = 0.6;
  b.Ns = 7;
  b.sampler = true;
  b.Dr = {0.15, -0.1, -1};
  b.nu = 15;
  b.nv = 300;
  const Vec wantB = reference(b).color;
  expectNear(shade(b), wantB, "reflections");

  Inputs c = b;  // transparency on top, grazing light
  c.T = {0.3, 0.6, 0.1};
  c.Ns = 2;
  c.lights = {light({1, 0.05, 0.08}, {2, 2, 2}), light({0, 0.2, 1}, {0.5, 0.5, 0.5})};
  const Vec wantC = reference(c).color;
  expectNear(shade(c), wantC, "transparency");
  EXPECT_EQ(log_.count, 9);
}

TEST_F(ComputeTest, InputsAreNotWrittenBack) {
  Inputs in;
  in.N = {0, 0, 3};
  in.lights = {light({0, 4, 4}, {1, 1, 1})};
  shade(in);
  EXPECT_EQ(node_->data().getVector("normalCamera"), MFloatVector(0, 0, 3));
  EXPECT_EQ(node_->data().light(0).direction, MFloatVector(0, 4, 4));
}

// ---- degenerate inputs: finite colours, defined terms still add ----------------

TEST_F(ComputeTest, ZeroNormalKeepsTheAmbientTerms) {
  Inputs in;
  in.N = {0, 0, 0};
  in.Ca = {0.2, 0.4, 0.6};
  in.Ci = {0.1, 0.1, 0.1};
  in.rho = 1;
  in.Ns = 2;
  in.lights = {light({0, 0, 1}, {1, 1, 1})};
  const MFloatVector got = shade(in);
  ASSERT_TRUE(finite(got));
  // A + Ca*Cs + Ci: the light's ambient term and the material's own.
  expectNear(got, Vec{0.5 + 0.1 + 0.1, 0.5 + 0.2 + 0.1, 0.5 + 0.3 + 0.1});
  EXPECT_EQ(log_.count, 0);  // no reflection is defined
}

TEST_F(ComputeTest, ZeroViewVectorKeepsTheAmbientTerms) {
  for (bool sampler : {false, true}) {
    Inputs in;
    in.sampler = sampler;
    in.P = sampler ? Vec{0, 0, -2} : Vec{0, 0, 0};
    in.Dr = sampler ? Vec{0, 0, 0} : Vec{1, 0, 0};
    in.Ci = {0.25, 0.25, 0.25};
    in.rho = 1;
    in.lights = {light({0, 0.2, 1}, {1, 1, 1})};
    const MFloatVector got = shade(in);
    ASSERT_TRUE(finite(got)) << sampler;
    expectNear(got, Vec{0.75, 0.75, 0.75});
  }
}

TEST_F(ComputeTest, LightOppositeTheViewerDropsOnlyItsSpecularTerm) {
  // k2 = -k1: the viewer is behind the surface and the light in front, so h
  // has no direction; the diffuse value is 0 by itself and the ambient stays.
  Inputs in;
  in.P = {0, 0, 2};  // k1 = (0, 0, -1)
  in.lights = {light({0, 0, 1}, {1, 0.5, 0.25})};
  const MFloatVector got = shade(in);
  ASSERT_TRUE(finite(got));
  EXPECT_EQ(got, MFloatVector(0.5f, 0.25f, 0.125f));
}

TEST_F(ComputeTest, ZeroLightDirectionAddsOnlyItsAmbientTerm) {
  Inputs in;
  in.lights = {light({0, 0, 0}, {1, 1, 1}), light({0, 0.3, 1}, {1, 1, 1}, false, true, true)};
  Inputs valid = in;
  valid.lights = {in.lights[1]};
  const MFloatVector alone = shade(valid);
  const MFloatVector got = shade(in);
  ASSERT_TRUE(finite(got));
  expectNear(got, gwtest::fromFloat(MFloatVector(0.5f, 0.5f, 0.5f) + alone));
}

TEST_F(ComputeTest, ExponentsOutsideTheLobeDomainGiveFiniteColours) {
  Inputs in;
  in.Ca = {0.5, 0.5, 0.5};
  in.rho = 1;
  in.Ns = 8;
  in.lights = {light({0.3, 0.1, 1}, {1, 1, 1})};
  const Vec ambient{0.5 + 0.25, 0.5 + 0.25, 0.5 + 0.25};  // the light's A and Ca * Cs
  for (auto e : {std::pair<double, double>{-2, 0.5}, {0.5, -2}, {-1, -1}, {-1, 5}, {-3, -3}}) {
    in.nu = e.first;
    in.nv = e.second;
    const MFloatVector got = shade(in);
    EXPECT_TRUE(finite(got)) << e.first << " " << e.second;
    // Diffuse does not depend on the exponents and still adds.
    EXPECT_GE(got.x, static_cast<float>(ambient.x)) << e.first << " " << e.second;
  }
}

}  // namespace
