// Stress and concurrency of the shader library, through its real exports:
// eight threads each shading many samples with glossy reflections, and
// miSetModuleHandle called again while other threads shade.
#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "mrHarness.h"
#include "stressCommon.h"

namespace {

using namespace mrtest;

constexpr float kExponent = 20.0f;
constexpr int kSamplesPerCall = 2;

thread_local stress::Tracker* tracker = nullptr;

miBoolean traceAndCheck(void* user, miColor* result, miState*, miVector* dir) {
  static_cast<stress::StreamFollower*>(user)->follow(*tracker, *dir);
  *result = {0.25f, 0.5f, 0.75f, 1.0f};
  return miTRUE;
}

void probeGeometry(ShaderCall& call) {
  call.state.normal = {0.0f, 0.0f, 1.0f};
  call.state.dir = {0.0f, 0.0f, -1.0f};
  call.params()->specularU = kExponent;
  call.params()->specularV = kExponent;
  call.params()->reflectivity = 0.5f;
  call.params()->reflectSamples = kSamplesPerCall;
}

// Every thread's generator advances by exactly two numbers per reflection
// sample, over 10^5 shading calls each, and no two threads draw the same
// numbers: each thread's traced directions follow one reference stream pair
// by pair, and no stream is followed by two threads.
TEST(MrStress, EightThreadsDrawExactlyTheirOwnNumbers) {
  const std::vector<gw::RandomSource>& references = stress::referenceStreams(2 * stress::kThreads);
  const ShaderLibrary lib = freshShaderLibrary();  // its first drawing thread gets stream 0
  ASSERT_NE(lib.shade, nullptr);
  const Renderer& r = renderer();
  r.mi->reset();
  r.mi->setRecording(miFALSE);
  const MiLightSample light = lightSample(unit(0.3f, 0.2f, 1.0f));
  ASSERT_TRUE(r.mi->setLightSamples(1, &light, 1, -1));
  stress::StreamFollower streams(references, kExponent);
  MiRendererCallbacks callbacks{};
  callbacks.user = &streams;
  callbacks.traceReflection = traceAndCheck;
  r.mi->setCallbacks(&callbacks);
  lib.setModuleHandle(r.handle);

  const long calls = stress::scaled(100000);
  std::vector<stress::Tracker> trackers(stress::kThreads);
  std::vector<long> bad(stress::kThreads, 0);
  stress::onEachThread([&](int i) {
    tracker = &trackers[static_cast<size_t>(i)];
    ShaderCall call;
    probeGeometry(call);
    call.setLights({1});
    for (long c = 0; c < calls; ++c) {
      call.result = {0.0f, 0.0f, 0.0f, 0.0f};
      if (call.shade(lib) != miTRUE || call.result.a != 1.0f || !finiteColor(call.result)) {
        ++bad[static_cast<size_t>(i)];
      }
    }
  });
  r.mi->setCallbacks(nullptr);
  stress::expectOwnStreams(trackers, bad, calls * kSamplesPerCall);
}

// ---- rebinding while shading ----

// A renderer module of its own (a private copy: its own script and
// callbacks) that counts the light samples it serves.
struct CountingRenderer {
  Renderer module;
  std::atomic<long> served{0};
};

miBoolean countingSampleLight(void* user, miColor* result, miVector* dir, miScalar* dotNl, miState*,
                              miTag, miInteger* samples) {
  if (*samples >= 1) return miFALSE;
  static_cast<CountingRenderer*>(user)->served.fetch_add(1, std::memory_order_relaxed);
  *result = {1.0f, 0.5f, 0.25f, 1.0f};
  *dir = {0.0f, 0.6f, 0.8f};
  *dotNl = 0.8f;
  *samples = 1;
  return miTRUE;
}

void installCounter(CountingRenderer& renderer) {
  renderer.module.mi->reset();
  renderer.module.mi->setRecording(miFALSE);
  MiRendererCallbacks callbacks{};
  callbacks.user = &renderer;
  callbacks.sampleLight = countingSampleLight;
  renderer.module.mi->setCallbacks(&callbacks);
}

// One light sample, no reflections: every call's colour is fixed, so a call
// that found no entry point (or a torn one) shows in its result.
void rebindCall(ShaderCall& call) {
  call.setLights({1});
  call.params()->reflectivity = 0.0f;
}

// Handing over modules again and again while threads shade: every call is
// served completely by one of the two modules (never by neither, never by a
// torn address), and once the last hand-over is done and the shading threads
// are gone, every entry point is served by the module handed over last.
TEST(MrStress, ModuleHandedOverAgainWhileThreadsShade) {
  // valgrind runs one thread at a time, so the hand-over never meets a
  // lookup in flight, and the shading threads' busy loop starves the one
  // that hands over: the race is checked in the native and sanitizer runs.
  if (stress::underValgrind()) GTEST_SKIP() << "needs threads that really run at once";
  const ShaderLibrary lib = freshShaderLibrary();
  ASSERT_NE(lib.shade, nullptr);
  CountingRenderer a, b;
  a.module = loadRenderer(privateCopy(GLINTWEAVE_MR_RENDERER, "rendererA"));
  b.module = loadRenderer(privateCopy(GLINTWEAVE_MR_RENDERER, "rendererB"));
  ASSERT_TRUE(a.module.mi && b.module.mi);
  installCounter(a);
  installCounter(b);
  lib.setModuleHandle(a.module.handle);

  ShaderCall expected;
  rebindCall(expected);
  ASSERT_EQ(expected.shade(lib), miTRUE);
  ASSERT_GT(expected.result.r, 0.0f);

  const long rounds = stress::scaled(100);
  constexpr int kShaders = stress::kThreads - 1;  // and the thread that hands over
  long wrong = 0;
  long calls = 0;
  long staleAfterHandOver = 0;
  a.served = 0;
  for (long round = 0; round < rounds; ++round) {
    std::atomic<bool> stop{false};
    std::atomic<int> running{0};
    std::vector<long> threadCalls(kShaders, 0), threadWrong(kShaders, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kShaders; ++i) {
      threads.emplace_back([&, i] {
        ShaderCall call;
        rebindCall(call);
        running.fetch_add(1);
        while (!stop.load(std::memory_order_relaxed)) {
          call.result = {0.0f, 0.0f, 0.0f, 0.0f};
          const miBoolean shaded = call.shade(lib);
          if (shaded != miTRUE || std::memcmp(&call.result, &expected.result, sizeof call.result)) {
            ++threadWrong[static_cast<size_t>(i)];
          }
          ++threadCalls[static_cast<size_t>(i)];
        }
      });
    }
    while (running.load() < kShaders) std::this_thread::yield();
    // Back to back, so that threads are still binding in the first module
    // when the second is handed over.
    for (int k = 0; k < 8; ++k) {
      lib.setModuleHandle(a.module.handle);
      std::this_thread::yield();
      lib.setModuleHandle(b.module.handle);
    }
    stop = true;
    for (auto& th : threads) th.join();
    for (int i = 0; i < kShaders; ++i) {
      calls += threadCalls[static_cast<size_t>(i)];
      wrong += threadWrong[static_cast<size_t>(i)];
    }
    // Quiet now: the next call must be served by the module handed over last.
    const long servedByA = a.served.load();
    ShaderCall after;
    rebindCall(after);
    after.shade(lib);
    if (a.served.load() != servedByA) ++staleAfterHandOver;
    lib.setModuleHandle(a.module.handle);
  }
  EXPECT_EQ(wrong, 0) << "calls that were not served completely by one module";
  EXPECT_EQ(a.served.load() + b.served.load(), calls + rounds)
      << "every light sample served by exactly one module";
  EXPECT_EQ(staleAfterHandOver, 0)
      << "rounds after which an entry point of the previous module stayed bound";
}

}  // namespace
