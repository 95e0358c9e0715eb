// The data-block calls a compute makes (inputValue, outputValue, the
// handles' as*(), child(), the array handle's light loop), made through the
// probe plug-in's compute: every rule the host enforces on them, case by
// case. The accessors are inline in the stand-in's headers, so these cases
// also pin what the inline paths do.
#include <gtest/gtest.h>

#include <maya/MArrayDataHandle.h>
#include <maya/MDataBlock.h>
#include <maya/MDataHandle.h>

#include <memory>
#include <string>

#include "artifact_path.h"
#include "data_probe.h"
#include "mayahost.h"

namespace {

struct Case {
  const char* name;
  DataProbeFn probe;
  float expected;         // what the probe returns
  unsigned violations;    // rule violations the compute adds
};

// MStatus codes as floats, for the probes that return a status.
float code(const MStatus& s) { return static_cast<float>(s.statusCode()); }
constexpr float kSuccess = static_cast<float>(MStatus::kSuccess);
constexpr float kFailure = static_cast<float>(MStatus::kFailure);
constexpr float kInvalid = static_cast<float>(MStatus::kInvalidParameter);

using A = DataProbeAttributes;

// clang-format off
const Case kCases[] = {
    {"a whole value reads the node's storage",
     [](MDataBlock& b, const A& a, void*) { return b.inputValue(a.floatValue).asFloat(); }, 0.25f, 0},
    {"each numeric type reads as its own type",
     [](MDataBlock& b, const A& a, void*) {
       return static_cast<float>(b.inputValue(a.intValue).asInt() + b.inputValue(a.shortValue).asShort() +
                                 (b.inputValue(a.boolValue).asBool() ? 100 : 0) + b.inputValue(a.intValue).asLong());
     }, 117.0f, 0},
    {"inputValue reports success",
     [](MDataBlock& b, const A& a, void*) { MStatus s; b.inputValue(a.floatValue, &s); return code(s); },
     kSuccess, 0},
    {"a wrong-typed read gets a zero and counts",
     [](MDataBlock& b, const A& a, void*) { return static_cast<float>(b.inputValue(a.floatValue).asInt()); },
     0.0f, 1},
    {"a wrong-typed write lands in scratch, not in the storage",
     [](MDataBlock& b, const A& a, void*) {
       b.inputValue(a.intValue).set(9.0f);
       b.inputValue(a.intValue).asDouble() = 9.0;
       return static_cast<float>(b.inputValue(a.intValue).asInt());
     }, 7.0f, 2},
    {"a colour reads whole as a vector",
     [](MDataBlock& b, const A& a, void*) { return b.inputValue(a.color).asFloatVector().z; }, 0.75f, 0},
    {"a colour's child reads its component, by object and by child()",
     [](MDataBlock& b, const A& a, void*) {
       return b.inputValue(a.colorG).asFloat() + 10.0f * b.inputValue(a.color).child(a.colorB).asFloat();
     }, 8.0f, 0},
    {"a component is no vector and a colour no float",
     [](MDataBlock& b, const A& a, void*) {
       return b.inputValue(a.colorR).asFloatVector().x + b.inputValue(a.color).asFloat();
     }, 0.0f, 2},
    {"a component writes into its parent",
     [](MDataBlock& b, const A& a, void*) {
       b.outputValue(a.color).child(a.colorR).set(4.0f);
       return b.inputValue(a.color).asFloatVector().x;
     }, 4.0f, 0},
    {"child() of an attribute that is not a child counts, and the handle has no value",
     [](MDataBlock& b, const A& a, void*) { return b.inputValue(a.color).child(a.floatValue).asFloat(); },
     0.0f, 2},
    {"another node type's attribute is refused",
     [](MDataBlock& b, const A& a, void*) {
       MStatus s;
       const float v = b.inputValue(a.foreign, &s).asFloat();
       return v + code(s);
     }, kInvalid, 2},
    {"an object that is no attribute is refused",
     [](MDataBlock& b, const A&, void*) {
       MStatus s;
       b.inputValue(MObject(), &s).asFloat();
       return code(s);
     }, kInvalid, 2},
    {"an array read as a value has none, but makes an array handle",
     [](MDataBlock& b, const A& a, void*) {
       MDataHandle h = b.inputValue(a.lights);
       MStatus s;
       MArrayDataHandle array(h, &s);
       return h.asFloat() + 10.0f * static_cast<float>(array.elementCount()) + 100.0f * code(s);
     }, 20.0f, 1},
    {"the light loop reads each element's children",
     [](MDataBlock& b, const A& a, void*) {
       MArrayDataHandle lights = b.inputArrayValue(a.lights);
       float sum = 0.0f;
       const unsigned n = lights.elementCount();
       for (unsigned k = 0; k < n; ++k) {
         MDataHandle e = lights.inputValue();
         sum += e.child(a.lightIntensity).asFloatVector().y + e.child(a.lightDirection).asFloatVector().x;
         sum += e.child(a.lightAmbient).asBool() ? 100.0f : 0.0f;
         if (!lights.next()) break;
       }
       return sum;
     }, (1.0f + 0.5f) + 100.0f + (3.0f + 1.5f), 0},
    {"an element is no value, and its children are not the node's",
     [](MDataBlock& b, const A& a, void*) {
       MArrayDataHandle lights = b.inputArrayValue(a.lights);
       MDataHandle e = lights.inputValue();
       return e.asFloat() + b.inputValue(a.lightIntensity).asFloatVector().y;
     }, 0.0f, 3},
    {"next() fails at the last element, and reading past it counts",
     [](MDataBlock& b, const A& a, void*) {
       MArrayDataHandle lights = b.inputArrayValue(a.lights);
       const MStatus first = lights.next();
       const MStatus second = lights.next();
       MStatus read;
       const float v = lights.inputValue(&read).child(a.lightIntensity).asFloatVector().y;
       return code(first) + 10.0f * code(second) + 100.0f * code(read) + v;
     }, kSuccess + 10.0f * kFailure + 100.0f * kInvalid, 3},
    {"a plain value is no array",
     [](MDataBlock& b, const A& a, void*) {
       MStatus s;
       MArrayDataHandle none = b.inputArrayValue(a.floatValue, &s);
       return code(s) + 10.0f * static_cast<float>(none.elementCount()) + 100.0f * code(none.next());
     }, kInvalid + 100.0f * kFailure, 1},
};
// clang-format on

class DataAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    plugin_ = mayahost::Plugin::load(
        gwtest::artifactPath("GLINTWEAVE_DATA_PROBE_PATH", GLINTWEAVE_DATA_PROBE_PATH), &error);
    ASSERT_TRUE(plugin_) << error;
    ASSERT_EQ(plugin_->initialize(), MS::kSuccess);
    node_ = mayahost::Node::create("dataProbe");
    ASSERT_TRUE(node_);
  }
  void TearDown() override {
    node_.reset();
    if (plugin_) plugin_->uninitialize();
  }

  // A block with two lights, running `probe` in one compute.
  float run(DataProbeFn probe, unsigned* violations, bool* clean = nullptr) {
    auto block = node_->newDataBlock();
    EXPECT_EQ(block->setLightCount(2), MS::kSuccess);
    for (unsigned k = 0; k < 2; ++k) {
      mayahost::Light light;
      light.direction = MFloatVector(0.5f + static_cast<float>(k), 0.0f, 1.0f);
      light.intensity = MFloatVector(1.0f, 1.0f + 2.0f * static_cast<float>(k), 1.0f);
      light.ambient = k == 0;
      EXPECT_EQ(block->setLight(k, light), MS::kSuccess);
    }
    DataProbeCall call;
    call.fn = probe;
    EXPECT_EQ(block->setAddr("probe", &call), MS::kSuccess);
    const mayahost::ComputeResult r = block->compute("result");
    EXPECT_EQ(r.status, MS::kSuccess);
    if (clean) *clean = r.clean;
    *violations = block->ruleViolations();
    if (resultOut_) *resultOut_ = block->getVector("result");
    return call.returned;
  }

  std::unique_ptr<mayahost::Plugin> plugin_;
  std::unique_ptr<mayahost::Node> node_;
  MFloatVector* resultOut_ = nullptr;
};

TEST_F(DataAccess, EveryCallFollowsTheHostsRules) {
  for (const Case& c : kCases) {
    unsigned violations = 0;
    EXPECT_EQ(run(c.probe, &violations), c.expected) << c.name;
    EXPECT_EQ(violations, c.violations) << c.name;
  }
}

TEST_F(DataAccess, AnOutputIsWrittenAndCleanedThroughItsHandle) {
  MFloatVector result;
  resultOut_ = &result;
  unsigned violations = 0;
  bool clean = false;
  run(
      [](MDataBlock& b, const A& a, void*) {
        MDataHandle out = b.outputValue(a.out);
        out.asFloatVector() = MFloatVector(1.0f, 2.0f, 3.0f);
        out.child(a.colorR).set(5.0f);  // another compound's child: refused
        out.setClean();
        return 0.0f;
      },
      &violations, &clean);
  EXPECT_EQ(result, MFloatVector(1.0f, 2.0f, 3.0f));
  EXPECT_TRUE(clean);
  EXPECT_EQ(violations, 2u);

  // Not cleaned: the renderer hears so.
  run([](MDataBlock& b, const A& a, void*) {
        b.outputValue(a.out).set(1.0f, 1.0f, 1.0f);
        return 0.0f;
      },
      &violations, &clean);
  EXPECT_FALSE(clean);
  EXPECT_EQ(violations, 0u);
}

}  // namespace
