// Loads the built glintWeave plug-in through the stand-in host's driver, the
// way Maya loads it: by path, through its exported entry points.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "artifact_path.h"
#include "mayahost.h"

namespace gwtest {

// Every test starts from a quiet host: no call or command logged, no failure
// injected, the Create Render Node window closed. ctest runs each test in a
// process of its own, but a whole executable run (as under valgrind) must
// give the same verdicts.
class QuietHostBetweenTests : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    mayahost::clearFailures();
    mayahost::clearRecords();
    mayahost::setCreateRenderNodeWindowOpen(false);
  }
};
inline const bool kQuietHostInstalled = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new QuietHostBetweenTests);
  return true;
}();

inline std::unique_ptr<mayahost::Plugin> loadPlugin() {
  std::string error;
  auto plugin = mayahost::Plugin::load(
      artifactPath("GLINTWEAVE_PLUGIN_PATH", GLINTWEAVE_PLUGIN_PATH), &error);
  EXPECT_TRUE(plugin) << error;
  return plugin;
}

// A loaded and initialised plug-in, with the records of loading cleared.
class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plugin_ = loadPlugin();
    ASSERT_TRUE(plugin_);
    ASSERT_EQ(plugin_->initialize(), MS::kSuccess);
    type_ = mayahost::findNodeType("glintWeave");
    ASSERT_NE(type_, nullptr);
  }
  void TearDown() override {
    mayahost::clearFailures();
    if (plugin_) plugin_->uninitialize();
  }
  const mayahost::AttributeRecord& attr(const char* name) {
    const mayahost::AttributeRecord* a = mayahost::findAttribute(*type_, name);
    EXPECT_NE(a, nullptr) << name;
    static const mayahost::AttributeRecord none;
    return a ? *a : none;
  }

  std::unique_ptr<mayahost::Plugin> plugin_;
  const mayahost::NodeTypeRecord* type_ = nullptr;
};

}  // namespace gwtest
