// Fuzz target for the shader library kl4v_glintWeave, driven through its real
// exports: the library and the stand-in renderer module are loaded with
// dlopen, the renderer's handle is handed over with miSetModuleHandle, and
// each input becomes one shading call laid out as the renderer lays it out
// (shader record, parameter block with its light tags, ghost tags), with the
// renderer's scripted answers also taken from the input.
//
// Checked after every call, besides the sanitizers' own reports:
//  - shadow and displacement calls return miFALSE and leave the result alone;
//    every other call returns miTRUE with alpha exactly 1;
//  - with finite, well-scaled inputs the colour is finite;
//  - the call makes no heap allocation (once the entry points are bound);
//  - the calling thread's generator advanced by exactly 2 x reflectSamples
//    when reflections ran and not at all otherwise. The generator is hidden
//    in the library, so a probe call after each input traces one reflection
//    ray whose direction is compared with the one the next two numbers of a
//    reference generator give: any other count of draws shows up there.
#include <dlfcn.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "fuzzCommon.h"
#include "miRenderer.h"
#include "random.h"
#include "reflectance.h"
#include "shaderParams.h"

namespace {

using ShaderFn = miBoolean (*)(miColor*, miState*, ShaderParams*);
using SetHandleFn = void (*)(void*);

constexpr int kParamsOffset = static_cast<int>(offsetof(miFunction, parameters));
constexpr int kMaxTags = 16;
constexpr int kMaxLights = 4;           // distinct tags the renderer knows
constexpr int kMaxLightSamples = 6;     // samples scripted per light
constexpr int kMaxTraceResults = 8;     // scripted trace outcomes, cycled
constexpr int kMaxReflectSamples = 48;  // keeps one input fast
// End of the last field the evaluation rule looks at, the first light tag.
constexpr int kEvaluatedEnd = static_cast<int>(offsetof(ShaderParams, light) + sizeof(miTag));

struct Library {
  void* renderer = nullptr;
  const MiRenderer* mi = nullptr;
  ShaderFn shade = nullptr;
  SetHandleFn setModuleHandle = nullptr;
};

Library library;

// What the phen_eval callback needs: where the block is and where the values
// of the "connected" parameters are.
struct Connections {
  const unsigned char* params = nullptr;
  size_t size = 0;
  unsigned char* values = nullptr;  // same layout as the block
  bool inPlace = false;             // answer with the parameter's own address
};
Connections connections;

void* phenEval(void*, miState*, void* parm) {
  const auto* p = static_cast<unsigned char*>(parm);
  if (connections.inPlace || p < connections.params || p >= connections.params + connections.size) {
    return parm;
  }
  return connections.values + (p - connections.params);
}

// The probe: one reflection ray straight up the normal's lobe.
struct Probe {
  alignas(8) unsigned char bytes[kParamsOffset + sizeof(ShaderParams)] = {};
  miVector traced{};
  int traces = 0;
} probe;

miBoolean probeTrace(void*, miColor*, miState*, miVector* dir) {
  probe.traced = *dir;
  ++probe.traces;
  return miFALSE;
}

constexpr float kProbeExponent = 10.0f;

void checkDrawsSoFar(gw::RandomSource& reference) {
  auto* function = reinterpret_cast<miFunction*>(probe.bytes);
  auto* params = reinterpret_cast<ShaderParams*>(probe.bytes + kParamsOffset);
  *params = ShaderParams{};
  params->color = {1.0f, 1.0f, 1.0f, 1.0f};
  params->specularU = kProbeExponent;
  params->specularV = kProbeExponent;
  params->specularPower = 0.5f;
  params->reflectivity = 1.0f;
  params->reflectSamples = 1;
  function->parameter_size = static_cast<int>(sizeof(ShaderParams));
  miState state{};
  state.version = MI_STATE_VERSION;
  state.type = miRAY_EYE;
  state.normal = {0.0f, 0.0f, 1.0f};
  state.dir = {0.0f, 0.0f, -1.0f};
  state.shader = function;
  MiRendererCallbacks callbacks{};
  callbacks.traceReflection = probeTrace;
  library.mi->setCallbacks(&callbacks);
  probe.traces = 0;
  miColor result{};
  library.shade(&result, &state, params);
  if (probe.traces != 1) gwfuzz::fail("probe call did not trace exactly one ray");

  // The same sampling in the frame the shader builds for the normal (0, 0, 1).
  const gw::UnitPair draw = gw::randomUnitPair(reference);
  const miVector n = {0.0f, 0.0f, 1.0f};
  const miVector u = {1.0f, 0.0f, 0.0f};
  const miVector b = {0.0f, 1.0f, 0.0f};
  const miVector v = {0.0f, 0.0f, 1.0f};
  const miVector hs =
      gw::sampleHalfVector(kProbeExponent, kProbeExponent, draw.u1, draw.u2, u, b, n);
  const float twiceVh = 2.0f * (v.x * hs.x + v.y * hs.y + v.z * hs.z);
  const miVector want = {twiceVh * hs.x - v.x, twiceVh * hs.y - v.y, twiceVh * hs.z - v.z};
  // Same single-precision routines on both sides; the tolerance only absorbs
  // a different but equivalent operation order. Two different draws land
  // far further apart than this.
  constexpr float kTolerance = 1e-5f;
  if (std::fabs(probe.traced.x - want.x) > kTolerance ||
      std::fabs(probe.traced.y - want.y) > kTolerance ||
      std::fabs(probe.traced.z - want.z) > kTolerance) {
    gwfuzz::fail("generator did not advance by exactly 2 x reflectSamples");
  }
}

gw::RandomSource reference = gw::unseededRandomSource();

// The evaluation rule, as the shader applies it, to learn the values it used.
// Without a bound mi_phen_eval the shader reads every value in place.
template <class T>
const T& effective(const miFunction& function, T* field, bool bound) {
  if (function.ghost_offs == 0 || !bound) return *field;
  miTag tag;
  std::memcpy(&tag, reinterpret_cast<const unsigned char*>(field) + function.ghost_offs,
              sizeof tag);
  if (tag == 0) return *field;
  return *static_cast<const T*>(phenEval(nullptr, nullptr, field));
}

miColor takeColor(gwfuzz::FloatSource& f) {
  const float r = f.next();
  const float g = f.next();
  const float b = f.next();
  return {r, g, b, f.any()};
}
miVector takeVector(gwfuzz::FloatSource& f) {
  const float x = f.next();
  const float y = f.next();
  const float z = f.next();
  return {x, y, z};
}

// Every field of the block from the input; light tags are filled separately.
void fillParams(FuzzedDataProvider& in, gwfuzz::FloatSource& f, ShaderParams& p) {
  p.color = takeColor(f);
  p.ambientColor = takeColor(f);
  p.incandescence = takeColor(f);
  p.normalOffset = takeVector(f);
  p.diffuse = f.next();
  p.specularU = f.nextExponent();
  p.specularV = f.nextExponent();
  p.specularPower = f.next();
  p.reflectivity = f.next();
  p.reflectSamples = in.ConsumeBool() ? in.ConsumeIntegralInRange<miInteger>(-2, kMaxReflectSamples)
                                      : in.ConsumeIntegralInRange<miInteger>(-1, 3);
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      p.indirect = miFALSE;
      break;
    case 1:
      p.indirect = miTRUE;
      break;
    default:
      p.indirect = in.ConsumeIntegral<miBoolean>();
      break;
  }
  p.indirectColor = takeColor(f);
  p.indirectIntensity = f.next();
}

void scriptRenderer(FuzzedDataProvider& in, gwfuzz::FloatSource& f) {
  const MiRenderer* mi = library.mi;
  const int lights = in.ConsumeIntegralInRange<int>(0, kMaxLights);
  for (int l = 0; l < lights; ++l) {
    MiLightSample samples[kMaxLightSamples];
    const int count = in.ConsumeIntegralInRange<int>(0, kMaxLightSamples);
    for (int s = 0; s < count; ++s) {
      samples[s].color = takeColor(f);
      samples[s].dir = takeVector(f);
      samples[s].dotNl = f.any();  // the shader recomputes the cosine
    }
    // The final count may differ from the samples delivered (shadowed
    // area-light samples); negative means "as delivered".
    const int finalCount = in.ConsumeIntegralInRange<int>(-1, kMaxLightSamples + 2);
    mi->setLightSamples(static_cast<miTag>(l + 1), samples, count, finalCount);
  }
  MiTraceResult traces[kMaxTraceResults];
  const int traceCount = in.ConsumeIntegralInRange<int>(0, kMaxTraceResults);
  for (int t = 0; t < traceCount; ++t) {
    traces[t] = MiTraceResult{};
    traces[t].hit = in.ConsumeBool() ? miTRUE : miFALSE;
    traces[t].color = takeColor(f);
    traces[t].copiesBack = in.ConsumeBool() ? miTRUE : miFALSE;
    traces[t].point = {f.any(), f.any(), f.any()};
    traces[t].normal = {f.any(), f.any(), f.any()};
  }
  mi->setTraceResults(traces, traceCount);
  const miBoolean environmentHit = in.ConsumeBool() ? miTRUE : miFALSE;
  mi->setEnvironment(environmentHit, takeColor(f));
  const miBoolean writes = in.ConsumeBool() ? miTRUE : miFALSE;
  const miColor irradiance = takeColor(f);
  mi->setIrradiance(writes, irradiance, in.ConsumeBool() ? miTRUE : miFALSE);
  MiRendererCallbacks callbacks{};
  callbacks.phenEval = phenEval;
  mi->setCallbacks(&callbacks);
}

bool finite(const miColor& c) {
  return std::isfinite(c.r) && std::isfinite(c.g) && std::isfinite(c.b);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  library.renderer = dlopen(GLINTWEAVE_MR_RENDERER, RTLD_NOW | RTLD_LOCAL);
  void* shaderLibrary = dlopen(GLINTWEAVE_MR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (!library.renderer || !shaderLibrary) {
    std::fprintf(stderr, "mentalray_fuzz: %s\n", dlerror());
    std::exit(2);
  }
  library.mi = miRendererFrom(library.renderer);
  library.shade = reinterpret_cast<ShaderFn>(dlsym(shaderLibrary, "kl4v_glintWeave"));
  library.setModuleHandle =
      reinterpret_cast<SetHandleFn>(dlsym(shaderLibrary, "miSetModuleHandle"));
  if (!library.mi || !library.shade || !library.setModuleHandle) {
    std::fprintf(stderr, "mentalray_fuzz: missing exports\n");
    std::exit(2);
  }
  library.setModuleHandle(library.renderer);
  gwfuzz::AllocationCounter::install();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  gwfuzz::FloatSource f(in, in.ConsumeBool());

  // Layout: light tags allocated past the block, ghost tags where the ghost
  // offset says. The allocation ends exactly where the renderer's would, so
  // the address sanitizer sees any read past it.
  const int tags = in.ConsumeIntegralInRange<int>(1, kMaxTags);
  const int blockSize = static_cast<int>(sizeof(ShaderParams)) + 4 * (tags - 1);
  int ghost = 0;
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
    case 1:
      ghost = 0;
      break;
    case 2:
    case 3:
      ghost = blockSize;
      break;  // one tag per parameter word after the block
    default:
      ghost = in.ConsumeIntegralInRange<int>(1, 2 * blockSize);
      break;
  }
  const int area = ghost == 0 ? blockSize : std::max(blockSize, ghost + kEvaluatedEnd);
  std::vector<unsigned char> storage(static_cast<size_t>(kParamsOffset + area));
  auto* function = reinterpret_cast<miFunction*>(storage.data());
  auto* params = reinterpret_cast<ShaderParams*>(storage.data() + kParamsOffset);
  function->parameter_size = blockSize;
  function->ghost_offs = ghost;
  fillParams(in, f, *params);
  params->i_light = in.ConsumeIntegralInRange<miInteger>(0, tags - 1);
  params->n_light = in.ConsumeIntegralInRange<miInteger>(-1, tags - params->i_light);
  for (int t = 0; t < tags; ++t) {
    params->light[t] = in.ConsumeIntegralInRange<miTag>(0, kMaxLights + 1);
  }
  for (int at = blockSize; at + 4 <= area; at += 4) {
    const miTag tag = in.ConsumeBool() ? 0u : in.ConsumeIntegralInRange<miTag>(1, 9);
    std::memcpy(storage.data() + kParamsOffset + at, &tag, sizeof tag);
  }

  // Values of the connected parameters: another block of the same layout.
  std::vector<unsigned char> values(static_cast<size_t>(blockSize));
  auto* connected = reinterpret_cast<ShaderParams*>(values.data());
  fillParams(in, f, *connected);
  connected->i_light = params->i_light;
  connected->n_light = params->n_light;
  for (int t = 0; t < tags; ++t) connected->light[t] = params->light[t];
  connections = {storage.data() + kParamsOffset, static_cast<size_t>(blockSize), values.data(),
                 in.ConsumeIntegralInRange<int>(0, 7) == 0};

  miState state{};
  state.version = MI_STATE_VERSION;
  state.type = static_cast<miRay_type>(in.ConsumeIntegralInRange<int>(0, miRAY_NO_TYPES - 1));
  state.normal = takeVector(f);
  state.dir = takeVector(f);
  state.point = {f.any(), f.any(), f.any()};
  state.shader = function;

  library.mi->reset();
  library.mi->setRecording(miFALSE);
  scriptRenderer(in, f);

  // Now and then the renderer hands over no module, or this library's own
  // handle: every lookup fails and the forwarders answer for a renderer with
  // nothing to offer.
  const int binding = in.ConsumeIntegralInRange<int>(0, 31);
  if (binding == 0) library.setModuleHandle(nullptr);
  const bool bound = binding != 0;

  const bool turnedAway = state.type == miRAY_SHADOW || state.type == miRAY_DISPLACE;
  const float reflectivity = effective(*function, &params->reflectivity, bound);
  const miInteger reflectSamples = effective(*function, &params->reflectSamples, bound);
  const bool reflects = !turnedAway && reflectivity > 0.0f && reflectSamples > 0;

  miColor result = {0.0f, 0.0f, 0.0f, f.any()};
  const miColor before = result;
  if (bound) gwfuzz::AllocationCounter::start();
  const miBoolean shaded = library.shade(&result, &state, params);
  const long allocations = bound ? gwfuzz::AllocationCounter::stop() : 0;

  if (turnedAway) {
    if (shaded != miFALSE) gwfuzz::fail("a shadow or displacement call was shaded");
    if (std::memcmp(&before, &result, sizeof result) != 0) {
      gwfuzz::fail("a shadow or displacement call touched the result");
    }
  } else {
    if (shaded != miTRUE) gwfuzz::fail("a shading call did not return miTRUE");
    if (result.a != 1.0f) gwfuzz::fail("alpha is not 1 after a shading call");
    if (f.wellScaled() && !finite(result)) gwfuzz::fail("finite inputs gave a non-finite colour");
  }
  if (allocations != 0) gwfuzz::fail("the shading call allocated");

  if (!bound) library.setModuleHandle(library.renderer);
  for (miInteger s = 0; reflects && s < reflectSamples; ++s) gw::randomUnitPair(reference);
  checkDrawsSoFar(reference);
  return 0;
}
