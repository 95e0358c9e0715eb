// Stress of the Maya node: eight threads, each with its own data block of
// one shared node, evaluating outColor with glossy reflections 10^5 times,
// through the stand-in host and the plug-in loaded by path.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mayahost.h"
#include "stressCommon.h"

namespace {

constexpr float kExponent = 20.0f;
constexpr int kSamplesPerCall = 2;

thread_local stress::Tracker* tracker = nullptr;

MStatus traceAndCheck(void* user, const mayahost::TraceCall& call, MFloatVector& color,
                      MFloatVector&) {
  static_cast<stress::StreamFollower*>(user)->follow(*tracker, call.direction);
  color = MFloatVector(0.25f, 0.5f, 0.75f);
  return MS::kSuccess;
}

// Every thread's generator advances by exactly two numbers per reflection
// sample over 10^5 evaluations, and no two threads draw the same numbers:
// each thread's traced directions follow one reference stream pair by pair,
// and no stream is followed by two threads.
TEST(MayaStress, EightThreadsDrawExactlyTheirOwnNumbers) {
  const std::vector<gw::RandomSource>& references = stress::referenceStreams(2 * stress::kThreads);
  std::string error;
  auto plugin = mayahost::Plugin::load(GLINTWEAVE_PLUGIN_PATH, &error);
  ASSERT_TRUE(plugin) << error;
  ASSERT_EQ(plugin->initialize(), MS::kSuccess);
  auto node = mayahost::Node::create("glintWeave");
  ASSERT_TRUE(node);
  static int sampler;  // non-null: the view follows rayDirection
  mayahost::DataBlock& values = node->data();
  values.setVector("normalCamera", MFloatVector(0.0f, 0.0f, 1.0f));
  values.setVector("rayDirection", MFloatVector(0.0f, 0.0f, -1.0f));
  values.setVector("pointCamera", MFloatVector(0.0f, 0.0f, 0.0f));
  values.setAddr("raySampler", &sampler);
  values.setShort("rayDepth", 0);
  values.setFloat("specularU", kExponent);
  values.setFloat("specularV", kExponent);
  values.setFloat("reflectivity", 0.5f);
  values.setInt("reflectSamples", kSamplesPerCall);
  ASSERT_EQ(values.setLightCount(1), MS::kSuccess);
  mayahost::Light light;
  light.direction = MFloatVector(0.3f, 0.2f, 1.0f);
  light.intensity = MFloatVector(1.0f, 1.0f, 1.0f);
  light.specular = true;
  ASSERT_EQ(values.setLight(0, light), MS::kSuccess);
  std::vector<std::unique_ptr<mayahost::DataBlock>> blocks;
  for (int i = 0; i < stress::kThreads; ++i) blocks.push_back(node->newDataBlock());
  const mayahost::Plug outColor = node->plug("outColor");

  stress::StreamFollower streams(references, kExponent);
  mayahost::setTracer(traceAndCheck, &streams);

  const long calls = stress::scaled(100000);
  std::vector<stress::Tracker> trackers(stress::kThreads);
  std::vector<long> bad(stress::kThreads, 0);
  stress::onEachThread([&](int i) {
    tracker = &trackers[static_cast<size_t>(i)];
    mayahost::DataBlock& block = *blocks[static_cast<size_t>(i)];
    for (long c = 0; c < calls; ++c) {
      const mayahost::ComputeResult r = block.compute(outColor);
      const MFloatVector o = block.getVector("outColor");
      if (r.status != MS::kSuccess || !r.clean || !std::isfinite(o.x) || !std::isfinite(o.y) ||
          !std::isfinite(o.z) || !(o.x > 0.0f)) {
        ++bad[static_cast<size_t>(i)];
      }
    }
  });
  mayahost::setTracer(nullptr, nullptr);
  stress::expectOwnStreams(trackers, bad, calls * kSamplesPerCall);

  for (auto& b : blocks) EXPECT_EQ(b->ruleViolations(), 0u);
  blocks.clear();
  node.reset();
  EXPECT_EQ(plugin->uninitialize(), MS::kSuccess);
}

}  // namespace
