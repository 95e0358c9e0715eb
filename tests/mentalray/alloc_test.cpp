// No heap allocation on the per-sample path: operator new (and, outside the
// sanitizers, malloc) is interposed in this test binary and counted around
// many shading calls after a warm-up call has bound the entry points and
// created the thread's random source.
#if defined(__GNUC__) && !defined(__clang__)
// The replacements below pair malloc with free by design; gcc sees through
// the inlined pair and would call it a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

#include <atomic>
#include <cstdlib>
#include <new>

#include "mrHarness.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
inline void noteAllocation() {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
}
}  // namespace

void* operator new(std::size_t size) {
  noteAllocation();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

#ifndef GLINTWEAVE_SANITIZED
// The sanitizers own malloc; elsewhere count it too, forwarding to glibc.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* malloc(std::size_t size) {
  noteAllocation();
  return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
  noteAllocation();
  return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
  noteAllocation();
  return __libc_realloc(p, size);
}
}
#endif

namespace {

using namespace mrtest;

TEST(MrAllocation, ShadingAllocatesNothing) {
  const Renderer& r = renderer();
  r.mi->reset();
  r.mi->setRecording(miFALSE);
  const MiLightSample s[2] = {lightSample(unit(0.2f, 0.3f, 1.0f)),
                              lightSample(unit(-0.4f, 0.1f, 1.0f))};
  r.mi->setLightSamples(1, s, 2, 3);
  const MiTraceResult traces[2] = {{miTRUE, {0.5f, 0.5f, 0.5f, 1.0f}, miFALSE, {}, {}}, {}};
  r.mi->setTraceResults(traces, 2);
  r.mi->setEnvironment(miTRUE, {0.1f, 0.2f, 0.3f, 1.0f});
  r.mi->setIrradiance(miTRUE, {0.2f, 0.2f, 0.2f, 1.0f}, miTRUE);
  const ShaderLibrary& lib = shaderLibrary();
  lib.setModuleHandle(r.handle);

  ShaderCall call;
  call.setLights({1});
  call.connect(&call.params()->diffuse);  // through mi_phen_eval as well
  call.params()->reflectivity = 0.6f;
  call.params()->reflectSamples = 4;
  call.params()->indirect = miTRUE;
  call.shade(lib);  // warm-up: binding and this thread's random source

  counting = true;
  for (int i = 0; i < 5000; ++i) call.shade(lib);
  counting = false;
  EXPECT_EQ(allocations.load(), 0);
  EXPECT_TRUE(finiteColor(call.result));
}

}  // namespace
