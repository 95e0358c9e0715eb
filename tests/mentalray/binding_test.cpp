// Entry-point binding through the real exports: messages, fallbacks, one
// lookup per name per handle, rebinding, and the library's own forwarders.
#include <cstdio>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "mrHarness.h"

namespace {

using namespace mrtest;

// A call that reaches all five entry points: a connected parameter, one
// light, two reflection samples and the indirect term.
void useEverything(ShaderCall& call) {
  call.setLights({7});
  call.connect(&call.params()->diffuse);
  call.params()->reflectivity = 0.5f;
  call.params()->reflectSamples = 2;
  call.params()->indirect = miTRUE;
  call.params()->ambientColor = {0.2f, 0.4f, 0.6f, 1.0f};
  call.params()->incandescence = {0.01f, 0.02f, 0.03f, 1.0f};
}

std::string hex8(const void* handle) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle) & 0xFFFFFFFFu));
  return text;
}

TEST(MrExports, ExactlyTheThreeNames) {
  const std::string command = std::string("nm -D --defined-only '") + mrLibraryPath() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> names;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string text(line);
    const auto space = text.find_last_of(' ');
    names.insert(text.substr(space + 1, text.find_last_not_of("\r\n") - space));
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(names, (std::set<std::string>{"kl4v_glintWeave", "kl4v_glintWeave_version",
                                          "miSetModuleHandle"}));
}

TEST(MrExports, VersionIsOne) {
  EXPECT_EQ(shaderLibrary().version(), 1);
  EXPECT_EQ(shaderLibrary().version(), 1);
}

// Without a handle the lookup still runs (and finds nothing, the forwarders
// being hidden); every entry point falls back: no samples, no trace, no
// environment, black irradiance, parameters read in place.
TEST(MrBinding, NullHandleReportsAndFallsBack) {
  const ShaderLibrary lib = freshShaderLibrary();
  ShaderCall call;
  useEverything(call);
  call.params()->diffuse = 0.25f;
  testing::internal::CaptureStderr();
  EXPECT_EQ(call.shade(lib), miTRUE);
  const std::string err = testing::internal::GetCapturedStderr();
  for (const char* name : {"mi_phen_eval", "mi_sample_light", "mi_trace_reflection",
                           "mi_trace_environment", "mi_compute_irradiance"}) {
    const std::regex line(std::string("DYNLOAD: dl_handle null\ndlsym failed on \"") + name +
                          "\" \\(handle: 00000000 error: -?[0-9]+\\)\n");
    EXPECT_TRUE(std::regex_search(err, line)) << name << " in:\n" << err;
  }
  EXPECT_EQ(call.result.r, 0.5f * 0.2f + 0.01f);
  EXPECT_EQ(call.result.g, 0.5f * 0.4f + 0.02f);
  EXPECT_EQ(call.result.b, 0.5f * 0.6f + 0.03f);
  EXPECT_EQ(call.result.a, 1.0f);

  // A failed lookup leaves the slot empty: the next call looks and reports again.
  testing::internal::CaptureStderr();
  call.shade(lib);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("dlsym failed on \"mi_sample_light\""),
            std::string::npos);
}

// A handle whose module lacks the names: the message shows its low 32 bits;
// a later handle that has them binds without another word.
TEST(MrBinding, FailedLookupThenRebindToRenderer) {
  const ShaderLibrary lib = freshShaderLibrary();
  const Renderer& r = renderer();
  r.mi->reset();
  lib.setModuleHandle(lib.handle);  // the library itself exports none of the five
  ShaderCall call;
  call.setLights({7});
  testing::internal::CaptureStderr();
  call.shade(lib);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("DYNLOAD"), std::string::npos);
  EXPECT_TRUE(std::regex_search(err, std::regex("^dlsym failed on \"mi_sample_light\" \\(handle: " +
                                                hex8(lib.handle) + " error: -?[0-9]+\\)\n$")))
      << err;

  lib.setModuleHandle(r.handle);
  testing::internal::CaptureStderr();
  call.shade(lib);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(r.mi->callCount(MI_ENTRY_SAMPLE_LIGHT), 1);
}

// Each name is looked up once per handle however often it is called; a new
// handle (or the same one handed over again) empties the table but keeps the
// handle, and the next calls bind in the module given last.
TEST(MrBinding, OneLookupPerNamePerHandleAndRebinding) {
  const Renderer& a = renderer();
  if (a.mi->lookupCount(MI_ENTRY_SAMPLE_LIGHT) < 0) GTEST_SKIP() << "lookups not countable here";
  const std::string copy = privateCopy(GLINTWEAVE_MR_RENDERER, "renderer-b");
  const Renderer b = loadRenderer(copy);
  std::filesystem::remove(copy);
  a.mi->reset();
  b.mi->reset();
  const ShaderLibrary lib = freshShaderLibrary();
  int before[MI_ENTRY_COUNT];
  for (int e = 0; e < MI_ENTRY_COUNT; ++e) before[e] = a.mi->lookupCount(MiEntry(e));

  lib.setModuleHandle(a.handle);
  ShaderCall call;
  useEverything(call);
  for (int i = 0; i < 20; ++i) call.shade(lib);
  for (int e = 0; e < MI_ENTRY_COUNT; ++e) {
    EXPECT_EQ(a.mi->lookupCount(MiEntry(e)) - before[e], 1) << "entry " << e;
    EXPECT_EQ(b.mi->lookupCount(MiEntry(e)), 0) << "entry " << e;
  }
  EXPECT_EQ(a.mi->callCount(MI_ENTRY_SAMPLE_LIGHT), 20);

  lib.setModuleHandle(b.handle);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 5; ++i) call.shade(lib);
  lib.setModuleHandle(b.handle);  // clears the table, not the handle
  call.shade(lib);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  for (int e = 0; e < MI_ENTRY_COUNT; ++e) {
    EXPECT_EQ(a.mi->lookupCount(MiEntry(e)) - before[e], 1) << "entry " << e;
    EXPECT_EQ(b.mi->lookupCount(MiEntry(e)), 2) << "entry " << e;
  }
  EXPECT_EQ(a.mi->callCount(MI_ENTRY_SAMPLE_LIGHT), 20);
  EXPECT_EQ(b.mi->callCount(MI_ENTRY_SAMPLE_LIGHT), 6);
}

// A library whose forwarders are visible, handed its own handle: the lookup
// finds the forwarder itself, which must count as failed rather than recurse.
TEST(MrBinding, OwnForwarderCountsAsFailed) {
  const ShaderLibrary lib = loadShaderLibrary(GLINTWEAVE_MR_EXPOSED_LIBRARY);
  ASSERT_NE(dlsym(lib.handle, "mi_sample_light"), nullptr);
  lib.setModuleHandle(lib.handle);
  ShaderCall call;
  useEverything(call);
  testing::internal::CaptureStderr();
  EXPECT_EQ(call.shade(lib), miTRUE);
  const std::string err = testing::internal::GetCapturedStderr();
  for (const char* name : {"mi_phen_eval", "mi_sample_light", "mi_trace_reflection",
                           "mi_trace_environment", "mi_compute_irradiance"}) {
    EXPECT_NE(err.find(std::string("dlsym failed on \"") + name +
                       "\" (handle: " + hex8(lib.handle) + " error: "),
              std::string::npos)
        << name;
  }
  EXPECT_EQ(call.result.r, 0.5f * 0.2f + 0.01f);
}

// Many threads find the table empty at once and bind together.
TEST(MrBinding, ThreadsBindAtOnce) {
  const Renderer& r = renderer();
  r.mi->reset();
  r.mi->setRecording(miFALSE);
  const MiLightSample sample = lightSample(unit(0.3f, 0.2f, 1.0f));
  r.mi->setLightSamples(7, &sample, 1, -1);
  r.mi->setEnvironment(miTRUE, {0.3f, 0.3f, 0.3f, 1.0f});
  const ShaderLibrary lib = freshShaderLibrary();
  lib.setModuleHandle(r.handle);

  constexpr int kThreads = 6;
  std::atomic<int> ready{0};
  std::vector<miColor> first(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ShaderCall call;
      call.setLights({7});
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      call.shade(lib);
      first[static_cast<size_t>(t)] = call.result;
    });
  }
  for (auto& th : threads) th.join();
  for (const miColor& c : first) {
    EXPECT_EQ(c.r, first[0].r);
    EXPECT_GT(c.r, 0.0f);
  }
  if (r.mi->lookupCount(MI_ENTRY_SAMPLE_LIGHT) >= 0) {
    EXPECT_GE(r.mi->lookupCount(MI_ENTRY_SAMPLE_LIGHT), 1);
  }
}

}  // namespace
