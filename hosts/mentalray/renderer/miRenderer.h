/*
 * Stand-in renderer module: a shared library that exports the renderer's five
 * shader interface functions (mi_sample_light, mi_trace_reflection,
 * mi_trace_environment, mi_compute_irradiance, mi_phen_eval) and lets a test
 * or a small renderer decide what each of them does.
 *
 * Loading, as the renderer does with a shader library:
 *
 *   void* renderer = dlopen(path, RTLD_NOW | RTLD_LOCAL);
 *   const MiRenderer* mi = miRendererFrom(renderer);     // this module's control table
 *   void* shaderLib = dlopen("kl4v_glintWeave.so", RTLD_NOW | RTLD_LOCAL);
 *   miSetModuleHandle(renderer);   // looked up in shaderLib; the library binds by name here
 *
 * Each entry point serves a call in one of two ways:
 *
 * 1. Callbacks. `setCallbacks` installs function pointers plus one user
 *    pointer. An installed callback receives every call of its entry point with
 *    the shader's arguments unchanged. A tracing callback typically shades its
 *    hit by copying the state it is given into a child state (parent/child
 *    linked, type miRAY_REFLECT or miRAY_ENVIRONMENT, level raised, point,
 *    normal and dir of the hit filled in) and calling the material shader
 *    again with that child state; the module itself keeps no per-call state,
 *    so this may recurse and may run on many threads at once.
 *
 * 2. Script, for entry points without a callback:
 *    - mi_sample_light: the samples set with `setLightSamples` for that light
 *      tag are handed out one per call, *samples being the index of the next
 *      one; when they are used up *samples is set to the light's final count
 *      (which may exceed the samples delivered, as for shadowed area-light
 *      samples) and the call returns miFALSE. Unknown tags return miFALSE with
 *      *samples untouched.
 *    - mi_trace_reflection: the outcomes set with `setTraceResults` are used
 *      in turn, cycling (a process-wide atomic position); none set = miss,
 *      miFALSE with the colour untouched. An outcome may copy its hit's point
 *      and normal back into the caller's state, as the renderer does.
 *    - mi_trace_environment: `setEnvironment`'s answer; default miFALSE.
 *    - mi_compute_irradiance: `setIrradiance`'s colour is written when asked
 *      for, and its return value returned; default: nothing written, miFALSE.
 *    - mi_phen_eval: the value address mapped with `setPhenValue` for that
 *      parameter address, otherwise the parameter's own address.
 *
 * Recording (on after `reset`): each call appends a record to a log kept
 * under a lock, and counts per entry point. Switch it off with
 * `setRecording(miFALSE)` for renders and benchmarks: then, with callbacks or
 * script in place, the call path reads only configuration and writes nothing
 * shared (the trace-result position excepted, which is atomic).
 *
 * Threads: configure (reset, set*, setCallbacks, setRecording) only while no
 * entry point is running; after that any number of threads may call the
 * entry points at once. The readers of the log (recordCount, record,
 * callCount, lookupCount) are safe at any time.
 *
 * Lookups: where the platform can run code on a symbol lookup (GNU indirect
 * functions), the module counts how often each entry point's address was
 * looked up by name; `lookupCount` reports it, or -1 where the count is
 * unavailable.
 */
#ifndef GLINTWEAVE_MI_RENDERER_H
#define GLINTWEAVE_MI_RENDERER_H

#include <shader.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum MiEntry {
  MI_ENTRY_SAMPLE_LIGHT,
  MI_ENTRY_TRACE_REFLECTION,
  MI_ENTRY_TRACE_ENVIRONMENT,
  MI_ENTRY_COMPUTE_IRRADIANCE,
  MI_ENTRY_PHEN_EVAL,
  MI_ENTRY_COUNT
} MiEntry;

typedef struct MiRendererCallbacks {
  void* user; /* handed to every callback as its first argument */
  miBoolean (*sampleLight)(void* user, miColor* result, miVector* dir, miScalar* dotNl,
                           miState* state, miTag light, miInteger* samples);
  miBoolean (*traceReflection)(void* user, miColor* result, miState* state, miVector* dir);
  miBoolean (*traceEnvironment)(void* user, miColor* result, miState* state, miVector* dir);
  miBoolean (*computeIrradiance)(void* user, miColor* result, miState* state);
  void* (*phenEval)(void* user, miState* state, void* parm);
} MiRendererCallbacks;

typedef struct MiLightSample {
  miColor color;  /* light colour after shadowing */
  miVector dir;   /* unit direction towards the light */
  miScalar dotNl; /* the cosine written to the caller's dot_nl */
} MiLightSample;

typedef struct MiTraceResult {
  miBoolean hit;
  miColor color; /* written only when hit */
  /* When set, a hit copies the hit's point and normal (and a distance of 1)
   * back into the state it was given, as the renderer's tracing does. */
  miBoolean copiesBack;
  miVector point;
  miVector normal;
} MiTraceResult;

/* One recorded call, with what the caller handed in at that moment. */
typedef struct MiCallRecord {
  MiEntry entry;
  const miState* state; /* the state pointer passed */
  miVector statePoint;  /* state->point on entry */
  miVector stateNormal; /* state->normal on entry */
  miColor resultIn;     /* *result on entry (zero for mi_phen_eval) */
  miVector dir;         /* direction argument of the traces */
  miTag light;          /* mi_sample_light: the light tag */
  miInteger samplesIn;  /* mi_sample_light: *samples on entry */
  const void* parm;     /* mi_phen_eval: the parameter address */
} MiCallRecord;

enum {
  MI_RENDERER_MAX_LIGHTS = 32,
  MI_RENDERER_MAX_SAMPLES = 64,
  MI_RENDERER_MAX_TRACES = 64,
  MI_RENDERER_MAX_PHEN = 64
};

/* The module's control table, returned by its one extra export. */
typedef struct MiRenderer {
  /* Forget script, callbacks, log and counts; recording on. */
  void (*reset)(void);
  void (*setRecording)(miBoolean on);
  /* Copies *callbacks; NULL removes them all. NULL members leave the script. */
  void (*setCallbacks)(const MiRendererCallbacks* callbacks);
  /* finalCount < 0 means "the number of samples". Returns miFALSE when full. */
  miBoolean (*setLightSamples)(miTag light, const MiLightSample* samples, int count,
                               int finalCount);
  miBoolean (*setTraceResults)(const MiTraceResult* results, int count);
  void (*setEnvironment)(miBoolean hit, miColor color);
  void (*setIrradiance)(miBoolean writes, miColor color, miBoolean returns);
  miBoolean (*setPhenValue)(const void* parm, void* value);
  int (*recordCount)(void);
  miBoolean (*record)(int index, MiCallRecord* out);
  int (*callCount)(MiEntry entry);
  int (*lookupCount)(MiEntry entry); /* -1 when lookups cannot be counted */
} MiRenderer;

#define MI_RENDERER_TABLE_SYMBOL "miRendererControl"
typedef const MiRenderer* (*MiRendererControlFn)(void);

#ifndef _WIN32
#include <dlfcn.h>
/* The control table of the module loaded at `handle`, or NULL. */
static inline const MiRenderer* miRendererFrom(void* handle) {
  void* fn = dlsym(handle, MI_RENDERER_TABLE_SYMBOL);
  return fn ? ((MiRendererControlFn)fn)() : NULL;
}
#endif

#ifdef __cplusplus
}
#endif

#endif /* GLINTWEAVE_MI_RENDERER_H */
