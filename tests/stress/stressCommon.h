// Shared by the stress tests of both deliverables: run sizes, and the
// reference streams that identify which numbers each shading thread drew.
//
// Each deliverable gives every shading thread its own generator; the first
// thread to draw gets the reference seed, later threads distinct seeds, in
// the order of their first draw. This test binary compiles in the same
// generator code, so the streams that threads 0, 1, 2, ... of a freshly
// loaded deliverable receive are the streams the first threads of this
// binary receive: referenceStreams() captures them, without the test having
// to know how the seeds are chosen.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include "random.h"
#include "reflectance.h"

#if defined(__has_include)
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define GLINTWEAVE_STRESS_HAVE_VALGRIND_H 1
#endif
#endif

namespace stress {

#ifndef GLINTWEAVE_STRESS_SCALE
#define GLINTWEAVE_STRESS_SCALE 1
#endif

// True when running on valgrind's synthetic CPU (memcheck runs every test
// executable), which is some fifty times slower.
inline bool underValgrind() {
#ifdef GLINTWEAVE_STRESS_HAVE_VALGRIND_H
  if (RUNNING_ON_VALGRIND) return true;
#endif
  return std::getenv("GLINTWEAVE_UNDER_VALGRIND") != nullptr;
}

// Full-size runs, divided under the sanitizers and under valgrind.
inline long scaled(long full) {
  long divisor = GLINTWEAVE_STRESS_SCALE;
  if (underValgrind()) divisor *= 100;
  return full / divisor > 0 ? full / divisor : 1;
}

constexpr int kThreads = 8;  // more than the machine's cores, on purpose

// The generators of this process's first `count` drawing threads, seeded
// and not yet drawn from. Must run before any other thread of this binary
// draws; it is computed once.
inline const std::vector<gw::RandomSource>& referenceStreams(int count) {
  static const std::vector<gw::RandomSource> streams = [count] {
    std::vector<gw::RandomSource> out(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      std::thread([&out, i] { out[static_cast<size_t>(i)] = gw::threadRandomSource(); }).join();
    }
    return out;
  }();
  return streams;
}

// The reflected direction both deliverables trace for a view straight down
// the normal (0, 0, 1), whose tangent frame is u = (1, 0, 0), b = (0, 1, 0),
// with the two numbers of one sample.
template <class V>
V probeDirection(float nu, float nv, gw::UnitPair draw) {
  const V n{0.0f, 0.0f, 1.0f};
  const V u{1.0f, 0.0f, 0.0f};
  const V b{0.0f, 1.0f, 0.0f};
  const V v{0.0f, 0.0f, 1.0f};
  const V hs = gw::sampleHalfVector(nu, nv, draw.u1, draw.u2, u, b, n);
  const float twiceVh = 2.0f * (v.x * hs.x + v.y * hs.y + v.z * hs.z);
  return V{twiceVh * hs.x - v.x, twiceVh * hs.y - v.y, twiceVh * hs.z - v.z};
}

// Same single-precision routines on both sides; the tolerance only absorbs
// an equivalent operation order. Different draws land much further apart.
template <class V>
bool sameDirection(const V& a, const V& b) {
  constexpr float kTolerance = 1e-5f;
  return std::fabs(a.x - b.x) <= kTolerance && std::fabs(a.y - b.y) <= kTolerance &&
         std::fabs(a.z - b.z) <= kTolerance;
}

// Runs body(i) on kThreads threads at once, i = 0 .. kThreads - 1, and waits
// for all of them.
template <class Body>
void onEachThread(Body body) {
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back([&body, i] { body(i); });
  for (auto& th : threads) th.join();
}

// What one shading thread saw of its own draws, followed through the
// directions of the reflection rays it traced.
struct Tracker {
  gw::RandomSource reference{};  // the stream this thread turned out to draw
  int stream = -1;               // index into the reference streams
  long traced = 0;
  long mismatches = 0;
  bool sharedStream = false;
};

// Follows each shading thread's draws through the reflection rays it traces
// with both exponents `exponent` and the view straight down the normal.
class StreamFollower {
 public:
  StreamFollower(const std::vector<gw::RandomSource>& references, float exponent)
      : references_(references), exponent_(exponent) {}

  // One traced direction of the thread that owns `t`. Its first ray finds
  // the stream its first two numbers came from (and claims it); every later
  // ray must be that stream's next pair.
  template <class V>
  void follow(Tracker& t, const V& direction) {
    if (t.stream < 0) {
      for (size_t k = 0; k < references_.size(); ++k) {
        gw::RandomSource candidate = references_[k];
        if (sameDirection(direction, probe<V>(candidate))) {
          t.stream = static_cast<int>(k);
          t.reference = candidate;
          t.sharedStream = claimed_[k].fetch_add(1) != 0;
          break;
        }
      }
      if (t.stream < 0) ++t.mismatches;
    } else if (!sameDirection(direction, probe<V>(t.reference))) {
      ++t.mismatches;
    }
    ++t.traced;
  }

 private:
  template <class V>
  V probe(gw::RandomSource& source) const {
    return probeDirection<V>(exponent_, exponent_, gw::randomUnitPair(source));
  }

  const std::vector<gw::RandomSource>& references_;
  float exponent_;
  std::array<std::atomic<int>, kThreads * 2> claimed_{};
};

// Every thread's generator advanced by exactly two numbers per reflection
// sample (`tracesPerThread` samples each), no two threads drew the same
// numbers, and none of a thread's `bad` calls failed.
inline void expectOwnStreams(const std::vector<Tracker>& trackers, const std::vector<long>& bad,
                             long tracesPerThread) {
  long traced = 0;
  bool referenceStreamUsed = false;
  for (int i = 0; i < kThreads; ++i) {
    const Tracker& t = trackers[static_cast<size_t>(i)];
    EXPECT_EQ(bad[static_cast<size_t>(i)], 0) << "thread " << i;
    EXPECT_GE(t.stream, 0) << "thread " << i << " drew from no known stream";
    EXPECT_FALSE(t.sharedStream) << "thread " << i << " drew the numbers of another thread";
    EXPECT_EQ(t.mismatches, 0) << "thread " << i << " skipped or repeated numbers";
    EXPECT_EQ(t.traced, tracesPerThread) << "thread " << i;
    referenceStreamUsed = referenceStreamUsed || t.stream == 0;
    traced += t.traced;
  }
  // The draws add up: two per traced sample, every sample of every call.
  EXPECT_EQ(2 * traced, 2L * kThreads * tracesPerThread);
  EXPECT_TRUE(referenceStreamUsed) << "no thread drew the reference sequence for seed 5489";
}

}  // namespace stress
