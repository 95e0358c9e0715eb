// No heap allocation on the per-sample path: operator new (and, outside the
// sanitizers, malloc) is interposed in this test binary and counted around
// many shading calls after a warm-up call has bound the entry points and
// created the thread's random source.
#include "allocation_counter.h"
#include "mrHarness.h"
#ifdef _WIN32
#include "peImage.h"
#endif

namespace {

using namespace mrtest;

#ifdef _WIN32
// Windows has no interposition by name: the library reaches the C runtime's
// allocator (its operator new included) through its own import table, whose
// malloc, calloc and realloc entries are pointed at counting wrappers.
using MallocFn = void* (*)(std::size_t);
using CallocFn = void* (*)(std::size_t, std::size_t);
using ReallocFn = void* (*)(void*, std::size_t);
MallocFn realMalloc = nullptr;
CallocFn realCalloc = nullptr;
ReallocFn realRealloc = nullptr;
void* countingMalloc(std::size_t size) {
  noteAllocation();
  return realMalloc(size);
}
void* countingCalloc(std::size_t n, std::size_t size) {
  noteAllocation();
  return realCalloc(n, size);
}
void* countingRealloc(void* p, std::size_t size) {
  noteAllocation();
  return realRealloc(p, size);
}

void countLibraryAllocations(void* module) {
  realMalloc = reinterpret_cast<MallocFn>(
      petest::redirectImport(module, "malloc", reinterpret_cast<void*>(&countingMalloc)));
  ASSERT_NE(realMalloc, nullptr) << "the library does not import malloc";
  realCalloc = reinterpret_cast<CallocFn>(
      petest::redirectImport(module, "calloc", reinterpret_cast<void*>(&countingCalloc)));
  if (!realCalloc) realCalloc = &std::calloc;
  realRealloc = reinterpret_cast<ReallocFn>(
      petest::redirectImport(module, "realloc", reinterpret_cast<void*>(&countingRealloc)));
  if (!realRealloc) realRealloc = &std::realloc;
}
#endif

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
#ifdef _WIN32
  countLibraryAllocations(lib.handle);
#endif

  ShaderCall call;
  call.setLights({1});
  call.connect(&call.params()->diffuse);  // through mi_phen_eval as well
  call.params()->reflectivity = 0.6f;
  call.params()->reflectSamples = 4;
  call.params()->indirect = miTRUE;
  call.shade();  // warm-up: binding and this thread's random source

  counting = true;
  for (int i = 0; i < 5000; ++i) call.shade();  // through the host driver
  counting = false;
  EXPECT_EQ(allocations.load(), 0);
  EXPECT_TRUE(finiteColor(call.result));
}

}  // namespace
