// Pieces shared by the fuzz targets: decoding floats from the input so that
// both hostile bit patterns and well-scaled values come up often, and a
// count of heap allocations made by the current thread while a shading call
// runs, through the sanitizer allocator's hooks (the targets always run
// under AddressSanitizer, which owns malloc, so interposing it is not an
// option).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/allocator_interface.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace gwfuzz {

// A finding: print what broke and abort, which libFuzzer reports as a crash
// and saves the input for.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "glintWeave fuzz invariant broken: %s\n", what);
  std::abort();
}

// Inputs no larger than this in magnitude keep every product the shading
// forms (at most about ten such factors) far below FLT_MAX, so a non-finite
// result from them cannot be blamed on single-precision overflow.
constexpr float kWellScaled = 1000.0f;
constexpr float kWellScaledExponent = 10000.0f;

class FloatSource {
 public:
  FloatSource(FuzzedDataProvider& in, bool hostile) : in_(in), hostile_(hostile) {}

  // A float that takes part in the result. In hostile mode any bit pattern
  // (NaN, infinities, denormals) can come out; otherwise only finite values of
  // at most kWellScaled in magnitude.
  float next() {
    const float x = decode();
    if (!(std::isfinite(x) && std::fabs(x) <= kWellScaled)) wellScaled_ = false;
    return x;
  }
  // A lobe exponent: its range of use reaches 10000, and it enters the
  // result only through roots and powers, so up to kWellScaledExponent it
  // still counts as well scaled.
  float nextExponent() {
    const float x = in_.ConsumeBool() ? static_cast<float>(in_.ConsumeIntegral<int16_t>()) *
                                            (kWellScaledExponent / 32768.0f)
                                      : decode();
    if (!(std::isfinite(x) && std::fabs(x) <= kWellScaledExponent)) wellScaled_ = false;
    return x;
  }
  // A float that the result must not depend on (alpha components, the
  // renderer's own cosine): any bit pattern, never affects wellScaled().
  float any() {
    const uint32_t bits = in_.ConsumeIntegral<uint32_t>();
    float x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
  }
  // True while every next() so far was finite and well scaled.
  bool wellScaled() const { return wellScaled_; }

 private:
  float decode() {
    static constexpr float kSpecial[] = {0.0f,
                                         -0.0f,
                                         1.0f,
                                         -1.0f,
                                         0.5f,
                                         0.25f,
                                         0.75f,
                                         2.0f,
                                         10.0f,
                                         -10.0f,
                                         0.99999994f,
                                         1.00000012f,
                                         -0.99999994f,
                                         std::numeric_limits<float>::min(),
                                         std::numeric_limits<float>::denorm_min(),
                                         -std::numeric_limits<float>::denorm_min(),
                                         1e-20f,
                                         kWellScaled,
                                         -kWellScaled};
    constexpr int kSpecials = static_cast<int>(sizeof kSpecial / sizeof kSpecial[0]);
    const int mode = in_.ConsumeIntegralInRange<int>(0, hostile_ ? 3 : 2);
    switch (mode) {
      case 0:  // a unit-scale value, the common case of directions and colours
        return static_cast<float>(in_.ConsumeIntegral<int16_t>()) / 32768.0f;
      case 1:  // a larger one, up to +-128 in steps of 1/256
        return static_cast<float>(in_.ConsumeIntegral<int16_t>()) / 256.0f;
      case 2:
        return kSpecial[in_.ConsumeIntegralInRange<int>(0, kSpecials - 1)];
      default:
        return any();
    }
  }

  FuzzedDataProvider& in_;
  bool hostile_;
  bool wellScaled_ = true;
};

// Heap allocations made by this thread while counting is on.
class AllocationCounter {
 public:
  static void install() {
    static const bool installed = [] {
      return __sanitizer_install_malloc_and_free_hooks(&onMalloc, &onFree) != 0;
    }();
    if (!installed) fail("could not install the allocator hooks");
  }
  static void start() {
    count_ = 0;
    counting_ = true;
  }
  static long stop() {
    counting_ = false;
    return count_;
  }

 private:
  static void onMalloc(const volatile void*, size_t) {
    if (counting_) ++count_;
  }
  static void onFree(const volatile void*) {}

  static inline thread_local bool counting_ = false;
  static inline thread_local long count_ = 0;
};

}  // namespace gwfuzz
