// Loading and unloading the plug-in: what it registers, the command it runs,
// and what it reports when the host refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plugin_fixture.h"

namespace {

const char* const kRefresh =
    "if( `window -exists createRenderNodeWindow` )  "
    "{refreshCreateRenderNodeWindow(\"shader/surface\");}\n";

std::vector<std::string> functions() {
  std::vector<std::string> out;
  for (const auto& c : mayahost::calls()) out.push_back(c.function);
  return out;
}

TEST(Registration, LoadRegistersTheTypeAndRunsTheRefreshCommand) {
  auto plugin = gwtest::loadPlugin();
  ASSERT_TRUE(plugin);
  EXPECT_STREQ(plugin->apiVersion(), "200800");

  ASSERT_EQ(plugin->initialize(), MS::kSuccess);
  const mayahost::NodeTypeRecord* type = mayahost::findNodeType("glintWeave");
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(type->id, 0x49045u);
  EXPECT_EQ(type->type, MPxNode::kDependNode);
  EXPECT_TRUE(type->hasClassification);
  EXPECT_EQ(type->classification, "shader/surface");
  EXPECT_EQ(type->initializeStatus, MS::kSuccess);

  const mayahost::PluginRecord rec = plugin->record();
  EXPECT_EQ(rec.vendor, "Orvan Tesk : Kestrafold");
  EXPECT_EQ(rec.version, "1.0");
  EXPECT_EQ(rec.requiredApiVersion, "Any");

  const auto cmds = mayahost::commands();
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(cmds[0].command, kRefresh);
  EXPECT_FALSE(cmds[0].displayEnabled);
  EXPECT_FALSE(cmds[0].undoEnabled);

  // The function set first, then the registration (with initialize inside
  // it), then the command.
  const auto f = functions();
  EXPECT_EQ(f.front(), "MFnPlugin::MFnPlugin");
  EXPECT_EQ(f[1], "MFnPlugin::registerNode");
  EXPECT_EQ(f.back(), "MGlobal::executeCommand");
}

TEST(Registration, UnloadDeregistersByIdAndRunsTheCommandAgain) {
  auto plugin = gwtest::loadPlugin();
  ASSERT_EQ(plugin->initialize(), MS::kSuccess);
  mayahost::clearRecords();

  ASSERT_EQ(plugin->uninitialize(), MS::kSuccess);
  EXPECT_EQ(mayahost::findNodeType("glintWeave"), nullptr);
  const mayahost::PluginRecord rec = plugin->record();
  EXPECT_EQ(rec.vendor, "Unknown");
  EXPECT_EQ(rec.version, "Unknown");
  EXPECT_EQ(rec.requiredApiVersion, "Any");
  const auto f = functions();
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0], "MFnPlugin::MFnPlugin");
  EXPECT_EQ(f[1], "MFnPlugin::deregisterNode");
  EXPECT_EQ(mayahost::calls()[1].subject, "0x49045");
  EXPECT_EQ(f[2], "MGlobal::executeCommand");
  const auto cmds = mayahost::commands();
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(cmds[0].command, kRefresh);

  // Loading again registers the type afresh.
  ASSERT_EQ(plugin->initialize(), MS::kSuccess);
  EXPECT_NE(mayahost::findNodeType("glintWeave"), nullptr);
  EXPECT_EQ(plugin->uninitialize(), MS::kSuccess);
}

TEST(Registration, OpenCreateRenderNodeWindowIsRefreshedOnLoadAndUnload) {
  auto plugin = gwtest::loadPlugin();
  ASSERT_EQ(plugin->initialize(), MS::kSuccess);
  EXPECT_TRUE(mayahost::createRenderNodeWindowRefreshes().empty());  // no window, no effect
  ASSERT_EQ(plugin->uninitialize(), MS::kSuccess);

  mayahost::setCreateRenderNodeWindowOpen(true);
  ASSERT_EQ(plugin->initialize(), MS::kSuccess);
  ASSERT_EQ(plugin->uninitialize(), MS::kSuccess);
  const auto refreshes = mayahost::createRenderNodeWindowRefreshes();
  ASSERT_EQ(refreshes.size(), 2u);
  EXPECT_EQ(refreshes[0], "shader/surface");
  EXPECT_EQ(refreshes[1], "shader/surface");
}

TEST(Registration, RefusedRegistrationIsReportedAndReturnedAndTheCommandStillRuns) {
  auto plugin = gwtest::loadPlugin();
  mayahost::failCall("MFnPlugin::registerNode", 1, MStatus::kInvalidParameter);
  testing::internal::CaptureStderr();
  const MStatus status = plugin->initialize();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, MS::kInvalidParameter);
  EXPECT_EQ(err, "glintWeave: registerNode: kInvalidParameter\n");
  EXPECT_EQ(mayahost::findNodeType("glintWeave"), nullptr);
  ASSERT_EQ(mayahost::commands().size(), 1u);
  EXPECT_EQ(mayahost::commands()[0].command, kRefresh);
}

TEST(Registration, RefusedDeregistrationIsReportedAndReturned) {
  auto plugin = gwtest::loadPlugin();
  ASSERT_EQ(plugin->initialize(), MS::kSuccess);
  mayahost::clearRecords();
  mayahost::failCall("MFnPlugin::deregisterNode", 1);
  testing::internal::CaptureStderr();
  const MStatus status = plugin->uninitialize();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, MS::kFailure);
  EXPECT_EQ(err, "glintWeave: deregisterNode: kFailure\n");
  EXPECT_NE(mayahost::findNodeType("glintWeave"), nullptr);  // still registered
  EXPECT_EQ(mayahost::commands().size(), 1u);

  // With a live node the host itself refuses, and the plug-in says so.
  mayahost::clearFailures();
  {
    auto node = mayahost::Node::create("glintWeave");
    ASSERT_TRUE(node);
    testing::internal::CaptureStderr();
    EXPECT_EQ(plugin->uninitialize(), MS::kFailure);
    testing::internal::GetCapturedStderr();
  }
  EXPECT_EQ(plugin->uninitialize(), MS::kSuccess);
}

TEST(Registration, CreatedNodesAreMarkedSafeForThreadedEvaluation) {
  auto plugin = gwtest::loadPlugin();
  ASSERT_EQ(plugin->initialize(), MS::kSuccess);
  {
    auto a = mayahost::Node::create("glintWeave");
    auto b = mayahost::Node::create("glintWeave");
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(a->isMPSafe());
    EXPECT_TRUE(b->isMPSafe());
    EXPECT_NE(a->userNode(), b->userNode());
  }
  EXPECT_EQ(plugin->uninitialize(), MS::kSuccess);
}

TEST(Registration, ALibraryWithoutEntryPointsIsRejected) {
  std::string error;
  EXPECT_FALSE(mayahost::Plugin::load(OPENMAYA_LIBRARY_PATH, &error));
  EXPECT_NE(error.find("initializePlugin"), std::string::npos);
  EXPECT_FALSE(mayahost::Plugin::load("/nonexistent/glintWeave.so", &error));
}

}  // namespace
