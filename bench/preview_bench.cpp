// Camera samples per second of the preview renderer, through each host's
// deliverable, on one thread and on two: the default scene (three spheres on
// a ground plane, an area key light and a point fill light, glossy
// reflections traced through the host) at 160x120, one sample per pixel, all
// materials at their defaults. Every iteration is a whole render.
//
// Wall-clock time decides the speedup. The counter cpu_ns_per_item is the
// process's CPU time (all threads) per camera sample: if it stays the same on
// two threads, the threads did not slow each other down, whatever the
// machine's other load did to the wall clock.
#include <benchmark/benchmark.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "backend.h"
#include "ratio_reporter.h"
#include "render.h"
#include "scene.h"

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;

double processCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

template <gwp::HostKind Host, int Threads>
void previewRender(benchmark::State& state) {
  const gwp::Scene scene = gwp::defaultScene();
  const std::vector<gwp::Material> materials(2);  // the floor's and the hero's
  std::string error;
  // Loaded for this run and unloaded after it, so that it never meets the
  // Maya benchmarks' plug-in in the same host.
  std::unique_ptr<gwp::Backend> backend =
      gwp::createBackend(Host, scene, materials, gwp::LibraryPaths{}, error);
  if (!backend) {
    state.SkipWithError(error.c_str());
    return;
  }
  gwp::Panel panel;
  panel.backend = backend.get();
  panel.scene = &scene;
  panel.materialOfSlot[gwp::kFloorSlot] = 0;
  panel.materialOfSlot[gwp::kHeroSlot] = 1;
  panel.width = kWidth;
  panel.height = kHeight;
  const std::vector<gwp::Panel> panels{panel};
  gwp::RenderSettings settings;
  settings.threads = Threads;
  gwp::Image image(kWidth, kHeight);

  uint64_t samples = 0;
  const double cpuStart = processCpuNs();
  for (auto _ : state) {
    gwp::RenderStats stats;
    if (!gwp::render(panels, settings, image, stats, nullptr, error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    samples += stats.cameraSamples;
  }
  const double cpuNs = processCpuNs() - cpuStart;
  state.SetItemsProcessed(static_cast<int64_t>(samples));
  state.counters["cpu_ns_per_item"] = samples ? cpuNs / static_cast<double>(samples) : 0.0;
}

#define GW_PREVIEW_BENCH(host, hostName)           \
  BENCHMARK(previewRender<gwp::HostKind::host, 1>) \
      ->Name("preview/" hostName "/1thread")       \
      ->Unit(benchmark::kMillisecond)              \
      ->UseRealTime()                              \
      ->MeasureProcessCPUTime();                   \
  BENCHMARK(previewRender<gwp::HostKind::host, 2>) \
      ->Name("preview/" hostName "/2threads")      \
      ->Unit(benchmark::kMillisecond)              \
      ->UseRealTime()                              \
      ->MeasureProcessCPUTime()

GW_PREVIEW_BENCH(kMaya, "maya");
GW_PREVIEW_BENCH(kMentalRay, "mentalray");

const bool registered = [] {
  gwbench::addSpeedup("preview/maya/1thread", "preview/maya/2threads", 2, 1.8);
  gwbench::addSpeedup("preview/mentalray/1thread", "preview/mentalray/2threads", 2, 1.8);
  return true;
}();

}  // namespace
