// Counts heap allocations in a test executable: operator new and, outside the
// sanitizers (which own malloc) and Windows (no interposition by name), the
// malloc family are replaced here and counted while `counting` is set.
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

#if !defined(GLINTWEAVE_SANITIZED) && !defined(_WIN32)
// Forwarded to glibc's own allocator.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* malloc(std::size_t size) {
  noteAllocation();
  return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
  noteAllocation();
  return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
  noteAllocation();
  return __libc_realloc(p, size);
}
}
#endif
