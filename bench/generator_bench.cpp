// The per-thread generator against an unshared std::mt19937 with the same
// float conversion. Each iteration is one glossy reflection sample's worth of
// work: fetch the thread's generator once, draw u1 and u2.
#include <benchmark/benchmark.h>

#include <random>

#include "random.h"
#include "ratio_reporter.h"

namespace {

void generatorOurs(benchmark::State& state) {
  float sum = 0;
  for (auto _ : state) {
    gw::RandomSource& rs = gw::threadRandomSource();
    const gw::UnitPair u = gw::randomUnitPair(rs);
    sum += u.u1 + u.u2;
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * 2);
}

void generatorPeer(benchmark::State& state) {
  std::mt19937 mt(5489u + static_cast<unsigned>(state.thread_index()));
  float sum = 0;
  for (auto _ : state) {
    const float u1 = gw::unitFromUint32(static_cast<uint32_t>(mt()));
    const float u2 = gw::unitFromUint32(static_cast<uint32_t>(mt()));
    sum += u1 + u2;
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * 2);
}

// 8 threads oversubscribe a 2-core machine on purpose: a lock convoy would
// show there.
BENCHMARK(generatorOurs)
    ->Name("generator/glintweave")
    ->Threads(1)
    ->Threads(2)
    ->Threads(8)
    ->UseRealTime();
BENCHMARK(generatorPeer)
    ->Name("generator/mt19937")
    ->Threads(1)
    ->Threads(2)
    ->Threads(8)
    ->UseRealTime();

const bool registered = (gwbench::addRatio("generator/glintweave", "generator/mt19937", 1.2), true);

}  // namespace
