// Stress of the Maya node: eight threads, each with its own data block of
// one shared node, evaluating outColor with glossy reflections 10^5 times,
// through the stand-in host and the plug-in loaded by path.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
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

// What one evaluating thread saw of its own draws, followed through the
// directions of the reflection rays it traced.
struct Tracker {
  gw::RandomSource reference{};
  int stream = -1;
  long traced = 0;
  long mismatches = 0;
  bool sharedStream = false;
};
thread_local Tracker* tracker = nullptr;

struct Streams {
  const std::vector<gw::RandomSource>* references = nullptr;
  std::array<std::atomic<int>, stress::kThreads * 2> claimed{};
};

MStatus traceAndCheck(void* user, const mayahost::TraceCall& call, MFloatVector& color,
                      MFloatVector&) {
  Streams& streams = *static_cast<Streams*>(user);
  Tracker& t = *tracker;
  if (t.stream < 0) {
    for (size_t k = 0; k < streams.references->size(); ++k) {
      gw::RandomSource candidate = (*streams.references)[k];
      const auto want =
          stress::probeDirection<MFloatVector>(kExponent, kExponent, gw::randomUnitPair(candidate));
      if (stress::sameDirection(call.direction, want)) {
        t.stream = static_cast<int>(k);
        t.reference = candidate;
        t.sharedStream = streams.claimed[k].fetch_add(1) != 0;
        break;
      }
    }
    if (t.stream < 0) ++t.mismatches;
  } else {
    const auto want =
        stress::probeDirection<MFloatVector>(kExponent, kExponent, gw::randomUnitPair(t.reference));
    if (!stress::sameDirection(call.direction, want)) ++t.mismatches;
  }
  ++t.traced;
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

  Streams streams;
  streams.references = &references;
  mayahost::setTracer(traceAndCheck, &streams);

  const long calls = stress::scaled(100000);
  std::vector<Tracker> trackers(stress::kThreads);
  std::vector<long> bad(stress::kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < stress::kThreads; ++i) {
    threads.emplace_back([&, i] {
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
  }
  for (auto& th : threads) th.join();
  mayahost::setTracer(nullptr, nullptr);

  long traced = 0;
  bool referenceStreamUsed = false;
  for (int i = 0; i < stress::kThreads; ++i) {
    const Tracker& t = trackers[static_cast<size_t>(i)];
    EXPECT_EQ(bad[static_cast<size_t>(i)], 0) << "thread " << i;
    EXPECT_GE(t.stream, 0) << "thread " << i << " drew from no known stream";
    EXPECT_FALSE(t.sharedStream) << "thread " << i << " drew the numbers of another thread";
    EXPECT_EQ(t.mismatches, 0) << "thread " << i << " skipped or repeated numbers";
    EXPECT_EQ(t.traced, calls * kSamplesPerCall) << "thread " << i;
    referenceStreamUsed = referenceStreamUsed || t.stream == 0;
    traced += t.traced;
  }
  // The draws add up: two per traced sample, every sample of every evaluation.
  EXPECT_EQ(2 * traced, 2L * stress::kThreads * calls * kSamplesPerCall);
  EXPECT_TRUE(referenceStreamUsed) << "no thread drew the reference sequence for seed 5489";

  for (auto& b : blocks) EXPECT_EQ(b->ruleViolations(), 0u);
  blocks.clear();
  node.reset();
  EXPECT_EQ(plugin->uninitialize(), MS::kSuccess);
}

}  // namespace
