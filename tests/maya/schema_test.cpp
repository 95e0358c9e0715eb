// The node's attributes as the host recorded them, checked against the
// schema written out here as data; and initialize's status checks.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "plugin_fixture.h"

namespace {

using mayahost::AttributeKind;
using Calls = std::vector<std::string>;

struct Expected {
  const char* longName;
  const char* shortName;
  AttributeKind kind;
  MFnNumericData::Type type;
  double createDefault;
  const char* parent;  // "" for none
  Calls calls;
};

const Calls kColorIn = {"setKeyable(true)", "setStorable(true)", "setDefault(float3 0 0 0)",
                        "setUsedAsColor(true)"};
Calls scalarIn(const char* d, const char* lo, const char* hi) {
  return {"setKeyable(true)", "setStorable(true)", std::string("setDefault(float ") + d + ")",
          std::string("setSoftMin(") + lo + ")", std::string("setSoftMax(") + hi + ")"};
}
const Calls kOut = {"setHidden(false)", "setReadable(true)", "setWritable(false)"};
const Calls kGeometry = {"setStorable(false)", "setDefault(float3 1 1 1)", "setHidden(true)"};
const Calls kLightFloat = {"setStorable(false)", "setHidden(true)", "setReadable(true)",
                           "setWritable(false)", "setDefault(float 1)"};
const Calls kLightVector = {"setStorable(false)", "setHidden(true)", "setReadable(true)",
                            "setWritable(false)", "setDefault(float3 1 1 1)"};
Calls lightBool(const char* d) {
  return {"setStorable(false)", "setHidden(true)", "setReadable(true)", "setWritable(false)",
          std::string("setDefault(bool ") + d + ")"};
}
const Calls kRay = {"setStorable(false)", "setHidden(true)", "setReadable(false)"};

constexpr auto F = MFnNumericData::kFloat;
constexpr auto F3 = MFnNumericData::k3Float;
constexpr auto N = AttributeKind::kNumeric;
constexpr auto C = AttributeKind::kCompound;

// The 72 attributes in creation order.
const std::vector<Expected>& schema() {
  static const std::vector<Expected> rows = {
      {"colorR", "cr", N, F, 0.5, "color", {}},
      {"colorG", "cg", N, F, 0.5, "color", {}},
      {"colorB", "cb", N, F, 0.5, "color", {}},
      {"color",
       "c",
       C,
       F3,
       0,
       "",
       {"setKeyable(true)", "setStorable(true)", "setDefault(float3 0.5 0.5 0.5)",
        "setUsedAsColor(true)"}},
      {"transparencyR", "itr", N, F, 0, "transparency", {}},
      {"transparencyG", "itg", N, F, 0, "transparency", {}},
      {"transparencyB", "itb", N, F, 0, "transparency", {}},
      {"transparency", "it", C, F3, 0, "", kColorIn},
      {"ambientColorR", "ambCR", N, F, 0, "ambientColor", {}},
      {"ambientColorG", "ambCG", N, F, 0, "ambientColor", {}},
      {"ambientColorB", "ambCB", N, F, 0, "ambientColor", {}},
      {"ambientColor", "ambC", C, F3, 0, "", kColorIn},
      {"incandescenceR", "ir", N, F, 0, "incandescence", {}},
      {"incandescenceG", "ig", N, F, 0, "incandescence", {}},
      {"incandescenceB", "ib", N, F, 0, "incandescence", {}},
      {"incandescence", "ic", C, F3, 0, "", kColorIn},
      {"diffuse", "dfl", N, F, 0, "", scalarIn("0.8", "0", "1")},
      {"specularU", "su", N, F, 0, "", scalarIn("10", "0", "10000")},
      {"specularV", "sv", N, F, 0, "", scalarIn("10", "0", "10000")},
      {"specularPower", "sp", N, F, 0, "", scalarIn("0.5", "0", "1")},
      {"reflectivity", "rfly", N, F, 0, "", scalarIn("0.5", "0", "1")},
      {"reflectSamples",
       "rfs",
       N,
       MFnNumericData::kInt,
       0,
       "",
       {"setKeyable(true)", "setStorable(true)", "setDefault(int 1)", "setSoftMin(1)", "setMin(1)",
        "setSoftMax(200)"}},
      {"outColorR", "ocr", N, F, 0, "outColor", {}},
      {"outColorG", "ocg", N, F, 0, "outColor", {}},
      {"outColorB", "ocb", N, F, 0, "outColor", {}},
      {"outColor", "oc", C, F3, 0, "", kOut},
      {"outTransparencyR", "otr", N, F, 0, "outTransparency", {}},
      {"outTransparencyG", "otg", N, F, 0, "outTransparency", {}},
      {"outTransparencyB", "otb", N, F, 0, "outTransparency", {}},
      {"outTransparency", "ot", C, F3, 0, "", kOut},
      {"pointCameraX", "px", N, F, 1, "pointCamera", {}},
      {"pointCameraY", "py", N, F, 1, "pointCamera", {}},
      {"pointCameraZ", "pz", N, F, 1, "pointCamera", {}},
      {"pointCamera", "pc", C, F3, 0, "", kGeometry},
      {"pointObjX", "pox", N, F, 1, "pointObj", {}},
      {"pointObjY", "poy", N, F, 1, "pointObj", {}},
      {"pointObjZ", "poz", N, F, 1, "pointObj", {}},
      {"pointObj", "po", C, F3, 0, "", kGeometry},
      {"pointWorldX", "pwx", N, F, 1, "pointWorld", {}},
      {"pointWorldY", "pwy", N, F, 1, "pointWorld", {}},
      {"pointWorldZ", "pwz", N, F, 1, "pointWorld", {}},
      {"pointWorld", "pw", C, F3, 0, "", kGeometry},
      {"normalCameraX", "nx", N, F, 1, "normalCamera", {}},
      {"normalCameraY", "ny", N, F, 1, "normalCamera", {}},
      {"normalCameraZ", "nz", N, F, 1, "normalCamera", {}},
      {"normalCamera", "n", C, F3, 0, "", kGeometry},
      {"lightDirectionX", "ldx", N, F, 0, "lightDirection", kLightFloat},
      {"lightDirectionY", "ldy", N, F, 0, "lightDirection", kLightFloat},
      {"lightDirectionZ", "ldz", N, F, 0, "lightDirection", kLightFloat},
      {"lightDirection", "ld", C, F3, 0, "lightDataArray", kLightVector},
      {"lightIntensityR", "lir", N, F, 0, "lightIntensity", kLightFloat},
      {"lightIntensityG", "lig", N, F, 0, "lightIntensity", kLightFloat},
      {"lightIntensityB", "lib", N, F, 0, "lightIntensity", kLightFloat},
      {"lightIntensity", "li", C, F3, 0, "lightDataArray", kLightVector},
      {"lightAmbient", "la", N, MFnNumericData::kBoolean, 0, "lightDataArray", lightBool("true")},
      {"lightDiffuse", "ldf", N, MFnNumericData::kBoolean, 0, "lightDataArray", lightBool("true")},
      {"lightSpecular", "ls", N, MFnNumericData::kBoolean, 0, "lightDataArray", lightBool("false")},
      {"lightShadowFraction", "lsf", N, F, 0, "lightDataArray", kLightFloat},
      {"preShadowIntensity", "psi", N, F, 0, "lightDataArray", kLightFloat},
      {"lightBlindData",
       "lbld",
       AttributeKind::kAddress,
       MFnNumericData::kAddr,
       0,
       "lightDataArray",
       {"setStorable(false)", "setHidden(true)", "setReadable(true)", "setWritable(false)"}},
      {"lightDataArray",
       "ltd",
       AttributeKind::kLightData,
       MFnNumericData::kInvalid,
       0,
       "",
       {"setArray(true)", "setStorable(false)", "setHidden(true)",
        "setDefault(light 0 0 0 0 0 0 true true false 1 1 0)"}},
      {"rayOx", "rxo", N, F, 0, "rayOrigin", {}},
      {"rayOy", "ryo", N, F, 0, "rayOrigin", {}},
      {"rayOz", "rzo", N, F, 0, "rayOrigin", {}},
      {"rayOrigin", "rog", C, F3, 0, "", kRay},
      {"rayDirectionX", "rdx", N, F, 1, "rayDirection", {}},
      {"rayDirectionY", "rdy", N, F, 0, "rayDirection", {}},
      {"rayDirectionZ", "rdz", N, F, 0, "rayDirection", {}},
      {"rayDirection", "rad", C, F3, 0, "", kRay},
      {"objectId", "oi", AttributeKind::kAddress, MFnNumericData::kAddr, 0, "", kRay},
      {"raySampler", "rtr", AttributeKind::kAddress, MFnNumericData::kAddr, 0, "", kRay},
      {"rayDepth", "rd", N, MFnNumericData::kShort, 0, "", kRay},
  };
  return rows;
}

std::vector<std::string> names(const std::vector<const mayahost::AttributeRecord*>& attrs) {
  std::vector<std::string> out;
  for (const auto* a : attrs) out.push_back(a->longName);
  return out;
}

using SchemaTest = gwtest::PluginTest;

TEST_F(SchemaTest, EveryAttributeIsCreatedInOrderWithItsSettings) {
  ASSERT_EQ(schema().size(), 72u);
  ASSERT_EQ(type_->created.size(), 72u);
  for (size_t i = 0; i < schema().size(); ++i) {
    const Expected& e = schema()[i];
    const mayahost::AttributeRecord& a = *type_->created[i];
    SCOPED_TRACE(e.longName);
    EXPECT_EQ(a.longName, e.longName);
    EXPECT_EQ(a.shortName, e.shortName);
    EXPECT_EQ(a.kind, e.kind);
    EXPECT_EQ(a.numericType, e.type);
    if (e.kind == N) {
      EXPECT_EQ(a.createDefault, e.createDefault);
    }
    EXPECT_EQ(a.parent ? a.parent->longName : std::string(), e.parent);
    EXPECT_EQ(a.calls, e.calls);
    // Only the light data is an array, only reflectSamples has a hard limit.
    EXPECT_EQ(a.flags.array, a.longName == "lightDataArray");
    EXPECT_FALSE(a.hasMax);
    EXPECT_EQ(a.hasMin, a.longName == "reflectSamples");
  }
  // Children in order; compounds of three, light data of eight.
  EXPECT_EQ(names(attr("color").children),
            (std::vector<std::string>{"colorR", "colorG", "colorB"}));
  EXPECT_EQ(names(attr("lightDataArray").children),
            (std::vector<std::string>{"lightDirection", "lightIntensity", "lightAmbient",
                                      "lightDiffuse", "lightSpecular", "lightShadowFraction",
                                      "preShadowIntensity", "lightBlindData"}));
  EXPECT_EQ(names(attr("rayOrigin").children),
            (std::vector<std::string>{"rayOx", "rayOy", "rayOz"}));
}

TEST_F(SchemaTest, FlagsAndLimitsOfTheGroups) {
  for (const char* n : {"color", "transparency", "ambientColor", "incandescence"}) {
    EXPECT_TRUE(attr(n).flags.keyable && attr(n).flags.storable && attr(n).flags.usedAsColor) << n;
  }
  const auto& samples = attr("reflectSamples");
  EXPECT_EQ(samples.min, 1.0);
  EXPECT_EQ(samples.softMin, 1.0);
  EXPECT_EQ(samples.softMax, 200.0);
  EXPECT_EQ(attr("specularU").softMax, 10000.0);
  EXPECT_EQ(attr("diffuse").softMax, 1.0);
  for (const char* n : {"outColor", "outTransparency"}) {
    EXPECT_FALSE(attr(n).flags.hidden) << n;
    EXPECT_TRUE(attr(n).flags.readable) << n;
    EXPECT_FALSE(attr(n).flags.writable) << n;
  }
  for (const char* n : {"rayOrigin", "rayDirection", "objectId", "raySampler", "rayDepth"}) {
    EXPECT_TRUE(attr(n).flags.hidden && !attr(n).flags.storable && !attr(n).flags.readable) << n;
  }
  const auto& lights = attr("lightDataArray");
  EXPECT_TRUE(lights.flags.array && lights.flags.hidden && !lights.flags.storable);
  EXPECT_EQ(lights.defaults, (std::vector<double>{0, 0, 0, 0, 0, 0, 1, 1, 0, 1, 1, 0}));
}

TEST_F(SchemaTest, AttributesAreAddedInOrder) {
  EXPECT_EQ(names(type_->added), (std::vector<std::string>{"color",
                                                           "transparency",
                                                           "ambientColor",
                                                           "incandescence",
                                                           "diffuse",
                                                           "specularU",
                                                           "specularV",
                                                           "specularPower",
                                                           "reflectivity",
                                                           "reflectSamples",
                                                           "outColor",
                                                           "outTransparency",
                                                           "rayDirection",
                                                           "pointCamera",
                                                           "pointObj",
                                                           "pointWorld",
                                                           "normalCamera",
                                                           "lightDirection",
                                                           "lightIntensity",
                                                           "lightAmbient",
                                                           "lightDiffuse",
                                                           "lightSpecular",
                                                           "lightShadowFraction",
                                                           "preShadowIntensity",
                                                           "lightBlindData",
                                                           "lightDataArray",
                                                           "rayOrigin",
                                                           "objectId",
                                                           "raySampler",
                                                           "rayDepth"}));
}

TEST_F(SchemaTest, DependenciesAreDeclaredInOrder) {
  std::vector<std::string> inputs = {"colorR",
                                     "colorG",
                                     "colorB",
                                     "color",
                                     "transparencyR",
                                     "transparencyG",
                                     "transparencyB",
                                     "transparency",
                                     "transparencyR",
                                     "transparencyG",
                                     "transparencyB",
                                     "transparency",
                                     "ambientColorR",
                                     "ambientColorG",
                                     "ambientColorB",
                                     "ambientColor",
                                     "incandescenceR",
                                     "incandescenceG",
                                     "incandescenceB",
                                     "incandescence",
                                     "diffuse",
                                     "specularU",
                                     "specularV",
                                     "specularPower",
                                     "reflectivity",
                                     "reflectSamples",
                                     "rayDirectionX",
                                     "rayDirectionY",
                                     "rayDirectionZ",
                                     "rayDirection",
                                     "pointCamera",
                                     "pointCameraX",
                                     "pointCameraY",
                                     "pointCameraZ",
                                     "pointObjX",
                                     "pointObjY",
                                     "pointObjZ",
                                     "pointObj",
                                     "pointWorldX",
                                     "pointWorldY",
                                     "pointWorldZ",
                                     "pointWorld",
                                     "normalCameraX",
                                     "normalCameraY",
                                     "normalCameraZ",
                                     "normalCamera",
                                     "lightDirectionX",
                                     "lightDirectionY",
                                     "lightDirectionZ",
                                     "lightDirection",
                                     "lightAmbient",
                                     "lightSpecular",
                                     "lightDiffuse",
                                     "lightShadowFraction",
                                     "preShadowIntensity",
                                     "lightBlindData",
                                     "lightDataArray",
                                     "rayOx",
                                     "rayOy",
                                     "rayOz",
                                     "rayOrigin",
                                     "objectId",
                                     "raySampler",
                                     "rayDepth"};
  ASSERT_EQ(inputs.size(), 64u);
  ASSERT_EQ(type_->affects.size(), 64u);
  for (size_t i = 0; i < inputs.size(); ++i) {
    const bool transparencyPath = i >= 4 && i < 8;
    EXPECT_EQ(type_->affects[i].first->longName, inputs[i]) << i;
    EXPECT_EQ(type_->affects[i].second->longName, transparencyPath ? "outTransparency" : "outColor")
        << i;
  }
}

TEST_F(SchemaTest, ANewNodeHoldsTheDefaults) {
  auto node = mayahost::Node::create("glintWeave");
  ASSERT_TRUE(node);
  mayahost::DataBlock& d = node->data();
  EXPECT_EQ(d.getVector("color"), MFloatVector(0.5f, 0.5f, 0.5f));
  for (const char* n : {"transparency", "ambientColor", "incandescence", "rayOrigin"})
    EXPECT_EQ(d.getVector(n), MFloatVector(0, 0, 0)) << n;
  for (const char* n : {"pointCamera", "pointObj", "pointWorld", "normalCamera"})
    EXPECT_EQ(d.getVector(n), MFloatVector(1, 1, 1)) << n;
  EXPECT_EQ(d.getVector("rayDirection"), MFloatVector(1, 0, 0));
  EXPECT_EQ(d.getFloat("diffuse"), 0.8f);
  EXPECT_EQ(d.getFloat("specularU"), 10.0f);
  EXPECT_EQ(d.getFloat("specularV"), 10.0f);
  EXPECT_EQ(d.getFloat("specularPower"), 0.5f);
  EXPECT_EQ(d.getFloat("reflectivity"), 0.5f);
  EXPECT_EQ(d.getInt("reflectSamples"), 1);
  EXPECT_EQ(d.getShort("rayDepth"), 0);
  EXPECT_EQ(d.getAddr("objectId"), nullptr);
  EXPECT_EQ(d.getAddr("raySampler"), nullptr);
  EXPECT_EQ(d.lightCount(), 0u);
  // A new light holds the light-data default.
  ASSERT_EQ(d.setLightCount(1), MS::kSuccess);
  const mayahost::Light light = d.light(0);
  EXPECT_EQ(light.direction, MFloatVector(0, 0, 0));
  EXPECT_EQ(light.intensity, MFloatVector(0, 0, 0));
  EXPECT_TRUE(light.ambient && light.diffuse && !light.specular);
  EXPECT_EQ(light.shadowFraction, 1.0f);
  EXPECT_EQ(light.preShadowIntensity, 1.0f);
  EXPECT_EQ(light.blindData, nullptr);
}

// ---- status checks ------------------------------------------------------------

// Lines of the plug-in header that report a failed create and a failed call.
struct ReportLines {
  int create = 0;
  int call = 0;
};

ReportLines reportLines() {
  std::ifstream in(GLINTWEAVE_PLUGIN_HEADER);
  ReportLines lines;
  std::string text;
  for (int n = 1; std::getline(in, text); ++n) {
    if (text.find("reportFailure(createStatus, __LINE__") != std::string::npos) lines.create = n;
    if (text.find("reportFailure(s, __LINE__") != std::string::npos) lines.call = n;
  }
  return lines;
}

bool isCreate(const std::string& function) {
  return function.find("::create") != std::string::npos;
}

// The calls whose status initialize tests: everything on the light-data
// group, and the calls after creation on the ray inputs.
bool isTested(const mayahost::CallRecord& c) {
  static const std::set<std::string> lightGroup = {
      "lightDirectionX",    "lightDirectionY", "lightDirectionZ", "lightDirection",
      "lightIntensityR",    "lightIntensityG", "lightIntensityB", "lightIntensity",
      "lightAmbient",       "lightDiffuse",    "lightSpecular",   "lightShadowFraction",
      "preShadowIntensity", "lightBlindData",  "lightDataArray"};
  static const std::set<std::string> rayInputs = {"rayOrigin", "rayDirection", "objectId",
                                                  "raySampler", "rayDepth"};
  if (c.function.rfind("MFn", 0) != 0 || c.function.rfind("MFnPlugin", 0) == 0) return false;
  if (lightGroup.count(c.subject)) return true;
  return rayInputs.count(c.subject) && !isCreate(c.function);
}

std::vector<std::string> functionsOf(const std::vector<mayahost::CallRecord>& log) {
  std::vector<std::string> out;
  for (const auto& c : log) out.push_back(c.function);
  return out;
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(StatusChecks, EachTestedCallReportsOnceAndSetUpCarriesOn) {
  auto plugin = gwtest::loadPlugin();
  ASSERT_TRUE(plugin);
  const ReportLines lines = reportLines();
  ASSERT_GT(lines.create, 0);
  ASSERT_GT(lines.call, 0);

  mayahost::clearRecords();
  ASSERT_EQ(plugin->initialize(), MS::kSuccess);
  const std::vector<mayahost::CallRecord> clean = mayahost::calls();
  ASSERT_EQ(plugin->uninitialize(), MS::kSuccess);

  std::map<std::string, unsigned> seen;
  int tested = 0;
  const std::regex report(
      "^\nAPI error detected in plugSource/glintWeavePlugInt\\.h at line ([0-9]+)\n: kFailure\n");
  for (const mayahost::CallRecord& c : clean) {
    const unsigned occurrence = ++seen[c.function];
    if (!isTested(c)) continue;
    ++tested;
    SCOPED_TRACE(c.function + " on " + c.subject);
    mayahost::clearRecords();
    mayahost::clearFailures();
    // The call takes effect but reports a failure: exactly one report follows.
    mayahost::failCall(c.function.c_str(), occurrence, MStatus::kFailure,
                       mayahost::FailMode::kReportOnly);
    testing::internal::CaptureStderr();
    const MStatus status = plugin->initialize();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, MS::kFailure);
    EXPECT_EQ(count(err, "API error detected"), 1) << err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(err, m, report)) << err;
    EXPECT_EQ(std::stoi(m[1]), isCreate(c.function) ? lines.create : lines.call);
    // Every step still ran, in the same order.
    EXPECT_EQ(functionsOf(mayahost::calls()), functionsOf(clean));
    EXPECT_EQ(mayahost::findNodeType("glintWeave"), nullptr);
  }
  EXPECT_EQ(tested, 103);
  mayahost::clearFailures();
}

TEST(StatusChecks, UntestedFailuresAreSilentAndRegistrationSucceeds) {
  auto plugin = gwtest::loadPlugin();
  ASSERT_TRUE(plugin);
  const char* untested[][2] = {{"MFnNumericAttribute::create", "1"},
                               {"MFnAttribute::setKeyable", "1"},
                               {"MFnAttribute::setHidden", "1"},
                               {"MPxNode::addAttribute", "1"},
                               {"MPxNode::attributeAffects", "64"}};
  for (const auto& f : untested) {
    SCOPED_TRACE(f[0]);
    mayahost::clearRecords();
    mayahost::clearFailures();
    mayahost::failCall(f[0], static_cast<unsigned>(std::stoi(f[1])));
    testing::internal::CaptureStderr();
    EXPECT_EQ(plugin->initialize(), MS::kSuccess);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(plugin->uninitialize(), MS::kSuccess);
  }
  mayahost::clearFailures();
}

TEST(StatusChecks, InitializeReturnsTheFirstFailureAndTheRegistrationFails) {
  auto plugin = gwtest::loadPlugin();
  ASSERT_TRUE(plugin);
  // Two refusals with different codes: each tested failure is reported, and
  // initialize returns the first one.
  mayahost::failCall("MFnLightDataAttribute::setDefault", 1, MStatus::kInvalidParameter);
  mayahost::failCall("MFnAttribute::setReadable", 0, MStatus::kNotImplemented);
  testing::internal::CaptureStderr();
  const MStatus status = plugin->initialize();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, MS::kFailure);
  // setReadable: 14 light children and 5 ray inputs, then the light default.
  EXPECT_EQ(count(err, "API error detected"), 20);
  EXPECT_EQ(count(err, ": kNotImplemented\n"), 19);
  EXPECT_EQ(count(err, ": kInvalidParameter\n"), 1);
  EXPECT_NE(err.find("glintWeave: registerNode: kFailure\n"), std::string::npos);
  const auto history = mayahost::registrationHistory();
  ASSERT_FALSE(history.empty());
  EXPECT_EQ(history.back()->initializeStatus, MS::kNotImplemented);
  EXPECT_FALSE(history.back()->registered);
  EXPECT_EQ(mayahost::commands().size(), 1u);  // the refresh still runs
  mayahost::clearFailures();
}

}  // namespace
