// Binding to the renderer's shader interface functions. The library links
// against nothing of the renderer's: each of the five functions it calls has
// a forwarding routine here under the function's own name, which looks the
// real entry point up by name in the module the renderer handed over through
// miSetModuleHandle, keeps its address in a table slot and calls it.
//
// Threads: the handle and the slots are atomic pointer-sized values. A bound
// call costs one acquire load, a test and a jump to the entry point. Threads that find a slot
// empty at the same moment each look the name up and store the same address.
// A module handed over while other threads shade: every call sees a whole
// address, of the previous module or of the new one, and finishes in the
// module it found. Once the lookups that were in flight at the hand-over
// have finished, each slot is empty or holds an address of the new module:
// a lookup that raced with the hand-over does not stay bound.
#include <shader.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "exports.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

// One slot per interface function of the renderer, in its own numbering
// (kEntrySlots of them); the library fills only the five it calls.
enum EntrySlot : int {
  kComputeIrradianceSlot = 66,
  kTraceReflectionSlot = 86,
  kTraceEnvironmentSlot = 89,
  kSampleLightSlot = 104,
  kPhenEvalSlot = 115,
  kEntrySlots = 668
};

std::atomic<void*> dl_handle{nullptr};
std::atomic<void*> rendererEntryTable[kEntrySlots];

// The forwarders define the functions shader.h declares, so their parameter
// types are the header's. The traces' direction is `miVector *` in the 3.5
// and 3.6 headers and `const miVector *` from 3.8 on (same ABI, so one
// binary serves both); it is taken from the declaration in use rather than
// from the version macros. The other three agree across versions.
template <class Function>
struct TraceSignature;
template <class Result, class Color, class State, class Direction>
struct TraceSignature<Result(Color, State, Direction)> {
  using DirectionPtr = Direction;
};
using ReflectionDirection = TraceSignature<decltype(mi_trace_reflection)>::DirectionPtr;
using EnvironmentDirection = TraceSignature<decltype(mi_trace_environment)>::DirectionPtr;

using SampleLightFn = miBoolean (*)(miColor*, miVector*, miScalar*, miState*, miTag, miInteger*);
using TraceReflectionFn = decltype(&mi_trace_reflection);
using TraceEnvironmentFn = decltype(&mi_trace_environment);
using IrradianceFn = miBoolean (*)(miColor*, miState*);
using PhenEvalFn = void* (*)(miState*, void*);

bool isOwnForwarder(const void* address);

#if defined(__GNUC__)
#define GW_MI_COLD __attribute__((noinline, cold))
#define GW_MI_LIKELY(x) __builtin_expect(!!(x), 1)
#else
#define GW_MI_COLD
#define GW_MI_LIKELY(x) (x)
#endif

// Looks `name` up in the renderer's module; returns the address stored in
// `slot`, or null after reporting the failure.
GW_MI_COLD void* bindEntry(int slot, const char* name) {
  void* const handle = dl_handle.load(std::memory_order_acquire);
  if (!handle) std::fprintf(stderr, "DYNLOAD: dl_handle null\n");
#ifdef _WIN32
  void* address = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
  int error = address ? 0 : static_cast<int>(GetLastError());
#else
  // dlsym has no error number of its own; errno is the closest there is.
  errno = 0;
  void* address = dlsym(handle, name);
  int error = address ? 0 : errno;
#endif
  // Finding our own forwarder (a process-wide lookup, or a handle to this
  // library) would make every call call itself forever: treat it as not found.
  if (address && isOwnForwarder(address)) address = nullptr;
  if (!address) {
    const auto low32 =
        static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle) & 0xFFFFFFFFu);
    std::fprintf(stderr, "dlsym failed on \"%s\" (handle: %08x error: %d)\n", name, low32, error);
    return nullptr;
  }
  // miSetModuleHandle may have handed over another module while the name was
  // being looked up, and emptied the table before the store above: an
  // address from the previous module must not stay bound after it. This call
  // still uses it. Sequentially consistent on both sides: either the re-read
  // sees the new handle, or the hand-over's clearing comes after our store.
  rendererEntryTable[slot].store(address, std::memory_order_seq_cst);
  if (dl_handle.load(std::memory_order_seq_cst) != handle) {
    void* bound = address;
    rendererEntryTable[slot].compare_exchange_strong(bound, nullptr, std::memory_order_seq_cst);
  }
  return address;
}

// The first call of each forwarder, and every call while its entry point
// cannot be found: binds, then calls the entry point or gives the answer of a
// renderer with nothing to offer. Kept out of line with all of the caller's
// arguments, so that a bound forwarder needs no stack frame and reduces to a
// load, a test and a jump.

GW_MI_COLD miBoolean sampleLightUnbound(miColor* result, miVector* dir, miScalar* dot_nl,
                                        miState* state, miTag light_inst, miInteger* samples) {
  void* const entry = bindEntry(kSampleLightSlot, "mi_sample_light");
  if (!entry) return miFALSE;  // no samples: the light adds nothing
  return reinterpret_cast<SampleLightFn>(entry)(result, dir, dot_nl, state, light_inst, samples);
}

GW_MI_COLD miBoolean traceReflectionUnbound(miColor* result, miState* state,
                                            ReflectionDirection direction) {
  void* const entry = bindEntry(kTraceReflectionSlot, "mi_trace_reflection");
  if (!entry) return miFALSE;  // not cast: the caller falls back to the environment
  return reinterpret_cast<TraceReflectionFn>(entry)(result, state, direction);
}

GW_MI_COLD miBoolean traceEnvironmentUnbound(miColor* result, miState* state,
                                             EnvironmentDirection direction) {
  void* const entry = bindEntry(kTraceEnvironmentSlot, "mi_trace_environment");
  if (!entry) return miFALSE;  // no environment colour
  return reinterpret_cast<TraceEnvironmentFn>(entry)(result, state, direction);
}

GW_MI_COLD miBoolean computeIrradianceUnbound(miColor* result, miState* state) {
  void* const entry = bindEntry(kComputeIrradianceSlot, "mi_compute_irradiance");
  if (!entry) {
    result->r = result->g = result->b = 0.0f;  // no irradiance: black
    return miFALSE;
  }
  return reinterpret_cast<IrradianceFn>(entry)(result, state);
}

GW_MI_COLD void* phenEvalUnbound(miState* state, void* parm) {
  void* const entry = bindEntry(kPhenEvalSlot, "mi_phen_eval");
  if (!entry) return parm;  // nothing evaluates it: the value in the block is used
  return reinterpret_cast<PhenEvalFn>(entry)(state, parm);
}

// A forwarder's whole work once bound: one acquire load of its slot, a test
// and a call of the entry point with the caller's arguments untouched (a tail
// jump). The first call, and every call while the entry point cannot be
// found, goes to `unbound`, which has the entry point's own signature.
template <EntrySlot Slot, class Result, class... Params, class... Args>
inline Result forward(Result (*unbound)(Params...), Args... args) {
  void* const entry = rendererEntryTable[Slot].load(std::memory_order_acquire);
  if (GW_MI_LIKELY(entry)) return reinterpret_cast<Result (*)(Params...)>(entry)(args...);
  return unbound(args...);
}

}  // namespace

extern "C" {

GW_MI_EXPORT void miSetModuleHandle(void* handle) {
  // Handle first, then the table; a lookup racing with this re-checks the
  // handle after storing its slot (bindEntry), so these are seq_cst too.
  dl_handle.store(handle, std::memory_order_seq_cst);
  for (auto& slot : rendererEntryTable) slot.store(nullptr, std::memory_order_seq_cst);
}

// After binding, each forwarder loads its slot, tests it and jumps to the
// entry point with its own arguments untouched.

GW_MI_FORWARDER miBoolean mi_sample_light(miColor* const result, miVector* const dir,
                                          miScalar* const dot_nl, miState* const state,
                                          const miTag light_inst, miInteger* const samples) {
  return forward<kSampleLightSlot>(&sampleLightUnbound, result, dir, dot_nl, state, light_inst,
                                   samples);
}

GW_MI_FORWARDER miBoolean mi_trace_reflection(miColor* result, miState* state,
                                              ReflectionDirection direction) {
  return forward<kTraceReflectionSlot>(&traceReflectionUnbound, result, state, direction);
}

GW_MI_FORWARDER miBoolean mi_trace_environment(miColor* result, miState* state,
                                               EnvironmentDirection direction) {
  return forward<kTraceEnvironmentSlot>(&traceEnvironmentUnbound, result, state, direction);
}

GW_MI_FORWARDER miBoolean mi_compute_irradiance(miColor* result, miState* state) {
  return forward<kComputeIrradianceSlot>(&computeIrradianceUnbound, result, state);
}

GW_MI_FORWARDER void* mi_phen_eval(miState* state, void* parm) {
  return forward<kPhenEvalSlot>(&phenEvalUnbound, state, parm);
}

}  // extern "C"

namespace {

bool isOwnForwarder(const void* address) {
  return address == reinterpret_cast<const void*>(&mi_sample_light) ||
         address == reinterpret_cast<const void*>(&mi_trace_reflection) ||
         address == reinterpret_cast<const void*>(&mi_trace_environment) ||
         address == reinterpret_cast<const void*>(&mi_compute_irradiance) ||
         address == reinterpret_cast<const void*>(&mi_phen_eval);
}

}  // namespace
