// Fuzz target for the Maya node plug-in glintWeave, driven the way Maya
// drives it: the stand-in host loads glintWeave.so by path and calls its
// exported initializePlugin, creates a node, and each input becomes one
// evaluation of a plug on a fresh data block: every writable attribute (the
// material inputs and the render-state inputs), the elements of
// lightDataArray with their flags, the requested plug and the answers of the
// ray tracer all come from the input.
//
// Checked after every evaluation, besides the sanitizers' own reports:
//  - the eight output plugs return kSuccess and are marked clean; any other
//    plug returns kUnknownParameter and leaves both outputs as they were;
//  - nothing is read or written as the wrong type;
//  - with finite, well-scaled inputs the written colour is finite;
//  - compute makes no heap allocation;
//  - the calling thread's generator advanced by exactly 2 x reflectSamples
//    when reflections ran (an outColor request with reflectivity > 0) and
//    not at all otherwise, observed through a probe evaluation after each
//    input whose one reflection ray must follow the next two numbers of a
//    reference generator.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "fuzzCommon.h"
#include "mayahost.h"
#include "random.h"
#include "reflectance.h"

namespace {

constexpr int kMaxLights = 6;
constexpr int kMaxTraceAnswers = 8;
constexpr int kMaxReflectSamples = 48;  // keeps one input fast
constexpr float kProbeExponent = 10.0f;

struct Target {
  std::unique_ptr<mayahost::Plugin> plugin;
  std::unique_ptr<mayahost::Node> node;
  std::unique_ptr<mayahost::DataBlock> probe;
  std::vector<const mayahost::AttributeRecord*> attributes;  // every attribute, in creation order
  std::vector<mayahost::Plug> plugs;                         // resolved once, same order
  mayahost::Plug outColor;
};
Target* target = nullptr;

bool isOutputPlug(const std::string& name, const char* output) {
  const std::string o(output);
  return name == o || name == o + "R" || name == o + "G" || name == o + "B";
}

// The tracer's scripted answers, used in turn.
struct TraceAnswer {
  bool succeeds;
  bool writes;
  MFloatVector color;
  MFloatVector transparency;
};
struct TraceScript {
  TraceAnswer answers[kMaxTraceAnswers];
  int count = 0;
  int next = 0;
} traceScript;

MStatus scriptedTrace(void*, const mayahost::TraceCall&, MFloatVector& color,
                      MFloatVector& transparency) {
  if (traceScript.count == 0) return MS::kFailure;
  const TraceAnswer& a = traceScript.answers[traceScript.next++ % traceScript.count];
  if (a.writes) {
    color = a.color;
    transparency = a.transparency;
  }
  return a.succeeds ? MS::kSuccess : MS::kFailure;
}

struct ProbeTraces {
  MFloatVector direction;
  int count = 0;
} probeTraces;

MStatus probeTrace(void*, const mayahost::TraceCall& call, MFloatVector&, MFloatVector&) {
  probeTraces.direction = call.direction;
  ++probeTraces.count;
  return MS::kFailure;
}

void setUpProbe(mayahost::DataBlock& probe) {
  static int sampler;  // any non-null address: the view follows rayDirection
  probe.setVector("color", MFloatVector(1.0f, 1.0f, 1.0f));
  probe.setVector("transparency", MFloatVector(0.0f, 0.0f, 0.0f));
  probe.setFloat("specularU", kProbeExponent);
  probe.setFloat("specularV", kProbeExponent);
  probe.setFloat("specularPower", 0.5f);
  probe.setFloat("reflectivity", 1.0f);
  probe.setInt("reflectSamples", 1);
  probe.setVector("normalCamera", MFloatVector(0.0f, 0.0f, 1.0f));
  probe.setVector("rayDirection", MFloatVector(0.0f, 0.0f, -1.0f));
  probe.setVector("pointCamera", MFloatVector(0.0f, 0.0f, 0.0f));
  probe.setAddr("raySampler", &sampler);
  probe.setShort("rayDepth", 0);
  probe.setLightCount(0);
}

gw::RandomSource reference = gw::unseededRandomSource();

void checkDrawsSoFar() {
  mayahost::setTracer(probeTrace, nullptr);
  probeTraces.count = 0;
  target->probe->compute(target->outColor);
  if (probeTraces.count != 1) gwfuzz::fail("probe evaluation did not trace exactly one ray");
  // The same sampling in the frame the node builds for the normal (0, 0, 1)
  // seen straight on: u = (1, 0, 0), n x u = (0, 1, 0), k1 = (0, 0, 1).
  const gw::UnitPair xi = gw::randomUnitPair(reference);
  const MFloatVector n(0.0f, 0.0f, 1.0f), u(1.0f, 0.0f, 0.0f), b(0.0f, 1.0f, 0.0f);
  const MFloatVector hs =
      gw::sampleHalfVector(kProbeExponent, kProbeExponent, xi.u1, xi.u2, u, b, n);
  const MFloatVector want = 2.0f * (n * hs) * hs - n;
  // Same single-precision routines on both sides; the tolerance only absorbs
  // an equivalent operation order. Different draws land much further apart.
  constexpr float kTolerance = 1e-5f;
  const MFloatVector& got = probeTraces.direction;
  if (std::fabs(got.x - want.x) > kTolerance || std::fabs(got.y - want.y) > kTolerance ||
      std::fabs(got.z - want.z) > kTolerance) {
    gwfuzz::fail("generator did not advance by exactly 2 x reflectSamples");
  }
}

MFloatVector takeVector(gwfuzz::FloatSource& f) {
  const float x = f.next();
  const float y = f.next();
  const float z = f.next();
  return MFloatVector(x, y, z);
}

// Addresses the renderer stores in raySampler and objectId: the node only
// passes them on (and tests raySampler against null).
void* takeAddress(FuzzedDataProvider& in) {
  static char places[4];
  const int pick = in.ConsumeIntegralInRange<int>(0, 4);
  return pick == 0 ? nullptr : &places[pick - 1];
}

void fillInputs(FuzzedDataProvider& in, gwfuzz::FloatSource& f, mayahost::DataBlock& block) {
  using mayahost::AttributeKind;
  for (const mayahost::AttributeRecord* a : target->attributes) {
    // Children are set through their parent; light data has its own setter;
    // outputs refuse, which the host reports and the node never sees.
    if (a->parent || !a->flags.writable || a->kind == AttributeKind::kLightData) continue;
    const char* name = a->longName.c_str();
    if (a->kind == AttributeKind::kCompound) {
      if (a->children.size() == 3) block.setVector(name, takeVector(f));
    } else if (a->kind == AttributeKind::kAddress) {
      block.setAddr(name, takeAddress(in));
    } else if (a->kind == AttributeKind::kNumeric) {
      switch (a->numericType) {
        case MFnNumericData::kFloat:
          block.setFloat(name, a->longName == "specularU" || a->longName == "specularV"
                                   ? f.nextExponent()
                                   : f.next());
          break;
        case MFnNumericData::kBoolean:
          block.setBool(name, in.ConsumeBool());
          break;
        case MFnNumericData::kShort:
          block.setShort(name, in.ConsumeBool()
                                   ? static_cast<short>(in.ConsumeIntegralInRange<int>(-1, 2))
                                   : in.ConsumeIntegral<short>());
          break;
        case MFnNumericData::kInt:
          block.setInt(name, in.ConsumeBool()
                                 ? in.ConsumeIntegralInRange<int>(-2, kMaxReflectSamples)
                                 : in.ConsumeIntegralInRange<int>(-1, 3));
          break;
        case MFnNumericData::k3Float:
          block.setVector(name, takeVector(f));
          break;
        default:
          break;
      }
    }
  }
  const unsigned lights = in.ConsumeIntegralInRange<unsigned>(0, kMaxLights);
  block.setLightCount(lights);
  for (unsigned i = 0; i < lights; ++i) {
    mayahost::Light light;
    light.direction = takeVector(f);
    light.intensity = takeVector(f);
    light.ambient = in.ConsumeBool();
    light.diffuse = in.ConsumeBool();
    light.specular = in.ConsumeBool();
    light.shadowFraction = f.any();      // not read by the node
    light.preShadowIntensity = f.any();  // fetched, takes no part
    light.blindData = takeAddress(in);
    block.setLight(i, light);
  }
  traceScript.count = in.ConsumeIntegralInRange<int>(0, kMaxTraceAnswers);
  traceScript.next = 0;
  for (int t = 0; t < traceScript.count; ++t) {
    TraceAnswer& a = traceScript.answers[t];
    a.succeeds = in.ConsumeBool();
    a.writes = in.ConsumeBool();
    a.color = takeVector(f);
    a.transparency = MFloatVector(f.any(), f.any(), f.any());  // takes no part
  }
}

bool finite(const MFloatVector& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

bool same(const MFloatVector& a, const MFloatVector& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  auto* t = new Target;
  std::string error;
  t->plugin = mayahost::Plugin::load(GLINTWEAVE_PLUGIN_PATH, &error);
  if (!t->plugin || t->plugin->initialize() != MS::kSuccess) {
    std::fprintf(stderr, "maya_fuzz: cannot load the plug-in: %s\n", error.c_str());
    std::exit(2);
  }
  t->node = mayahost::Node::create("glintWeave");
  const mayahost::NodeTypeRecord* type = mayahost::findNodeType("glintWeave");
  if (!t->node || !type) {
    std::fprintf(stderr, "maya_fuzz: no glintWeave node\n");
    std::exit(2);
  }
  t->attributes = type->created;
  for (const mayahost::AttributeRecord* a : t->attributes) {
    t->plugs.push_back(t->node->plug(a->longName.c_str()));
  }
  t->outColor = t->node->plug("outColor");
  t->probe = t->node->newDataBlock();
  target = t;
  setUpProbe(*t->probe);
  gwfuzz::AllocationCounter::install();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  gwfuzz::FloatSource f(in, in.ConsumeBool());
  const size_t requested = in.ConsumeIntegralInRange<size_t>(0, target->plugs.size() - 1);
  const std::string& plugName = target->attributes[requested]->longName;

  std::unique_ptr<mayahost::DataBlock> block = target->node->newDataBlock();
  fillInputs(in, f, *block);
  const MFloatVector colorBefore = block->getVector("outColor");
  const MFloatVector transparencyBefore = block->getVector("outTransparency");
  const bool colorPath = isOutputPlug(plugName, "outColor");
  const bool transparencyPath = isOutputPlug(plugName, "outTransparency");
  const bool reflects = colorPath && block->getFloat("reflectivity") > 0.0f;
  const int reflectSamples = block->getInt("reflectSamples");

  mayahost::setTracer(scriptedTrace, nullptr);
  gwfuzz::AllocationCounter::start();
  const mayahost::ComputeResult result = block->compute(target->plugs[requested]);
  if (gwfuzz::AllocationCounter::stop() != 0) gwfuzz::fail("compute allocated");

  if (block->ruleViolations() != 0) gwfuzz::fail("a value was read or written as the wrong type");
  const MFloatVector color = block->getVector("outColor");
  const MFloatVector transparency = block->getVector("outTransparency");
  if (colorPath || transparencyPath) {
    if (result.status != MS::kSuccess) gwfuzz::fail("an output plug did not compute");
    if (!result.clean) gwfuzz::fail("an output plug was not marked clean");
    if (!same(colorPath ? transparency : color, colorPath ? transparencyBefore : colorBefore)) {
      gwfuzz::fail("computing one output wrote the other");
    }
    if (colorPath && f.wellScaled() && !finite(color)) {
      gwfuzz::fail("finite inputs gave a non-finite colour");
    }
    if (transparencyPath && !same(transparency, block->getVector("transparency"))) {
      gwfuzz::fail("outTransparency is not the transparency");
    }
  } else {
    if (result.status != MS::kUnknownParameter)
      gwfuzz::fail("an input plug did not give kUnknownParameter");
    if (!same(color, colorBefore) || !same(transparency, transparencyBefore)) {
      gwfuzz::fail("an input plug wrote an output");
    }
  }

  for (int s = 0; reflects && s < reflectSamples; ++s) gw::randomUnitPair(reference);
  checkDrawsSoFar();
  return 0;
}
