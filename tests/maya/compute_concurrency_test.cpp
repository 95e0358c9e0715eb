// compute on many threads at once, each with its own data blocks, with a
// tracer that shades every hit with the same node at ray depth 1 on the
// calling thread, as a renderer does; and no heap allocation on that path:
// operator new and (outside the sanitizers, which own malloc) the malloc
// family are interposed in this test binary and counted while a test asks.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "allocation_counter.h"
#include "plugin_fixture.h"
#include "shading_reference.h"

#ifdef _WIN32
#include <filesystem>

namespace {
void countLoadedAllocations(const char* path) {
  const std::string name = std::filesystem::path(path).filename().string();
  const HMODULE module = GetModuleHandleA(name.c_str());
  ASSERT_NE(module, nullptr) << name << " is not loaded";
  countModuleAllocations(module);
}
}  // namespace
#endif

namespace {

using gwtest::Inputs;

// What one rendering thread owns: the block it shades with and the block it
// shades reflection hits with. Its address is the raySampler it stores. The
// hit's inputs are filled by plugs resolved once, as the preview renderer
// fills them.
struct ThreadContext {
  mayahost::DataBlock* hit = nullptr;
  mayahost::Plug outColor;
  mayahost::Plug rayDirection;
  mayahost::Plug pointCamera;
  int hits = 0;
};

MStatus shadeHit(void*, const mayahost::TraceCall& call, MFloatVector& color, MFloatVector&) {
  auto* ctx = static_cast<ThreadContext*>(const_cast<void*>(call.raySampler));
  if (!ctx || !ctx->hit) return MS::kFailure;
  ctx->hit->setVector(ctx->rayDirection, call.direction);
  ctx->hit->setVector(ctx->pointCamera, call.origin + call.direction);
  const mayahost::ComputeResult r = ctx->hit->compute(ctx->outColor);
  color = ctx->hit->getVector(ctx->outColor);
  ++ctx->hits;
  return r.status;
}

Inputs scene() {
  Inputs in;
  in.Cs = {0.8, 0.6, 0.4};
  in.Ca = {0.05, 0.05, 0.05};
  in.rho = 0.5;
  in.Ns = 4;
  in.nu = 30;
  in.nv = 3;
  in.N = {0.1, 0.2, 1};
  in.sampler = true;
  in.Dr = {0.05, 0.1, -1};
  in.lights = {gwtest::LightIn{{0.4, 0.5, 1}, {1, 1, 1}, true, true, true},
               gwtest::LightIn{{-0.5, 0.2, 0.7}, {0.4, 0.3, 0.9}, false, true, true}};
  return in;
}

// Sets up a thread's two blocks; returns the plug to request.
mayahost::Plug prepare(mayahost::Node& node, mayahost::DataBlock& block, mayahost::DataBlock& hit,
                       ThreadContext& ctx, int object) {
  static int objectIds[64];
  Inputs in = scene();
  gwtest::apply(in, block, &ctx, &objectIds[object % 64]);
  Inputs hitInputs = in;
  hitInputs.depth = 1;
  gwtest::apply(hitInputs, hit, &ctx, &objectIds[object % 64]);
  ctx.hit = &hit;
  ctx.outColor = node.plug("outColor");
  ctx.rayDirection = node.plug("rayDirection");
  ctx.pointCamera = node.plug("pointCamera");
  return ctx.outColor;
}

class Concurrency : public gwtest::PluginTest {
 protected:
  void SetUp() override {
    gwtest::PluginTest::SetUp();
#ifdef _WIN32
    countLoadedAllocations(GLINTWEAVE_PLUGIN_PATH);
    countLoadedAllocations(OPENMAYA_LIBRARY_PATH);
#endif
    mayahost::setTracer(shadeHit, nullptr);
  }
  void TearDown() override {
    mayahost::setTracer(nullptr, nullptr);
    gwtest::PluginTest::TearDown();
  }
};

TEST_F(Concurrency, ComputeAllocatesNothing) {
#if defined(GLINTWEAVE_SANITIZED)
  constexpr int kRequests = 200;
#else
  constexpr int kRequests = 2000;
#endif
  auto node = mayahost::Node::create("glintWeave");
  ASSERT_TRUE(node);
  auto hit = node->newDataBlock();
  ThreadContext ctx;
  const mayahost::Plug plug = prepare(*node, node->data(), *hit, ctx, 0);
  const mayahost::Plug transparency = node->plug("outTransparencyG");
  // Warm-up: this thread's random source and anything else made on first use.
  ASSERT_EQ(node->data().compute(plug).status, MS::kSuccess);
  ASSERT_EQ(node->data().compute(transparency).status, MS::kSuccess);
  {
    const AllocationCount count;
    for (int i = 0; i < kRequests; ++i) {
      ASSERT_EQ(node->data().compute(plug).status, MS::kSuccess);
      ASSERT_EQ(node->data().compute(transparency).status, MS::kSuccess);
    }
    EXPECT_EQ(count(), 0);
  }
  {
    // The count does see the host library's allocations.
    const AllocationCount count;
    auto copy = node->newDataBlock();
    EXPECT_GT(count(), 0);
  }
  EXPECT_EQ(ctx.hits, (kRequests + 1) * 4);  // every depth-0 sample traced, each hit shaded
  EXPECT_EQ(node->data().ruleViolations(), 0u);
  EXPECT_EQ(hit->ruleViolations(), 0u);
}

TEST_F(Concurrency, ThreadsShadeSeparateBlocksAtOnce) {
#if defined(GLINTWEAVE_SANITIZED)
  constexpr int kThreads = 4, kRequests = 50;
#else
  constexpr int kThreads = 8, kRequests = 400;
#endif
  auto shared = mayahost::Node::create("glintWeave");
  ASSERT_TRUE(shared);
  // Without reflection the result is the same on every thread: check it.
  auto referenceBlock = shared->newDataBlock();
  Inputs plain = scene();
  plain.rho = 0;
  gwtest::apply(plain, *referenceBlock, nullptr, nullptr);
  ASSERT_EQ(referenceBlock->compute("outColor").status, MS::kSuccess);
  const MFloatVector expected = referenceBlock->getVector("outColor");

  std::vector<std::unique_ptr<mayahost::Node>> ownNodes;
  for (int t = 0; t < kThreads / 2; ++t) ownNodes.push_back(mayahost::Node::create("glintWeave"));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    // Half the threads share one node (own blocks), half have their own.
    mayahost::Node& node = t % 2 ? *ownNodes[static_cast<size_t>(t / 2)] : *shared;
    threads.emplace_back([&, t, nodePtr = &node] {
      auto block = nodePtr->newDataBlock();
      auto hit = nodePtr->newDataBlock();
      auto plainBlock = nodePtr->newDataBlock();
      gwtest::apply(plain, *plainBlock, nullptr, nullptr);
      ThreadContext ctx;
      const mayahost::Plug plug = prepare(*nodePtr, *block, *hit, ctx, t);
      for (int i = 0; i < kRequests; ++i) {
        const mayahost::ComputeResult r = block->compute(plug);
        const MFloatVector c = block->getVector("outColor");
        if (!r.status || !r.clean || !std::isfinite(c.x) || !std::isfinite(c.y) ||
            !std::isfinite(c.z))
          ++failures;
        if (i % 16 == 0) {
          plainBlock->compute(plug);
          if (plainBlock->getVector("outColor") != expected) ++failures;
        }
      }
      if (ctx.hits != kRequests * 4) ++failures;
      if (block->ruleViolations() || hit->ruleViolations()) ++failures;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
