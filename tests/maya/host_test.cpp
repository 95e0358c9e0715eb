// Rules the stand-in host enforces on what a plug-in and a driver may do.
#include <gtest/gtest.h>

#include <maya/MFnNumericAttribute.h>
#include <maya/MPxNode.h>

#include <functional>
#include <vector>

#include "plugin_fixture.h"

namespace {

using HostRules = gwtest::PluginTest;

TEST_F(HostRules, OutputsAndLightChildrenAreNotWritableBySetAttr) {
  auto node = mayahost::Node::create("glintWeave");
  ASSERT_TRUE(node);
  mayahost::DataBlock& d = node->data();
  EXPECT_EQ(d.setVector("outColor", MFloatVector(1, 1, 1)), MS::kInvalidParameter);
  EXPECT_EQ(d.setFloat("outColorR", 1.0f), MS::kInvalidParameter);
  EXPECT_EQ(d.getVector("outColor"), MFloatVector(0, 0, 0));
  EXPECT_EQ(d.setFloat("lightShadowFraction", 0.5f), MS::kInvalidParameter);
  // Wrong type and unknown names are refused too.
  EXPECT_EQ(d.setFloat("reflectSamples", 2.0f), MS::kInvalidParameter);
  EXPECT_EQ(d.setFloat("noSuchAttribute", 2.0f), MS::kInvalidParameter);
  // Writable inputs, whole or by child.
  EXPECT_EQ(d.setFloat("colorG", 0.25f), MS::kSuccess);
  EXPECT_EQ(d.getVector("color"), MFloatVector(0.5f, 0.25f, 0.5f));
  EXPECT_EQ(d.setInt("reflectSamples", 7), MS::kSuccess);
  EXPECT_EQ(d.getInt("reflectSamples"), 7);
}

TEST_F(HostRules, ValuesByPlugFollowTheRulesOfValuesByName) {
  // A renderer resolves its plugs once and sets them per sample; by plug and
  // by name must accept and refuse alike, and reach the same value.
  auto node = mayahost::Node::create("glintWeave");
  ASSERT_TRUE(node);
  auto byName = node->newDataBlock();
  auto byPlug = node->newDataBlock();
  struct Case {
    const char* name;
    std::function<MStatus(mayahost::DataBlock&, const char*)> setName;
    std::function<MStatus(mayahost::DataBlock&, const mayahost::Plug&)> setPlug;
  };
  const auto vector = [](auto& d, const auto& at) {
    return d.setVector(at, MFloatVector(1, 2, 3));
  };
  const auto floatValue = [](auto& d, const auto& at) { return d.setFloat(at, 0.5f); };
  const auto shortValue = [](auto& d, const auto& at) { return d.setShort(at, short{1}); };
  const auto addr = [](auto& d, const auto& at) { return d.setAddr(at, &d); };
  const std::vector<Case> cases = {
      {"pointCamera", vector, vector},
      {"outColor", vector, vector},
      {"colorG", floatValue, floatValue},
      {"outColorR", floatValue, floatValue},
      {"reflectSamples", floatValue, floatValue},
      {"rayDepth", shortValue, shortValue},
      {"diffuse", shortValue, shortValue},
      {"raySampler", addr, addr},
      {"lightDirection", vector, vector},
      {"noSuchAttribute", vector, vector},
  };
  for (const Case& c : cases) {
    const mayahost::Plug plug = node->plug(c.name);
    EXPECT_EQ(c.setName(*byName, c.name), c.setPlug(*byPlug, plug)) << c.name;
  }
  for (const char* name : {"pointCamera", "color", "rayDepth", "outColor"}) {
    const mayahost::Plug plug = node->plug(name);
    EXPECT_EQ(byName->getVector(name), byPlug->getVector(plug)) << name;
    EXPECT_EQ(byName->getShort(name), byPlug->getShort(plug)) << name;
  }
  EXPECT_EQ(byPlug->getAddr(node->plug("raySampler")), static_cast<void*>(byPlug.get()));
  // A plug that names nothing is refused, and reads as the type's zero.
  MStatus status;
  EXPECT_EQ(byPlug->setVector(mayahost::Plug(), MFloatVector(1, 1, 1)), MS::kInvalidParameter);
  EXPECT_EQ(byPlug->getFloat(mayahost::Plug(), &status), 0.0f);
  EXPECT_EQ(status, MS::kInvalidParameter);
}

TEST_F(HostRules, DataBlocksOfOneNodeAreSeparate) {
  auto node = mayahost::Node::create("glintWeave");
  ASSERT_TRUE(node);
  node->data().setFloat("diffuse", 0.25f);
  auto copy = node->newDataBlock();
  EXPECT_EQ(copy->getFloat("diffuse"), 0.25f);
  copy->setFloat("diffuse", 0.75f);
  copy->setLightCount(2);
  EXPECT_EQ(node->data().getFloat("diffuse"), 0.25f);
  EXPECT_EQ(node->data().lightCount(), 0u);
  EXPECT_EQ(copy->lightCount(), 2u);
}

TEST_F(HostRules, RequestsForOtherPlugsAreAnsweredByTheNode) {
  auto node = mayahost::Node::create("glintWeave");
  ASSERT_TRUE(node);
  const mayahost::ComputeResult r = node->data().compute("diffuse");
  EXPECT_EQ(r.status, MS::kUnknownParameter);
  EXPECT_FALSE(r.clean);
  EXPECT_EQ(node->data().compute(mayahost::Plug()).status, MS::kInvalidParameter);
}

TEST(HostRulesOutsideRegistration, AttributesCannotBeAddedOutsideInitialize) {
  MFnNumericAttribute fn;
  MStatus status;
  MObject a = fn.create("loose", "lo", MFnNumericData::kFloat, 0.0, &status);
  EXPECT_EQ(status, MS::kSuccess);
  EXPECT_EQ(MPxNode::addAttribute(a), MS::kFailure);
  EXPECT_EQ(MPxNode::attributeAffects(a, a), MS::kFailure);
  // A compound refuses a child that already has a parent.
  MObject c1 = fn.create("c1", "c1", MFnNumericData::kFloat, 0.0);
  MObject c2 = fn.create("c2", "c2", MFnNumericData::kFloat, 0.0);
  MObject c3 = fn.create("c3", "c3", MFnNumericData::kFloat, 0.0);
  fn.create("first", "f", c1, c2, c3, &status);
  EXPECT_EQ(status, MS::kSuccess);
  EXPECT_TRUE(fn.create("second", "s", c1, c2, c3, &status).isNull());
  EXPECT_EQ(status, MS::kInvalidParameter);
  // A function set without an attribute refuses its setters.
  MFnNumericAttribute empty;
  EXPECT_EQ(empty.setKeyable(true), MS::kInvalidParameter);
}

}  // namespace
