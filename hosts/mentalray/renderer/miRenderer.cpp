// Stand-in renderer module: the five shader interface functions, served by
// installed callbacks or by a script, with an optional call log. See
// miRenderer.h for the contract.
#include "miRenderer.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#if defined(__GNUC__) && !defined(_WIN32)
#define MI_RENDERER_EXPORT __attribute__((visibility("default")))
#else
#define MI_RENDERER_EXPORT DLLEXPORT
#endif

namespace {

struct LightScript {
  miTag tag;
  int count;
  int finalCount;
  MiLightSample samples[MI_RENDERER_MAX_SAMPLES];
};

// Everything a call reads. Written only while no entry point runs.
struct Script {
  MiRendererCallbacks callbacks;
  LightScript lights[MI_RENDERER_MAX_LIGHTS];
  int lightCount;
  MiTraceResult traces[MI_RENDERER_MAX_TRACES];
  int traceCount;
  MiTraceResult environment;
  miBoolean irradianceWrites;
  miColor irradiance;
  miBoolean irradianceReturns;
  const void* phenParms[MI_RENDERER_MAX_PHEN];
  void* phenValues[MI_RENDERER_MAX_PHEN];
  int phenCount;
};

Script script{};
std::atomic<unsigned> tracePosition{0};

std::atomic<bool> recording{true};
std::mutex logLock;
std::vector<MiCallRecord> callLog;
std::atomic<int> callCounts[MI_ENTRY_COUNT];
std::atomic<int> lookupCounts[MI_ENTRY_COUNT];

#if defined(__GNUC__)
#define MI_RENDERER_COLD __attribute__((noinline, cold))
#else
#define MI_RENDERER_COLD
#endif

// Appends the call to the log. Out of line, so that an entry point with
// recording off costs a test and its callback's call, not a frame of its own.
MI_RENDERER_COLD void logCall(MiEntry entry, const miState* state, const miColor* result,
                              const miVector* dir, miTag light, const miInteger* samples,
                              const void* parm) {
  MiCallRecord r{};
  r.entry = entry;
  r.state = state;
  if (state) {
    r.statePoint = state->point;
    r.stateNormal = state->normal;
  }
  if (result) r.resultIn = *result;
  if (dir) r.dir = *dir;
  r.light = light;
  if (samples) r.samplesIn = *samples;
  r.parm = parm;
  callCounts[entry].fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> guard(logLock);
  callLog.push_back(r);
}

inline void record(MiEntry entry, const miState* state, const miColor* result,
                   const miVector* dir, miTag light, const miInteger* samples, const void* parm) {
  if (recording.load(std::memory_order_relaxed))
    logCall(entry, state, result, dir, light, samples, parm);
}

miBoolean sampleLight(miColor* result, miVector* dir, miScalar* dotNl, miState* state, miTag light,
                      miInteger* samples) {
  record(MI_ENTRY_SAMPLE_LIGHT, state, result, nullptr, light, samples, nullptr);
  if (script.callbacks.sampleLight) {
    return script.callbacks.sampleLight(script.callbacks.user, result, dir, dotNl, state, light,
                                        samples);
  }
  for (int i = 0; i < script.lightCount; ++i) {
    const LightScript& l = script.lights[i];
    if (l.tag != light) continue;
    const int next = *samples;
    if (next >= 0 && next < l.count) {
      const MiLightSample& s = l.samples[next];
      *result = s.color;
      if (dir) *dir = s.dir;
      if (dotNl) *dotNl = s.dotNl;
      *samples = next + 1;
      return miTRUE;
    }
    *samples = l.finalCount;
    return miFALSE;
  }
  return miFALSE;
}

miBoolean traceReflection(miColor* result, miState* state, miVector* dir) {
  record(MI_ENTRY_TRACE_REFLECTION, state, result, dir, 0, nullptr, nullptr);
  if (script.callbacks.traceReflection) {
    return script.callbacks.traceReflection(script.callbacks.user, result, state, dir);
  }
  if (script.traceCount == 0) return miFALSE;
  const unsigned at = tracePosition.fetch_add(1, std::memory_order_relaxed);
  const MiTraceResult& t = script.traces[at % static_cast<unsigned>(script.traceCount)];
  if (t.hit) {
    *result = t.color;
    if (t.copiesBack) {
      state->point = t.point;
      state->normal = t.normal;
      state->dist = 1.0;
    }
  }
  return t.hit;
}

miBoolean traceEnvironment(miColor* result, miState* state, miVector* dir) {
  record(MI_ENTRY_TRACE_ENVIRONMENT, state, result, dir, 0, nullptr, nullptr);
  if (script.callbacks.traceEnvironment) {
    return script.callbacks.traceEnvironment(script.callbacks.user, result, state, dir);
  }
  if (script.environment.hit) *result = script.environment.color;
  return script.environment.hit;
}

miBoolean computeIrradiance(miColor* result, miState* state) {
  record(MI_ENTRY_COMPUTE_IRRADIANCE, state, result, nullptr, 0, nullptr, nullptr);
  if (script.callbacks.computeIrradiance) {
    return script.callbacks.computeIrradiance(script.callbacks.user, result, state);
  }
  if (script.irradianceWrites) *result = script.irradiance;
  return script.irradianceReturns;
}

void* phenEval(miState* state, void* parm) {
  record(MI_ENTRY_PHEN_EVAL, state, nullptr, nullptr, 0, nullptr, parm);
  if (script.callbacks.phenEval)
    return script.callbacks.phenEval(script.callbacks.user, state, parm);
  for (int i = 0; i < script.phenCount; ++i) {
    if (script.phenParms[i] == parm) return script.phenValues[i];
  }
  return parm;
}

// ---- control table ----

void reset() {
  script = Script{};
  tracePosition.store(0);
  recording.store(true);
  std::lock_guard<std::mutex> guard(logLock);
  callLog.clear();
  for (auto& c : callCounts) c.store(0);
  // Lookup counts describe the module's life, not a script: never reset.
}

void setRecording(miBoolean on) { recording.store(on != miFALSE); }

void setCallbacks(const MiRendererCallbacks* callbacks) {
  script.callbacks = callbacks ? *callbacks : MiRendererCallbacks{};
}

miBoolean setLightSamples(miTag light, const MiLightSample* samples, int count, int finalCount) {
  if (count < 0 || count > MI_RENDERER_MAX_SAMPLES || (count > 0 && !samples)) return miFALSE;
  LightScript* slot = nullptr;
  for (int i = 0; i < script.lightCount; ++i) {
    if (script.lights[i].tag == light) slot = &script.lights[i];
  }
  if (!slot) {
    if (script.lightCount == MI_RENDERER_MAX_LIGHTS) return miFALSE;
    slot = &script.lights[script.lightCount++];
  }
  slot->tag = light;
  slot->count = count;
  slot->finalCount = finalCount < 0 ? count : finalCount;
  if (count > 0)
    std::memcpy(slot->samples, samples, sizeof(MiLightSample) * static_cast<size_t>(count));
  return miTRUE;
}

miBoolean setTraceResults(const MiTraceResult* results, int count) {
  if (count < 0 || count > MI_RENDERER_MAX_TRACES || (count > 0 && !results)) return miFALSE;
  if (count > 0)
    std::memcpy(script.traces, results, sizeof(MiTraceResult) * static_cast<size_t>(count));
  script.traceCount = count;
  tracePosition.store(0);
  return miTRUE;
}

void setEnvironment(miBoolean hit, miColor color) {
  script.environment = MiTraceResult{};
  script.environment.hit = hit;
  script.environment.color = color;
}

void setIrradiance(miBoolean writes, miColor color, miBoolean returns) {
  script.irradianceWrites = writes;
  script.irradiance = color;
  script.irradianceReturns = returns;
}

miBoolean setPhenValue(const void* parm, void* value) {
  for (int i = 0; i < script.phenCount; ++i) {
    if (script.phenParms[i] == parm) {
      script.phenValues[i] = value;
      return miTRUE;
    }
  }
  if (script.phenCount == MI_RENDERER_MAX_PHEN) return miFALSE;
  script.phenParms[script.phenCount] = parm;
  script.phenValues[script.phenCount] = value;
  ++script.phenCount;
  return miTRUE;
}

int recordCount() {
  std::lock_guard<std::mutex> guard(logLock);
  return static_cast<int>(callLog.size());
}

miBoolean recordAt(int index, MiCallRecord* out) {
  std::lock_guard<std::mutex> guard(logLock);
  if (index < 0 || static_cast<size_t>(index) >= callLog.size() || !out) return miFALSE;
  *out = callLog[static_cast<size_t>(index)];
  return miTRUE;
}

int callCount(MiEntry entry) {
  if (entry < 0 || entry >= MI_ENTRY_COUNT) return 0;
  return callCounts[entry].load();
}

#if defined(__ELF__) && defined(__GLIBC__)
#define MI_RENDERER_COUNTS_LOOKUPS 1
#else
#define MI_RENDERER_COUNTS_LOOKUPS 0
#endif

int lookupCount(MiEntry entry) {
  if (!MI_RENDERER_COUNTS_LOOKUPS || entry < 0 || entry >= MI_ENTRY_COUNT) return -1;
  return lookupCounts[entry].load();
}

#if MI_RENDERER_COUNTS_LOOKUPS
// What each entry point's resolver does: count the lookup, answer the
// function that serves it.
template <MiEntry entry, class Fn>
Fn countedLookup(Fn fn) {
  lookupCounts[entry].fetch_add(1);
  return fn;
}
#endif

const MiRenderer control = {reset,           setRecording,   setCallbacks,  setLightSamples,
                            setTraceResults, setEnvironment, setIrradiance, setPhenValue,
                            recordCount,     recordAt,       callCount,     lookupCount};

}  // namespace

extern "C" {

MI_RENDERER_EXPORT const MiRenderer* miRendererControl(void) { return &control; }

#if MI_RENDERER_COUNTS_LOOKUPS
// Each entry point is a GNU indirect function: the loader runs its resolver on
// every lookup by name (dlsym included), which is where lookups are counted.
// The module never calls these names itself, so nothing resolves them at load.
// The resolvers have C linkage (and hidden visibility) so both compilers find
// them by these plain names.
using SampleLightFn = miBoolean (*)(miColor*, miVector*, miScalar*, miState*, miTag, miInteger*);
using TraceFn = miBoolean (*)(miColor*, miState*, miVector*);
using IrradianceFn = miBoolean (*)(miColor*, miState*);
using PhenEvalFn = void* (*)(miState*, void*);

SampleLightFn resolveSampleLight() {
  return countedLookup<MI_ENTRY_SAMPLE_LIGHT, SampleLightFn>(&sampleLight);
}
TraceFn resolveTraceReflection() {
  return countedLookup<MI_ENTRY_TRACE_REFLECTION, TraceFn>(&traceReflection);
}
TraceFn resolveTraceEnvironment() {
  return countedLookup<MI_ENTRY_TRACE_ENVIRONMENT, TraceFn>(&traceEnvironment);
}
IrradianceFn resolveComputeIrradiance() {
  return countedLookup<MI_ENTRY_COMPUTE_IRRADIANCE, IrradianceFn>(&computeIrradiance);
}
PhenEvalFn resolvePhenEval() { return countedLookup<MI_ENTRY_PHEN_EVAL, PhenEvalFn>(&phenEval); }

MI_RENDERER_EXPORT miBoolean mi_sample_light(miColor* const, miVector* const, miScalar* const,
                                             miState* const, const miTag, miInteger* const)
    __attribute__((ifunc("resolveSampleLight")));
MI_RENDERER_EXPORT miBoolean mi_trace_reflection(miColor*, miState*, miVector*)
    __attribute__((ifunc("resolveTraceReflection")));
MI_RENDERER_EXPORT miBoolean mi_trace_environment(miColor*, miState*, miVector*)
    __attribute__((ifunc("resolveTraceEnvironment")));
MI_RENDERER_EXPORT miBoolean mi_compute_irradiance(miColor*, miState*)
    __attribute__((ifunc("resolveComputeIrradiance")));
MI_RENDERER_EXPORT void* mi_phen_eval(miState*, void*) __attribute__((ifunc("resolvePhenEval")));
#else
MI_RENDERER_EXPORT miBoolean mi_sample_light(miColor* const result, miVector* const dir,
                                             miScalar* const dotNl, miState* const state,
                                             const miTag light, miInteger* const samples) {
  return sampleLight(result, dir, dotNl, state, light, samples);
}
MI_RENDERER_EXPORT miBoolean mi_trace_reflection(miColor* result, miState* state, miVector* dir) {
  return traceReflection(result, state, dir);
}
MI_RENDERER_EXPORT miBoolean mi_trace_environment(miColor* result, miState* state, miVector* dir) {
  return traceEnvironment(result, state, dir);
}
MI_RENDERER_EXPORT miBoolean mi_compute_irradiance(miColor* result, miState* state) {
  return computeIrradiance(result, state);
}
MI_RENDERER_EXPORT void* mi_phen_eval(miState* state, void* parm) { return phenEval(state, parm); }
#endif

}  // extern "C"
