// Several threads shading at once through installed renderer callbacks, the
// way a small renderer drives the stand-in: reflection rays are shaded by
// calling the shader again on a child state.
#include <thread>
#include <vector>

#include "mrHarness.h"

namespace {

using namespace mrtest;

struct Scene {
  const ShaderLibrary* lib;
  ShaderCall* hitMaterial;  // read only while threads run
};

miBoolean sampleLight(void*, miColor* result, miVector* dir, miScalar* dotNl, miState* state,
                      miTag light, miInteger* samples) {
  if (*samples >= 2) return miFALSE;
  const float side = *samples == 0 ? 1.0f : -1.0f;
  *result = {0.5f * float(light), 0.5f, 0.25f, 1.0f};
  *dir = unit(0.3f * side, 0.2f, 1.0f);
  *dotNl = dir->x * state->normal.x + dir->y * state->normal.y + dir->z * state->normal.z;
  ++*samples;
  return miTRUE;
}

miBoolean traceReflection(void* user, miColor* result, miState* state, miVector* dir) {
  const Scene& scene = *static_cast<const Scene*>(user);
  if (state->reflection_level >= 1) return miFALSE;  // depth limit: the environment instead
  miState child = *state;
  child.parent = state;
  child.type = miRAY_REFLECT;
  child.reflection_level = state->reflection_level + 1;
  child.dir = *dir;
  child.normal = {0.0f, 0.0f, 1.0f};
  child.shader = scene.hitMaterial->function();
  *result = {0.0f, 0.0f, 0.0f, 0.0f};
  return scene.lib->shade(result, &child, scene.hitMaterial->params());
}

miBoolean traceEnvironment(void*, miColor* result, miState*, miVector* dir) {
  *result = {0.2f, 0.3f, dir->z > 0.0f ? 0.8f : 0.1f, 1.0f};
  return miTRUE;
}

miBoolean computeIrradiance(void*, miColor* result, miState*) {
  *result = {0.3f, 0.3f, 0.3f, 1.0f};
  return miTRUE;
}

TEST(MrThreads, ShadingOnSeveralThreadsThroughCallbacks) {
  const Renderer& r = renderer();
  r.mi->reset();
  r.mi->setRecording(miFALSE);
  ShaderCall hitMaterial;
  hitMaterial.setLights({1});
  hitMaterial.params()->reflectivity = 0.5f;
  hitMaterial.params()->reflectSamples = 2;
  Scene scene{&shaderLibrary(), &hitMaterial};
  MiRendererCallbacks callbacks{};
  callbacks.user = &scene;
  callbacks.sampleLight = sampleLight;
  callbacks.traceReflection = traceReflection;
  callbacks.traceEnvironment = traceEnvironment;
  callbacks.computeIrradiance = computeIrradiance;
  r.mi->setCallbacks(&callbacks);
  shaderLibrary().setModuleHandle(r.handle);

#ifdef GLINTWEAVE_SANITIZED
  constexpr int kCalls = 200;
#else
  constexpr int kCalls = 2000;
#endif
  constexpr int kThreads = 4;
  std::vector<int> bad(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ShaderCall call;
      call.setLights({1, 2});
      call.params()->reflectivity = 0.8f;
      call.params()->reflectSamples = 3;
      call.params()->indirect = miTRUE;
      call.state.dir = unit(0.1f * float(t), -0.2f, -1.0f);
      for (int i = 0; i < kCalls; ++i) {
        call.result = {0.0f, 0.0f, 0.0f, 0.0f};
        if (call.shade() != miTRUE || !finiteColor(call.result) || call.result.a != 1.0f ||
            !(call.result.r > 0.0f)) {
          ++bad[static_cast<size_t>(t)];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  r.mi->setCallbacks(nullptr);
  for (int b : bad) EXPECT_EQ(b, 0);
  EXPECT_EQ(r.mi->recordCount(), 0);  // nothing shared was written
}

}  // namespace
