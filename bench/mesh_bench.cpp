// Camera samples per second of the preview renderer on a mesh of about a
// thousand triangles against the same sphere tessellated into about a
// million, through each host's deliverable, on one thread: the default
// scene with the sphere in the spheres' place, 96x72, one sample per pixel.
// Counters give each mesh's memory against the ray tracer's.
// Every iteration is a whole render. The ray tracer's hierarchy keeps the
// cost of a ray nearly flat in the triangle count: a million triangles
// should shade at least half as fast per sample as a thousand.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "accel.h"
#include "mesh.h"
#include "preview_render.h"
#include "ratio_reporter.h"

namespace {

constexpr int kWidth = 96;
constexpr int kHeight = 72;

// `around` segments around the sphere, half as many rings: 2 around^2 / 2
// triangles (32: 1024; 1024: about a million).
template <gwp::Host Host, int Around>
void meshRender(benchmark::State& state) {
  gwp::Scene scene = gwp::defaultScene();
  gwp::placeModel(scene, gwst::makeShape(gwst::Shape::kSphere, Around));
  std::string error;
  if (!scene.commit(error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  gwbench::PreviewRender run;
  uint64_t samples = 0;
  if (!run.load(state, Host, scene, kWidth, kHeight, 1) || !run.renderEach(state, samples)) return;
  state.SetItemsProcessed(static_cast<int64_t>(samples));
  // Memory: the mesh's own arrays, and what the ray tracer holds besides
  // (its copy of the vertices and its hierarchy), in MiB.
  const gwst::TriangleMesh& mesh = *scene.meshes[0].mesh;
  state.counters["triangles"] = static_cast<double>(mesh.triangleCount());
  state.counters["mesh_MiB"] = static_cast<double>(mesh.dataBytes()) / (1 << 20);
  state.counters["tracer_MiB"] = static_cast<double>(scene.accel->bytes()) / (1 << 20);
}

// Timed in the process's CPU time: the render runs on a thread of its own,
// which the calling thread's CPU time would not see.
const bool registered = [] {
  const std::pair<const char*, void (*)(benchmark::State&)> runs[] = {
      {"mesh/maya/1k", meshRender<gwp::Host::kMaya, 32>},
      {"mesh/maya/1M", meshRender<gwp::Host::kMaya, 1024>},
      {"mesh/mentalray/1k", meshRender<gwp::Host::kMentalRay, 32>},
      {"mesh/mentalray/1M", meshRender<gwp::Host::kMentalRay, 1024>}};
  for (const auto& [name, run] : runs) {
    benchmark::RegisterBenchmark(name, run)
        ->Unit(benchmark::kMillisecond)
        ->MeasureProcessCPUTime();
  }
  gwbench::addRatio("mesh/maya/1M", "mesh/maya/1k", 2.0);
  gwbench::addRatio("mesh/mentalray/1M", "mesh/mentalray/1k", 2.0);
  return true;
}();

}  // namespace
