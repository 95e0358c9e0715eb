// The renderer's integer hash: one xorshift-multiply mixer that turns a key
// (a pixel, a sample index, a point's bits) into well-mixed bits, and the
// conversion of those bits to a number in [0, 1). Every camera jitter, light
// position and sequence scramble of the preview comes from here.
#pragma once

#include <cstdint>

namespace gwp {

// The two multipliers and the last shift of the mixer's two rounds. Its
// output decides where every sample falls, so a set of constants is part of
// every image made with it: the camera jitter and the scene's light sampling
// each keep the set they were tuned with (both have low bias; a single set
// would move every sample of every image).
struct HashRounds {
  uint32_t m1;
  uint32_t m2;
  int lastShift;
};
inline constexpr HashRounds kJitterRounds{0x21f0aaadu, 0x735a2d97u, 15};
inline constexpr HashRounds kSceneRounds{0x7feb352du, 0x846ca68bu, 16};

constexpr uint32_t hashBits(uint32_t x, const HashRounds& r) {
  x ^= x >> 16;
  x *= r.m1;
  x ^= x >> 15;
  x *= r.m2;
  x ^= x >> r.lastShift;
  return x;
}

// The top 24 bits as a float in [0, 1): exact, and never 1.
constexpr float unitFromBits(uint32_t bits) {
  return static_cast<float>(bits >> 8) * (1.0f / 16777216.0f);
}

}  // namespace gwp
