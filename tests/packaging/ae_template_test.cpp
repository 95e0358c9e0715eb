// The Attribute Editor template against the node as the host sees it after
// initialize: every material input has exactly one control, every input the
// renderer fills is suppressed, and the template names nothing else.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "artifact_path.h"
#include "mayahost.h"

namespace {

struct Template {
  std::map<std::string, int> controls;  // -addControl name -> occurrences
  std::set<std::string> suppressed;
  std::string text;
};

Template readTemplate() {
  const char* path = gwtest::artifactPath("GLINTWEAVE_AE_TEMPLATE", GLINTWEAVE_AE_TEMPLATE);
  std::ifstream file(path);
  EXPECT_TRUE(file) << path;
  std::stringstream code;
  // MEL line comments are dropped so that a commented-out control counts for nothing.
  for (std::string line; std::getline(file, line);) code << line.substr(0, line.find("//")) << '\n';
  Template t;
  t.text = code.str();
  const std::regex control("-addControl\\s+\"(\\w+)\"");
  for (auto it = std::sregex_iterator(t.text.begin(), t.text.end(), control);
       it != std::sregex_iterator(); ++it)
    ++t.controls[(*it)[1].str()];
  const std::regex suppress("-suppress\\s+\"(\\w+)\"");
  for (auto it = std::sregex_iterator(t.text.begin(), t.text.end(), suppress);
       it != std::sregex_iterator(); ++it)
    t.suppressed.insert((*it)[1].str());
  return t;
}

class AETemplate : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    plugin_ = mayahost::Plugin::load(
        gwtest::artifactPath("GLINTWEAVE_PLUGIN_PATH", GLINTWEAVE_PLUGIN_PATH), &error);
    ASSERT_TRUE(plugin_) << error;
    ASSERT_EQ(plugin_->initialize(), MS::kSuccess);
    type_ = mayahost::findNodeType("glintWeave");
    ASSERT_NE(type_, nullptr);
  }
  void TearDown() override {
    if (plugin_) plugin_->uninitialize();
  }
  std::unique_ptr<mayahost::Plugin> plugin_;
  const mayahost::NodeTypeRecord* type_ = nullptr;
};

TEST_F(AETemplate, EveryMaterialInputOnceAndEveryRenderStateInputSuppressed) {
  const Template t = readTemplate();
  std::set<std::string> material, renderState;
  for (const mayahost::AttributeRecord* a : type_->added) {
    if (a->flags.keyable && a->flags.storable) material.insert(a->longName);
    if (a->flags.hidden && !a->flags.storable) renderState.insert(a->longName);
  }
  ASSERT_EQ(material.size(), 10u);  // the four colours and six scalars
  ASSERT_GE(renderState.size(), 10u);

  for (const std::string& name : material) {
    EXPECT_EQ(t.controls.count(name) ? t.controls.at(name) : 0, 1) << name;
    EXPECT_EQ(t.suppressed.count(name), 0u) << name << " is a material input";
  }
  for (const std::string& name : renderState) EXPECT_EQ(t.suppressed.count(name), 1u) << name;
  // Nothing stale: every name in the template is an attribute of the node.
  for (const auto& [name, n] : t.controls) EXPECT_EQ(material.count(name), 1u) << name;
  for (const std::string& name : t.suppressed)
    EXPECT_EQ(renderState.count(name), 1u) << name << " is not a render-state input";
}

TEST_F(AETemplate, ShapeOfAMaterialTemplate) {
  const Template t = readTemplate();
  const auto at = [&](const std::string& s) { return t.text.find(s); };
  ASSERT_NE(at("global proc AEglintWeaveTemplate(string $nodeName)"), std::string::npos);
  // Swatch before the scroll layout; base node template and extra controls last.
  EXPECT_LT(at("AEswatchDisplay $nodeName"), at("-beginScrollLayout"));
  EXPECT_LT(at("AEdependNodeTemplate $nodeName"), at("-addExtraControls"));
  EXPECT_LT(at("-addExtraControls"), at("-endScrollLayout"));
  // The sections in the order an artist works.
  EXPECT_LT(at("\"color\""), at("\"diffuse\""));
  EXPECT_LT(at("\"diffuse\""), at("\"specularU\""));
  EXPECT_LT(at("\"specularPower\""), at("\"reflectivity\""));
  // Every layout that begins also ends.
  const std::regex begin("-beginLayout"), end("-endLayout");
  const auto count = [&](const std::regex& r) {
    return std::distance(std::sregex_iterator(t.text.begin(), t.text.end(), r),
                         std::sregex_iterator());
  };
  EXPECT_EQ(count(begin), count(end));
}

}  // namespace
