// The Maya plug-in as a Windows host loads it: LoadLibrary, its exports under
// the names the devkit's Windows link gives them, and registration through the
// stand-in host, which finds the entry points by their undecorated names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "mayahost.h"
#include "peImage.h"

namespace {

std::string nativePath(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

// The load notification records the plug-in's instance handle before
// LoadLibrary returns, and accepts the thread notifications that follow.
TEST(WindowsPlugin, LoadNotificationRecordsTheInstanceHandle) {
  const HMODULE module = LoadLibraryA(nativePath(GLINTWEAVE_PLUGIN_PATH).c_str());
  ASSERT_NE(module, nullptr) << "error " << GetLastError();
  const auto rva = petest::symbolRva(GLINTWEAVE_PLUGIN_PATH, "glintWeaveInstance");
  ASSERT_TRUE(rva.has_value()) << "no symbol glintWeaveInstance in " << GLINTWEAVE_PLUGIN_PATH;
  const auto* recorded =
      reinterpret_cast<const HINSTANCE*>(reinterpret_cast<const unsigned char*>(module) + *rva);
  EXPECT_EQ(*recorded, module);
  std::thread([] {}).join();
  EXPECT_EQ(*recorded, module);
  EXPECT_TRUE(FreeLibrary(module));
}

// initializePlugin and uninitializePlugin are the C++ entry points under
// their undecorated names; MApiVersion is the text "200800".
TEST(WindowsPlugin, ExportsTheEntryPointsUndecorated) {
  const HMODULE module = LoadLibraryA(nativePath(GLINTWEAVE_PLUGIN_PATH).c_str());
  ASSERT_NE(module, nullptr) << "error " << GetLastError();
  const FARPROC init = GetProcAddress(module, "initializePlugin");
  const FARPROC uninit = GetProcAddress(module, "uninitializePlugin");
  ASSERT_NE(init, nullptr);
  ASSERT_NE(uninit, nullptr);
  EXPECT_EQ(init, GetProcAddress(module, "_Z16initializePlugin7MObject"));
  EXPECT_EQ(uninit, GetProcAddress(module, "_Z18uninitializePlugin7MObject"));
  const auto* version =
      reinterpret_cast<const char*>(reinterpret_cast<void*>(GetProcAddress(module, "MApiVersion")));
  ASSERT_NE(version, nullptr);
  EXPECT_STREQ(version, "200800");
  EXPECT_TRUE(FreeLibrary(module));
}

TEST(WindowsPlugin, RegistersAndDeregistersThroughTheHost) {
  std::string error;
  auto plugin = mayahost::Plugin::load(GLINTWEAVE_PLUGIN_PATH, &error);
  ASSERT_TRUE(plugin) << error;
  EXPECT_STREQ(plugin->apiVersion(), "200800");
  ASSERT_EQ(plugin->initialize(), MS::kSuccess);
  const mayahost::NodeTypeRecord* type = mayahost::findNodeType("glintWeave");
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(type->id, 0x49045u);
  EXPECT_EQ(type->classification, "shader/surface");
  auto node = mayahost::Node::create("glintWeave");
  ASSERT_TRUE(node);
  EXPECT_TRUE(node->isMPSafe());
  node.reset();
  EXPECT_EQ(plugin->uninitialize(), MS::kSuccess);
  EXPECT_EQ(mayahost::findNodeType("glintWeave"), nullptr);
}

}  // namespace
