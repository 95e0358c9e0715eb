// Fuzz target for the shader library kl4v_glintWeave, driven through its real
// exports: the library and the stand-in renderer module are loaded through
// the mental ray host's driver, the renderer's handle is handed over with
// miSetModuleHandle, and each input becomes one shading call laid out by the
// driver from the declaration as the renderer lays it out (shader record,
// parameter block with its light tags, ghost tags), with the renderer's
// scripted answers also taken from the input.
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
#include <mrhost.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "fuzzCommon.h"
#include "miRenderer.h"
#include "random.h"
#include "reflectance.h"

namespace {

constexpr int kMaxTags = 16;
constexpr int kMaxLights = 4;           // distinct tags the renderer knows
constexpr int kMaxLightSamples = 6;     // samples scripted per light
constexpr int kMaxTraceResults = 8;     // scripted trace outcomes, cycled
constexpr int kMaxReflectSamples = 48;  // keeps one input fast

// The block's fields, resolved once from the driver's layout.
struct Fields {
  const mrhost::BlockField *color, *ambientColor, *incandescence, *normalOffset, *diffuse,
      *specularU, *specularV, *specularPower, *reflectivity, *reflectSamples, *indirect,
      *indirectColor, *indirectIntensity, *light;
};

struct Library {
  std::unique_ptr<mrhost::Renderer> renderer;
  std::unique_ptr<mrhost::ShaderLibrary> shader;
  const MiRenderer* mi = nullptr;
  Fields fields{};
  // End of the last field the evaluation rule looks at, the first light tag.
  int evaluatedEnd = 0;
};

Library library;

template <class T>
T& at(unsigned char* block, const mrhost::BlockField* f) {
  return *reinterpret_cast<T*>(block + f->offset);
}
miInteger& firstLight(unsigned char* block) { return at<miInteger>(block, library.fields.light); }
miInteger& lightCount(unsigned char* block) {
  return *reinterpret_cast<miInteger*>(block + library.fields.light->offset + sizeof(miInteger));
}
miTag* lightTags(unsigned char* block) {
  return reinterpret_cast<miTag*>(block + library.fields.light->offset + 2 * sizeof(miInteger));
}

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
  std::unique_ptr<mrhost::ShaderCall> call;
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
  mrhost::ShaderCall& call = *probe.call;
  unsigned char* params = reinterpret_cast<unsigned char*>(call.block());
  const Fields& fs = library.fields;
  at<miColor>(params, fs.color) = {1.0f, 1.0f, 1.0f, 1.0f};
  at<miScalar>(params, fs.specularU) = kProbeExponent;
  at<miScalar>(params, fs.specularV) = kProbeExponent;
  at<miScalar>(params, fs.specularPower) = 0.5f;
  at<miScalar>(params, fs.reflectivity) = 1.0f;
  at<miInteger>(params, fs.reflectSamples) = 1;
  miState state{};
  state.version = MI_STATE_VERSION;
  state.type = miRAY_EYE;
  state.normal = {0.0f, 0.0f, 1.0f};
  state.dir = {0.0f, 0.0f, -1.0f};
  MiRendererCallbacks callbacks{};
  callbacks.traceReflection = probeTrace;
  library.mi->setCallbacks(&callbacks);
  probe.traces = 0;
  miColor result{};
  call.call(&result, &state);
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
void fillParams(FuzzedDataProvider& in, gwfuzz::FloatSource& f, unsigned char* p) {
  const Fields& fs = library.fields;
  at<miColor>(p, fs.color) = takeColor(f);
  at<miColor>(p, fs.ambientColor) = takeColor(f);
  at<miColor>(p, fs.incandescence) = takeColor(f);
  at<miVector>(p, fs.normalOffset) = takeVector(f);
  at<miScalar>(p, fs.diffuse) = f.next();
  at<miScalar>(p, fs.specularU) = f.nextExponent();
  at<miScalar>(p, fs.specularV) = f.nextExponent();
  at<miScalar>(p, fs.specularPower) = f.next();
  at<miScalar>(p, fs.reflectivity) = f.next();
  at<miInteger>(p, fs.reflectSamples) =
      in.ConsumeBool() ? in.ConsumeIntegralInRange<miInteger>(-2, kMaxReflectSamples)
                       : in.ConsumeIntegralInRange<miInteger>(-1, 3);
  miBoolean& indirect = at<miBoolean>(p, fs.indirect);
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      indirect = miFALSE;
      break;
    case 1:
      indirect = miTRUE;
      break;
    default:
      indirect = in.ConsumeIntegral<miBoolean>();
      break;
  }
  at<miColor>(p, fs.indirectColor) = takeColor(f);
  at<miScalar>(p, fs.indirectIntensity) = f.next();
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
  std::string error;
  library.renderer = mrhost::Renderer::load(GLINTWEAVE_MR_RENDERER, error);
  if (library.renderer) library.shader = mrhost::ShaderLibrary::load(GLINTWEAVE_MR_LIBRARY, error);
  if (!library.shader) {
    std::fprintf(stderr, "mentalray_fuzz: %s\n", error.c_str());
    std::exit(2);
  }
  library.mi = library.renderer->control();
  const mrhost::BlockLayout& layout = library.shader->layout();
  const mrhost::BlockField** slots[] = {
      &library.fields.color,        &library.fields.ambientColor,  &library.fields.incandescence,
      &library.fields.normalOffset, &library.fields.diffuse,       &library.fields.specularU,
      &library.fields.specularV,    &library.fields.specularPower, &library.fields.reflectivity,
      &library.fields.reflectSamples, &library.fields.indirect,    &library.fields.indirectColor,
      &library.fields.indirectIntensity, &library.fields.light};
  const char* names[] = {"color",         "ambientColor",   "incandescence", "normalOffset",
                         "diffuse",       "specularU",      "specularV",     "specularPower",
                         "reflectivity",  "reflectSamples", "indirect",      "indirectColor",
                         "indirectIntensity", "light"};
  for (size_t i = 0; i < std::size(names); ++i) {
    if (!(*slots[i] = layout.find(names[i]))) {
      std::fprintf(stderr, "mentalray_fuzz: the declaration has no \"%s\"\n", names[i]);
      std::exit(2);
    }
  }
  library.evaluatedEnd =
      static_cast<int>(library.fields.light->offset + 2 * sizeof(miInteger) + sizeof(miTag));
  probe.call = std::make_unique<mrhost::ShaderCall>(*library.shader, 1);
  library.shader->bind(*library.renderer);
  gwfuzz::AllocationCounter::install();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  gwfuzz::FloatSource f(in, in.ConsumeBool());

  // Layout: the driver's record with room for `tags` light tags past the
  // block, and the ghost tags where the ghost offset says: a mirror of the
  // block, or any offset that keeps them inside the record.
  const int tags = in.ConsumeIntegralInRange<int>(1, kMaxTags);
  mrhost::ShaderCall call(*library.shader, static_cast<size_t>(tags));
  const int blockSize = static_cast<int>(call.blockSize());
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
      ghost = in.ConsumeIntegralInRange<int>(1, blockSize);
      break;
  }
  const int area = ghost == 0 ? blockSize : std::max(blockSize, ghost + library.evaluatedEnd);
  miFunction* function = call.function();
  unsigned char* params = reinterpret_cast<unsigned char*>(call.block());
  function->ghost_offs = ghost;
  fillParams(in, f, params);
  firstLight(params) = in.ConsumeIntegralInRange<miInteger>(0, tags - 1);
  lightCount(params) = in.ConsumeIntegralInRange<miInteger>(-1, tags - firstLight(params));
  for (int t = 0; t < tags; ++t) {
    lightTags(params)[t] = in.ConsumeIntegralInRange<miTag>(0, kMaxLights + 1);
  }
  for (int a = blockSize; a + 4 <= area; a += 4) {
    const miTag tag = in.ConsumeBool() ? 0u : in.ConsumeIntegralInRange<miTag>(1, 9);
    std::memcpy(params + a, &tag, sizeof tag);
  }

  // Values of the connected parameters: another block of the same layout.
  std::vector<unsigned char> values(static_cast<size_t>(blockSize));
  unsigned char* connected = values.data();
  fillParams(in, f, connected);
  firstLight(connected) = firstLight(params);
  lightCount(connected) = lightCount(params);
  for (int t = 0; t < tags; ++t) lightTags(connected)[t] = lightTags(params)[t];
  connections = {params, static_cast<size_t>(blockSize), values.data(),
                 in.ConsumeIntegralInRange<int>(0, 7) == 0};

  miState state{};
  state.version = MI_STATE_VERSION;
  state.type = static_cast<miRay_type>(in.ConsumeIntegralInRange<int>(0, miRAY_NO_TYPES - 1));
  state.normal = takeVector(f);
  state.dir = takeVector(f);
  state.point = {f.any(), f.any(), f.any()};

  library.mi->reset();
  library.mi->setRecording(miFALSE);
  scriptRenderer(in, f);

  // Now and then the renderer hands over no module, or this library's own
  // handle: every lookup fails and the forwarders answer for a renderer with
  // nothing to offer.
  const int binding = in.ConsumeIntegralInRange<int>(0, 31);
  if (binding == 0) library.shader->bind(nullptr);
  const bool bound = binding != 0;

  const bool turnedAway = state.type == miRAY_SHADOW || state.type == miRAY_DISPLACE;
  const float reflectivity =
      effective(*function, &at<miScalar>(params, library.fields.reflectivity), bound);
  const miInteger reflectSamples =
      effective(*function, &at<miInteger>(params, library.fields.reflectSamples), bound);
  const bool reflects = !turnedAway && reflectivity > 0.0f && reflectSamples > 0;

  miColor result = {0.0f, 0.0f, 0.0f, f.any()};
  const miColor before = result;
  if (bound) gwfuzz::AllocationCounter::start();
  const miBoolean shaded = call.call(&result, &state);
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

  if (!bound) library.shader->bind(*library.renderer);
  for (miInteger s = 0; reflects && s < reflectSamples; ++s) gw::randomUnitPair(reference);
  checkDrawsSoFar(reference);
  return 0;
}
