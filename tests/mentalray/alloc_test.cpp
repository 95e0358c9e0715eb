// No heap allocation on the per-sample path: operator new (and, outside the
// sanitizers, malloc) is interposed in this test binary and counted around
// many shading calls after a warm-up call has bound the entry points and
// created the thread's random source.
#include "allocation_counter.h"
#include "mrHarness.h"

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
#ifdef _WIN32
  ASSERT_TRUE(countModuleAllocations(lib.handle)) << "the library does not import malloc";
#endif

  ShaderCall call;
  call.setLights({1});
  call.connect(&call.params()->diffuse);  // through mi_phen_eval as well
  call.params()->reflectivity = 0.6f;
  call.params()->reflectSamples = 4;
  call.params()->indirect = miTRUE;
  call.shade();  // warm-up: binding and this thread's random source

  {
    const AllocationCount count;
    for (int i = 0; i < 5000; ++i) call.shade();  // through the host driver
    EXPECT_EQ(count(), 0);
  }
  EXPECT_TRUE(finiteColor(call.result));
}

}  // namespace
