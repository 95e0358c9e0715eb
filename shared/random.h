// Random sample source for glossy reflection sampling: the 32-bit Mersenne
// Twister MT19937 in its reference form, with a conversion to a float in
// [0, 1] that can return exactly 1.0.
//
// Each deliverable compiles in its own copy, so each has its own streams.
//
// Concurrency: every thread that shades owns one generator (thread-local, so
// drawing takes no lock and shares no cache line). The first thread of the
// process to draw is seeded with the reference default 5489, so a renderer
// that shades on one thread sees exactly the reference sequence; every later
// thread takes a distinct seed from a process-wide atomic ticket, so no two
// threads ever draw the same stream.
//
// The thread-local lives in a library loaded with dlopen, which means the
// general-dynamic TLS model: finding it costs a call. Fetch it once per
// shading call with threadRandomSource() and draw from the reference.
#pragma once

#include <cstdint>

namespace gw {

struct RandomSource {
  static constexpr int32_t kStateWords = 624;   // N
  static constexpr int32_t kNeverSeeded = 625;  // index before the first seeding
  uint32_t word[kStateWords];
  // Next word to hand out: 0..623 while words remain, 624 when a twist is due,
  // 625 when never seeded.
  int32_t index;
};

// A source that has never been seeded; its first draw seeds it with 5489.
constexpr RandomSource unseededRandomSource() {
  return RandomSource{{}, RandomSource::kNeverSeeded};
}

constexpr uint32_t kDefaultSeed = 5489u;

// Fills the state from `seed` with the reference recurrence; index becomes 624.
void seedRandom(RandomSource& source, uint32_t seed);

// Next tempered 32-bit output; seeds with 5489 on the first draw of a
// never-seeded source and twists every 624 draws.
uint32_t randomUint32(RandomSource& source);

// The float conversion: round v to single precision (ties to even), then
// scale by 2^-32. 0 maps to 0.0 and 0xFFFFFF80..0xFFFFFFFF map to exactly 1.0.
inline float unitFromUint32(uint32_t v) {
  constexpr float kTwoToMinus32 = 2.3283064e-10f;  // 0x2F800000, exact
  return static_cast<float>(v) * kTwoToMinus32;
}

inline float randomUnit(RandomSource& source) { return unitFromUint32(randomUint32(source)); }

// The two numbers of one glossy reflection sample, drawn in direct
// succession: u1 selects the azimuth, u2 the elevation.
struct UnitPair {
  float u1;
  float u2;
};
inline UnitPair randomUnitPair(RandomSource& source) {
  const float u1 = randomUnit(source);
  const float u2 = randomUnit(source);
  return {u1, u2};
}

// This thread's generator, seeded on first use (5489 for the first thread of
// the process to draw, a distinct seed for every later one).
RandomSource& threadRandomSource();

// The classic no-argument forms, acting on this thread's generator.
void seedRandom(uint32_t seed);
uint32_t randomUint32();
float randomUnit();

}  // namespace gw
