#include "random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace {

using gw::RandomSource;

TEST(RandomSource, ReferenceValuesForDefaultSeed) {
  RandomSource rs = gw::unseededRandomSource();
  EXPECT_EQ(gw::randomUint32(rs), 3499211612u);  // 0xD091BB5C
  EXPECT_EQ(gw::randomUint32(rs), 581869302u);
  EXPECT_EQ(gw::randomUint32(rs), 3890346734u);
  for (int i = 4; i < 10000; ++i) gw::randomUint32(rs);
  EXPECT_EQ(gw::randomUint32(rs), 4123659995u);  // the 10000th draw
}

TEST(RandomSource, FirstUnitValues) {
  RandomSource rs = gw::unseededRandomSource();
  EXPECT_FLOAT_EQ(gw::randomUnit(rs), 0.81472367f);
  EXPECT_FLOAT_EQ(gw::randomUnit(rs), 0.13547701f);
  EXPECT_FLOAT_EQ(gw::randomUnit(rs), 0.90579194f);
  EXPECT_FLOAT_EQ(gw::randomUnit(rs), 0.83500856f);
}

TEST(RandomSource, MatchesStdMt19937OverAMillionDraws) {
  RandomSource rs = gw::unseededRandomSource();
  std::mt19937 ref;  // default seed 5489
  for (int i = 0; i < 1000000; ++i) ASSERT_EQ(gw::randomUint32(rs), ref()) << "draw " << i;
}

TEST(RandomSource, SeedRandomGivesTheReferenceStreamForOtherSeeds) {
  for (uint32_t seed : {0u, 1u, 42u, 0xFFFFFFFFu, 0x9E3779B9u}) {
    RandomSource rs = gw::unseededRandomSource();
    gw::seedRandom(rs, seed);
    EXPECT_EQ(rs.index, 624);  // the next draw twists without reseeding
    std::mt19937 ref(seed);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(gw::randomUint32(rs), ref()) << "seed " << seed;
  }
}

TEST(RandomSource, TwistBoundaryHandsOutWord623ThenTwists) {
  RandomSource rs = gw::unseededRandomSource();
  std::mt19937 ref;
  for (int i = 0; i < 623; ++i) gw::randomUint32(rs), ref();
  EXPECT_EQ(rs.index, 623);
  EXPECT_EQ(gw::randomUint32(rs), ref());  // 624th draw: word 623
  EXPECT_EQ(rs.index, 624);
  EXPECT_EQ(gw::randomUint32(rs), ref());  // 625th: twisted, new word 0
  EXPECT_EQ(rs.index, 1);
}

TEST(RandomSource, UnitConversionEnds) {
  EXPECT_EQ(gw::unitFromUint32(0u), 0.0f);
  EXPECT_EQ(gw::unitFromUint32(1u), 2.3283064e-10f);
  EXPECT_EQ(gw::unitFromUint32(0xFFFFFF7Fu), 0.99999994f);
  EXPECT_EQ(gw::unitFromUint32(0xFFFFFF80u), 1.0f);
  EXPECT_EQ(gw::unitFromUint32(0xFFFFFFFFu), 1.0f);
  // Below 2^24 the conversion is exact.
  EXPECT_EQ(gw::unitFromUint32(0x00FFFFFFu) * 4294967296.0f, 16777215.0f);
}

TEST(RandomSource, UnitPairDrawsU1ThenU2) {
  RandomSource a = gw::unseededRandomSource();
  RandomSource b = gw::unseededRandomSource();
  const gw::UnitPair p = gw::randomUnitPair(a);
  EXPECT_EQ(p.u1, gw::randomUnit(b));
  EXPECT_EQ(p.u2, gw::randomUnit(b));
}

// Thread generators: this test binary's first drawing thread takes the
// reference seed; every other thread takes a stream of its own.
std::vector<uint32_t> firstDraws(int n) {
  std::vector<uint32_t> v;
  for (int i = 0; i < n; ++i) v.push_back(gw::randomUint32());
  return v;
}

TEST(ThreadRandomSource, ThreadsDrawConcurrentlyAndGetDistinctStreams) {
  constexpr int kThreads = 8;
  constexpr int kDraws = 20000;
  std::vector<std::vector<uint32_t>> streams(kThreads);
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; ++t) pool.emplace_back([&, t] { streams[t] = firstDraws(kDraws); });
  for (auto& th : pool) th.join();

  // Each thread's stream is a reference MT19937 stream for some seed, and no
  // two threads share a seed: their first 8 outputs already differ.
  std::set<std::vector<uint32_t>> heads;
  for (const auto& s : streams) {
    ASSERT_EQ(s.size(), static_cast<size_t>(kDraws));
    heads.insert(std::vector<uint32_t>(s.begin(), s.begin() + 8));
  }
  EXPECT_EQ(heads.size(), static_cast<size_t>(kThreads));
  // No thread's opening run of 8 outputs appears anywhere in another stream.
  for (int a = 0; a < kThreads; ++a) {
    for (int b = 0; b < kThreads; ++b) {
      if (a == b) continue;
      auto it = std::search(streams[b].begin(), streams[b].end(), streams[a].begin(),
                            streams[a].begin() + 8);
      EXPECT_EQ(it, streams[b].end()) << "thread " << a << " stream found in thread " << b;
    }
  }
}

TEST(ThreadRandomSource, FirstDrawingThreadGetsTheReferenceSequence) {
  // Run in a child process so that no earlier test has drawn.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::mt19937 ref;
        for (int i = 0; i < 5000; ++i) {
          if (gw::randomUint32() != ref()) std::exit(1);
        }
        // A second thread of the process gets a different stream.
        uint32_t other = 0;
        std::thread([&] { other = gw::randomUint32(); }).join();
        std::exit(other == 3499211612u ? 2 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ThreadRandomSource, OneReferenceIsStableWithinAThread) {
  EXPECT_EQ(&gw::threadRandomSource(), &gw::threadRandomSource());
  RandomSource* other = nullptr;
  std::thread([&] { other = &gw::threadRandomSource(); }).join();
  EXPECT_NE(other, &gw::threadRandomSource());
}

}  // namespace
