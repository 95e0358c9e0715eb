#include "random.h"

#include <atomic>

namespace gw {
namespace {

constexpr int32_t kN = RandomSource::kStateWords;
constexpr int32_t kM = 397;
constexpr uint32_t kUpperMask = 0x80000000u;
constexpr uint32_t kLowerMask = 0x7FFFFFFFu;
constexpr uint32_t kSeedMultiplier = 1812433253u;
constexpr uint32_t kTwist[2] = {0u, 0x9908B0DFu};

inline uint32_t twistWord(uint32_t far, uint32_t hi, uint32_t lo) {
  const uint32_t y = (hi & kUpperMask) | (lo & kLowerMask);
  return far ^ (y >> 1) ^ kTwist[y & 1u];
}

// Regenerates all 624 words in place, in ascending order: later steps read
// words that earlier steps have already replaced.
void twist(uint32_t* w) {
  int32_t k = 0;
  for (; k < kN - kM; ++k) w[k] = twistWord(w[k + kM], w[k], w[k + 1]);
  for (; k < kN - 1; ++k) w[k] = twistWord(w[k + kM - kN], w[k], w[k + 1]);
  w[kN - 1] = twistWord(w[kM - 1], w[kN - 1], w[0]);
}

// Seeds handed to thread generators: the first is the reference default,
// every later one is distinct (an odd step is a bijection modulo 2^32).
uint32_t claimStreamSeed() {
  static std::atomic<uint32_t> tickets{0};
  const uint32_t ticket = tickets.fetch_add(1u, std::memory_order_relaxed);
  constexpr uint32_t kStreamStep = 0x9E3779B9u;
  return kDefaultSeed + ticket * kStreamStep;
}

}  // namespace

void seedRandom(RandomSource& source, uint32_t seed) {
  uint32_t* w = source.word;
  w[0] = seed;
  for (int32_t i = 1; i < kN; ++i) {
    w[i] = kSeedMultiplier * (w[i - 1] ^ (w[i - 1] >> 30)) + static_cast<uint32_t>(i);
  }
  source.index = kN;
}

uint32_t randomUint32(RandomSource& source) {
  if (source.index >= kN) {
    if (source.index == RandomSource::kNeverSeeded) seedRandom(source, kDefaultSeed);
    twist(source.word);
    source.index = 0;
  }
  uint32_t y = source.word[source.index++];
  y ^= y >> 11;
  y ^= (y << 7) & 0x9D2C5680u;
  y ^= (y << 15) & 0xEFC60000u;
  y ^= y >> 18;
  return y;
}

RandomSource& threadRandomSource() {
  // Constant-initialised and trivially destructible: no guard on access and
  // nothing to run at thread exit or library unload.
  thread_local RandomSource source = unseededRandomSource();
  if (source.index == RandomSource::kNeverSeeded) seedRandom(source, claimStreamSeed());
  return source;
}

void seedRandom(uint32_t seed) { seedRandom(threadRandomSource(), seed); }
uint32_t randomUint32() { return randomUint32(threadRandomSource()); }
float randomUnit() { return randomUnit(threadRandomSource()); }

}  // namespace gw
