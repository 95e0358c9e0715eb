// Camera samples per second of the preview renderer, through each host's
// deliverable, on one thread and on two: the default scene (three spheres on
// a ground plane, an area key light and a point fill light, glossy
// reflections traced through the host) at 160x120, one sample per pixel, all
// materials at their defaults. Every iteration is a whole render.
//
// Wall-clock time decides the speedup. The counter cpu_ns_per_item is the
// process's CPU time (all threads) per camera sample: if it stays the same on
// two threads, the threads did not slow each other down, whatever the
// machine's other load did to the wall clock. A control run beside them,
// threads that share nothing and only do arithmetic, shows the speedup the
// machine itself offered during the run.
#include <benchmark/benchmark.h>

#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "preview_render.h"
#include "ratio_reporter.h"

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;

double processCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

template <gwp::Host Host, int Threads>
void previewRender(benchmark::State& state) {
  const gwp::Scene scene = gwp::defaultScene();
  // Loaded for this run and unloaded after it, so that it never meets the
  // Maya benchmarks' plug-in in the same host.
  gwbench::PreviewRender run;
  if (!run.load(state, Host, scene, kWidth, kHeight, Threads)) return;
  uint64_t samples = 0;
  const double cpuStart = processCpuNs();
  if (!run.renderEach(state, samples)) return;
  const double cpuNs = processCpuNs() - cpuStart;
  state.SetItemsProcessed(static_cast<int64_t>(samples));
  state.counters["cpu_ns_per_item"] = samples ? cpuNs / static_cast<double>(samples) : 0.0;
}

// The control: a fixed amount of independent arithmetic split over the
// threads, each started afresh as the renderer starts its tile threads.
template <int Threads>
void controlArithmetic(benchmark::State& state) {
  constexpr int64_t kSteps = 8'000'000;  // about as long as one render
  const double cpuStart = processCpuNs();
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
      threads.emplace_back([] {
        double x = 1.0;
        for (int64_t i = 0; i < kSteps / Threads; ++i) x = x * 1.0000001 + 1e-9;
        benchmark::DoNotOptimize(x);
      });
    }
    for (std::thread& t : threads) t.join();
  }
  const double cpuNs = processCpuNs() - cpuStart;
  const double items = static_cast<double>(state.iterations()) * static_cast<double>(kSteps);
  state.SetItemsProcessed(state.iterations() * kSteps);
  state.counters["cpu_ns_per_item"] = cpuNs / items;
}

BENCHMARK(controlArithmetic<1>)
    ->Name("preview/control/1thread")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(controlArithmetic<2>)
    ->Name("preview/control/2threads")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

#define GW_PREVIEW_BENCH(host, hostName)           \
  BENCHMARK(previewRender<gwp::Host::host, 1>) \
      ->Name("preview/" hostName "/1thread")       \
      ->Unit(benchmark::kMillisecond)              \
      ->UseRealTime()                              \
      ->MeasureProcessCPUTime();                   \
  BENCHMARK(previewRender<gwp::Host::host, 2>) \
      ->Name("preview/" hostName "/2threads")      \
      ->Unit(benchmark::kMillisecond)              \
      ->UseRealTime()                              \
      ->MeasureProcessCPUTime()

GW_PREVIEW_BENCH(kMaya, "maya");
GW_PREVIEW_BENCH(kMentalRay, "mentalray");

const bool registered = [] {
  gwbench::addSpeedup("preview/control/1thread", "preview/control/2threads", 2, 1.8);
  gwbench::addSpeedup("preview/maya/1thread", "preview/maya/2threads", 2, 1.8);
  gwbench::addSpeedup("preview/mentalray/1thread", "preview/mentalray/2threads", 2, 1.8);
  return true;
}();

}  // namespace
