// Counts heap allocations in a test executable: operator new and, outside the
// sanitizers (which own malloc) and Windows (no interposition by name), the
// malloc family are replaced here and counted while `counting` is set
// (AllocationCount sets it for its lifetime). On Windows a loaded module's own
// malloc family is counted through its import table (countModuleAllocations).
// Defines the global replacements: include in exactly one source file of an
// executable, which must define GLINTWEAVE_SANITIZED in sanitizer builds.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
// The replacements below pair malloc with free by design; gcc sees through
// the inlined pair and would call it a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

#include <atomic>
#include <cstdlib>
#include <new>

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

#if defined(_WIN32) || !defined(GLINTWEAVE_SANITIZED)
// The malloc family, counted and forwarded to the allocator underneath:
// glibc's own (the replacements below take malloc's names), or on Windows
// whatever a module's import table pointed at (countModuleAllocations).
using MallocFn = void* (*)(std::size_t);
using CallocFn = void* (*)(std::size_t, std::size_t);
using ReallocFn = void* (*)(void*, std::size_t);
#if !defined(GLINTWEAVE_SANITIZED) && !defined(_WIN32)
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
}
namespace {
MallocFn realMalloc = &__libc_malloc;
CallocFn realCalloc = &__libc_calloc;
ReallocFn realRealloc = &__libc_realloc;
}  // namespace
#else
namespace {
MallocFn realMalloc = &std::malloc;
CallocFn realCalloc = &std::calloc;
ReallocFn realRealloc = &std::realloc;
}  // namespace
#endif

namespace {
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
}  // namespace

#if !defined(GLINTWEAVE_SANITIZED) && !defined(_WIN32)
extern "C" {
void* malloc(std::size_t size) { return countingMalloc(size); }
void* calloc(std::size_t n, std::size_t size) { return countingCalloc(n, size); }
void* realloc(void* p, std::size_t size) { return countingRealloc(p, size); }
}
#endif

#ifdef _WIN32
#include "peImage.h"

namespace {
// Windows has no interposition by name: a module (the plug-in, a host
// library, the shader library) reaches the C runtime's allocator, its
// operator new included, through its own import table, whose malloc, calloc
// and realloc entries are pointed at the counting functions above.

// Points `name` in the module's imports at `wrapper`, keeping what it
// pointed at as the function the wrapper forwards to (unless that was the
// wrapper already: a second module redirected the same way). False when the
// module does not import `name`.
template <class Fn>
bool redirectToCounter(void* module, const char* name, Fn wrapper, Fn& real) {
  void* const previous = petest::redirectImport(module, name, reinterpret_cast<void*>(wrapper));
  if (previous && previous != reinterpret_cast<void*>(wrapper)) {
    real = reinterpret_cast<Fn>(previous);
  }
  return previous != nullptr;
}

// Counts the allocations of a loaded module; false when it imports no malloc.
inline bool countModuleAllocations(void* module) {
  const bool importsMalloc = redirectToCounter(module, "malloc", &countingMalloc, realMalloc);
  redirectToCounter(module, "calloc", &countingCalloc, realCalloc);
  redirectToCounter(module, "realloc", &countingRealloc, realRealloc);
  return importsMalloc;
}
}  // namespace
#endif  // _WIN32
#endif  // _WIN32 || !GLINTWEAVE_SANITIZED

// Counts the allocations made while it lives (on any thread).
class AllocationCount {
 public:
  AllocationCount() {
    allocations = 0;
    counting = true;
  }
  ~AllocationCount() { counting = false; }
  AllocationCount(const AllocationCount&) = delete;
  AllocationCount& operator=(const AllocationCount&) = delete;
  long operator()() const { return allocations.load(); }
};
