// The shader library kl4v_glintWeave, loaded through the mental ray host's
// driver and called through its real export with a record laid out from its
// declaration, bound to the stand-in renderer module whose entry points do
// almost nothing (callbacks that hand out one fixed light sample or one fixed
// traced colour; recording off). Each shading benchmark has a floor beside it:
// the same single-precision libm calls and vector work that the shading
// cannot avoid, on the same arguments, with nothing of the call around them.
//
//   mr/lightSample      one call, one point light (one sample), no reflection
//   mr/reflectSample/k  one call, no light, k glossy reflection samples; per sample
//   mr/forwarded        a forwarding routine of the library after binding
//   mr/direct           the same renderer entry point through a plain pointer
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <mrhost.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "miRenderer.h"
#include "random.h"
#include "ratio_reporter.h"

namespace {

using TraceFn = miBoolean (*)(miColor*, miState*, miVector*);

void* symbolOrDie(void* handle, const char* name) {
  void* s = dlsym(handle, name);
  if (!s) {
    std::fprintf(stderr, "dlsym %s: %s\n", name, dlerror());
    std::abort();
  }
  return s;
}

template <class T>
std::unique_ptr<T> orDie(std::unique_ptr<T> loaded, const std::string& error) {
  if (!loaded) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::abort();
  }
  return loaded;
}

// ---- the stand-in renderer's entry points: next to nothing ----

const miVector kLightDir = {0.2357f, 0.3536f, 0.9054f};  // towards the light, about unit
const miColor kLightColor = {1.0f, 0.9f, 0.8f, 1.0f};
const miColor kTraced = {0.4f, 0.5f, 0.6f, 1.0f};

// A point light: one sample, then done.
miBoolean oneLightSample(void*, miColor* result, miVector* dir, miScalar* dotNl, miState*, miTag,
                         miInteger* samples) {
  if (*samples > 0) return miFALSE;
  *result = kLightColor;
  *dir = kLightDir;
  *dotNl = 0.5f;
  *samples = 1;
  return miTRUE;
}

miBoolean fixedHit(void*, miColor* result, miState*, miVector*) {
  *result = kTraced;
  return miTRUE;
}

miBoolean noEnvironment(void*, miColor*, miState*, miVector*) { return miFALSE; }

// Both libraries loaded and bound once per process: the shipped shader library,
// and the variant whose forwarding routines are exported so that one can be
// called on its own.
struct MentalRay {
  std::unique_ptr<mrhost::Renderer> renderer;
  std::unique_ptr<mrhost::ShaderLibrary> shipped, exposed;
  const MiRenderer* mi = nullptr;
  TraceFn forwardedEnvironment = nullptr;  // the library's forwarding routine
  TraceFn directEnvironment = nullptr;     // the renderer's own entry point

  MentalRay() {
    std::string error;
    renderer = orDie(mrhost::Renderer::load(GLINTWEAVE_MR_RENDERER, error), error);
    mi = renderer->control();
    shipped = orDie(mrhost::ShaderLibrary::load(GLINTWEAVE_MR_LIBRARY, error), error);
    shipped->bind(*renderer);
    // The variant is the same shader under another file name.
    mrhost::ShaderLibrary::Options options;
    options.declaration = shipped->declarationPath();
    options.shader = shipped->declaration().name;
    exposed = orDie(mrhost::ShaderLibrary::load(GLINTWEAVE_MR_EXPOSED_LIBRARY, options, error),
                    error);
    exposed->bind(*renderer);
    forwardedEnvironment =
        reinterpret_cast<TraceFn>(symbolOrDie(exposed->handle(), "mi_trace_environment"));
    directEnvironment =
        reinterpret_cast<TraceFn>(symbolOrDie(renderer->handle(), "mi_trace_environment"));
  }
};

// The renderer module is shared with anything else in the process that loads
// it (the preview renderer does): each run installs its entry points afresh.
const MentalRay& mentalRay() {
  static const MentalRay m;
  m.mi->reset();
  m.mi->setRecording(miFALSE);
  MiRendererCallbacks cb{};
  cb.sampleLight = oneLightSample;
  cb.traceReflection = fixedHit;
  cb.traceEnvironment = noEnvironment;
  m.mi->setCallbacks(&cb);
  return m;
}

// The material every benchmark shades with.
struct BenchMaterial {
  miColor color{0.8f, 0.6f, 0.4f, 1.0f};
  float diffuse = 0.8f, specularU = 30.0f, specularV = 3.0f, specularPower = 0.5f;
};
constexpr BenchMaterial kMaterial{};

// One shader call as the renderer lays it out (the driver's record and
// block), with the state pointing at the record.
struct ShaderCall {
  mrhost::ShaderCall record;
  miState state{};
  miColor result{};

  explicit ShaderCall(const mrhost::ShaderLibrary& lib, float reflectivity = 0.0f,
                      int reflectSamples = 0, miTag light = 0)
      : record(lib, 1) {
    state.version = MI_STATE_VERSION;
    state.type = miRAY_EYE;
    state.dir = {0.0f, 0.0f, -1.0f};
    state.normal = {0.1f, 0.2f, 0.97f};
    state.point = {1.0f, 2.0f, 3.0f};
    state.shader = record.function();
    std::string error;
    const bool ok = record.setColor("color", kMaterial.color, error) &&
                    record.setColor("ambientColor", {0.05f, 0.05f, 0.05f, 1.0f}, error) &&
                    record.setColor("incandescence", {0.0f, 0.0f, 0.0f, 1.0f}, error) &&
                    record.setScalar("diffuse", kMaterial.diffuse, error) &&
                    record.setScalar("specularU", kMaterial.specularU, error) &&
                    record.setScalar("specularV", kMaterial.specularV, error) &&
                    record.setScalar("specularPower", kMaterial.specularPower, error) &&
                    record.setScalar("reflectivity", reflectivity, error) &&
                    record.setInteger("reflectSamples", reflectSamples, error) &&
                    record.setColor("indirectColor", {1.0f, 1.0f, 1.0f, 1.0f}, error) &&
                    record.setScalar("indirectIntensity", 1.0f, error) &&
                    record.setTags("light", &light, light ? 1 : 0, error);
    if (!ok) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::abort();
    }
  }
  void shade() {
    result = {0.0f, 0.0f, 0.0f, 0.0f};
    record.call(&result, &state);
  }
};

// ---- floors: the arithmetic one call cannot avoid ----

inline float dot(const miVector& a, const miVector& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline miVector cross(const miVector& a, const miVector& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline miVector scaled(const miVector& v, float s) { return {v.x * s, v.y * s, v.z * s}; }
inline float clamp01(float x) { return x < 0.0f ? 0.0f : (x > 1.0f ? 1.0f : x); }

// What the shading of any call needs before its first sample: the unit
// normal and the two tangents.
struct FloorFrame {
  miVector n, u, w;
};
inline FloorFrame floorFrame(const miVector& normal) {
  FloorFrame f;
  f.n = scaled(normal, 1.0f / std::sqrt(dot(normal, normal)));
  const float inv = 1.0f / std::sqrt(f.n.z * f.n.z + f.n.x * f.n.x);
  f.u = {f.n.z * inv, 0.0f, -f.n.x * inv};
  const miVector w = cross(f.u, f.n);
  f.w = scaled(w, 1.0f / std::sqrt(dot(w, w)));
  return f;
}

struct LightFloorInputs {
  miVector normal, dir, l;
  miColor lc, color;
  float rd, rs, nu, nv;
};

void lightSampleFloor(benchmark::State& state) {
  const ShaderCall call(*mentalRay().shipped);
  const BenchMaterial& p = kMaterial;
  LightFloorInputs in{call.state.normal, call.state.dir,  kLightDir,   kLightColor, p.color,
                      p.diffuse,         p.specularPower, p.specularU, p.specularV};
  for (auto _ : state) {
    benchmark::DoNotOptimize(&in);  // the inputs are re-read every time
    benchmark::ClobberMemory();
    const FloorFrame f = floorFrame(in.normal);
    const miVector v = {-in.dir.x, -in.dir.y, -in.dir.z};
    const miVector& l = in.l;
    const float c = dot(f.n, l);
    miVector h = {l.x + v.x, l.y + v.y, l.z + v.z};
    h = scaled(h, 1.0f / std::sqrt(dot(h, h)));
    const float nh = clamp01(dot(f.n, h)), nl = clamp01(c), nv = clamp01(dot(f.n, v));
    const float hl = clamp01(dot(h, l)), hv = clamp01(dot(h, v));
    const float hu = dot(h, f.u), hw = dot(h, f.w);
    const float viewFactor = 1.0f - std::pow(1.0f - nv * 0.5f, 5.0f);  // enters twice
    const float kd = 28.0f * in.rd / 23.0f * (1.0f - in.rs) *
                     (1.0f - std::pow(1.0f - nl * 0.5f, 5.0f)) * viewFactor * viewFactor;
    const float e = (in.nu * hu * hu + in.nv * hw * hw) / (1.0f - nh * nh);
    const float fresnel = in.rs + (1.0f - in.rs) * std::pow(1.0f - dot(h, l), 5.0f);
    const float ks = c * std::sqrt((in.nu + 1.0f) * (in.nv + 1.0f)) /
                     ((hv > hl ? hv : hl) * (nv > nl ? nv : nl) * 25.132742f) * std::pow(nh, e) *
                     fresnel;
    miColor out = {in.lc.r * kd * in.color.r + in.lc.r * ks,
                   in.lc.g * kd * in.color.g + in.lc.g * ks,
                   in.lc.b * kd * in.color.b + in.lc.b * ks, 1.0f};
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
}

void lightSampleOurs(benchmark::State& state) {
  ShaderCall call(*mentalRay().shipped, 0.0f, 0, 7);
  call.shade();  // binds the entry points
  for (auto _ : state) {
    call.shade();
    benchmark::DoNotOptimize(call.result);
  }
  state.SetItemsProcessed(state.iterations());
}

// The numbers the reflection floor draws its directions from: the generator's
// own output, so the libm calls see the same kind of arguments.
struct UnitTable {
  static constexpr unsigned kSize = 1024;  // a power of two
  float u1[kSize], u2[kSize];
  UnitTable() {
    std::mt19937 mt(gw::kDefaultSeed);
    for (unsigned i = 0; i < kSize; ++i) {
      u1[i] = gw::unitFromUint32(static_cast<uint32_t>(mt()));
      u2[i] = gw::unitFromUint32(static_cast<uint32_t>(mt()));
    }
  }
};

inline float lobeAzimuth(float d, float x) { return std::atan(d * std::tan(1.5707964f * x)); }

void reflectSampleFloor(benchmark::State& state) {
  static const UnitTable table;
  const int samples = static_cast<int>(state.range(0));
  const ShaderCall call(*mentalRay().shipped);
  const BenchMaterial& p = kMaterial;
  struct {
    miVector normal, dir;
    float nu, nv, rs;
    miColor traced;
  } in{call.state.normal, call.state.dir, p.specularU, p.specularV, p.specularPower, kTraced};
  unsigned next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(&in);
    benchmark::ClobberMemory();
    const FloorFrame f = floorFrame(in.normal);
    const miVector v = {-in.dir.x, -in.dir.y, -in.dir.z};
    const miVector b = cross(f.n, f.u);
    float sum[3] = {0.0f, 0.0f, 0.0f};
    for (int s = 0; s < samples; ++s) {
      const float u1 = table.u1[next], u2 = table.u2[next];
      next = (next + 1) & (UnitTable::kSize - 1);
      const float d = std::sqrt((in.nu + 1.0f) / (in.nv + 1.0f));
      float phi;
      if (u1 < 0.25f)
        phi = lobeAzimuth(d, 4.0f * u1);
      else if (u1 < 0.5f)
        phi = 3.1415927f - lobeAzimuth(d, 1.0f - 4.0f * (0.5f - u1));
      else if (u1 < 0.75f)
        phi = lobeAzimuth(d, 4.0f * (u1 - 0.5f)) + 3.1415927f;
      else
        phi = 6.2831855f - lobeAzimuth(d, 1.0f - 4.0f * (1.0f - u1));
      const float cp = std::cos(phi), sp = std::sin(phi);
      const float cosTheta = std::pow(u2, 1.0f / (in.nu * cp * cp + in.nv * sp * sp + 1.0f));
      const float sinTheta = std::sqrt(1.0f - cosTheta * cosTheta);
      const float a = sinTheta * cp, c = sinTheta * sp;
      const miVector hs = {a * f.u.x + c * b.x + cosTheta * f.n.x,
                           a * f.u.y + c * b.y + cosTheta * f.n.y,
                           a * f.u.z + c * b.z + cosTheta * f.n.z};
      const float twiceVh = 2.0f * dot(v, hs);
      miVector r = {twiceVh * hs.x - v.x, twiceVh * hs.y - v.y, twiceVh * hs.z - v.z};
      benchmark::DoNotOptimize(r);  // handed to the tracer
      const float fresnel = in.rs + (1.0f - in.rs) * std::pow(1.0f - dot(hs, v), 5.0f);
      sum[0] += in.rs * in.traced.r * fresnel * 5.0f;
      sum[1] += in.rs * in.traced.g * fresnel * 5.0f;
      sum[2] += in.rs * in.traced.b * fresnel * 5.0f;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * samples);
}

void reflectSampleOurs(benchmark::State& state) {
  const int samples = static_cast<int>(state.range(0));
  ShaderCall call(*mentalRay().shipped, 0.5f, samples);
  call.shade();  // binds; seeds this thread's generator
  for (auto _ : state) {
    call.shade();
    benchmark::DoNotOptimize(call.result);
  }
  state.SetItemsProcessed(state.iterations() * samples);
}

// ---- a forwarded call against a direct call of the same entry point ----

template <bool Forwarded>
void environmentCall(benchmark::State& state) {
  const MentalRay& m = mentalRay();
  const TraceFn fn = Forwarded ? m.forwardedEnvironment : m.directEnvironment;
  ShaderCall call(*m.shipped);
  miVector dir = {0.0f, 0.0f, 1.0f};
  miColor color{};
  fn(&color, &call.state, &dir);  // binds the forwarder's slot
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn(&color, &call.state, &dir));
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(lightSampleOurs)->Name("mr/lightSample/shader");
BENCHMARK(lightSampleFloor)->Name("mr/lightSample/floor");
BENCHMARK(reflectSampleOurs)->Name("mr/reflectSample/shader")->Arg(1)->Arg(8);
BENCHMARK(reflectSampleFloor)->Name("mr/reflectSample/floor")->Arg(1)->Arg(8);
BENCHMARK(environmentCall<true>)->Name("mr/call/forwarded");
BENCHMARK(environmentCall<false>)->Name("mr/call/direct");

const bool registered = [] {
  gwbench::addRatio("mr/lightSample/shader", "mr/lightSample/floor", 1.5);
  gwbench::addRatio("mr/reflectSample/shader", "mr/reflectSample/floor", 1.5);
  gwbench::addRatio("mr/call/forwarded", "mr/call/direct", 1.1, 1.0);
  return true;
}();

}  // namespace
