#include "plan.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "mesh.h"

namespace gwp {
namespace {

constexpr int kSwatchColumns = 6;

// A grid of cells per host: the material with the swept values, the first
// sweep along the columns, the second (if any) down the rows.
bool planSweep(const Options& options, RenderJob& job, std::string& error) {
  const std::vector<Sweep>& sweeps = options.sweeps;
  const MaterialSchema& schema = *options.schema;
  const size_t cols = sweeps[0].values.size();
  const size_t rows = sweeps.size() == 2 ? sweeps[1].values.size() : 1;
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < cols; ++c) {
      Material m = options.material;
      m[sweeps[0].input] = sweeps[0].values[c];
      if (sweeps.size() == 2) m[sweeps[1].input] = sweeps[1].values[r];
      job.materials.push_back(m);
    }
  }
  job.hosts = options.hosts;
  for (Host h : job.hosts) {
    for (size_t i = 0; i < rows * cols; ++i) job.swatches.push_back({static_cast<int>(1 + i), h});
  }
  auto values = [&](const Sweep& s) {
    std::vector<std::string> v;
    for (const Value& x : s.values) v.push_back(formatValue(schema[s.input].kind, x));
    return v;
  };
  std::vector<std::string> groups;
  for (Host h : job.hosts) groups.push_back(hostName(h));
  const bool twoD = sweeps.size() == 2;
  return sweepSheet("glintWeave sweep, preset " + options.preset, groups,
                    schema[sweeps[0].input].name, values(sweeps[0]),
                    twoD ? schema[sweeps[1].input].name : std::string(),
                    twoD ? values(sweeps[1]) : std::vector<std::string>(), options.width,
                    options.height, job.layout, error);
}

// One swatch per material of the scene files, through its file's host or
// the hosts asked for, each labelled with its name and host.
bool planSceneSheet(const Options& options, const std::vector<gws::SceneFile>& scenes,
                    RenderJob& job, std::string& error) {
  std::vector<std::vector<std::string>> labels;
  std::string title;
  for (const gws::SceneFile& f : scenes) {
    title += (title.empty() ? "" : ", ") + baseName(f.path);
    for (const gws::SceneMaterial& m : f.materials) {
      job.materials.push_back(Material(m.material));
      const std::vector<Host> hosts = options.hostGiven ? options.hosts : std::vector<Host>{f.host};
      for (Host h : hosts) {
        job.swatches.push_back({static_cast<int>(job.materials.size() - 1), h});
        labels.push_back({m.name, hostName(h)});
        if (std::find(job.hosts.begin(), job.hosts.end(), h) == job.hosts.end()) {
          job.hosts.push_back(h);
        }
      }
    }
  }
  // Six swatches a row, more for many materials so that the sheet stays
  // about square; a material's hosts side by side.
  const int perMaterial = options.hostGiven ? static_cast<int>(options.hosts.size()) : 1;
  const int wanted = std::max(
      kSwatchColumns, static_cast<int>(std::ceil(std::sqrt(static_cast<double>(labels.size())))));
  const int columns = std::max(perMaterial, wanted / perMaterial * perMaterial);
  return swatchSheet(title, labels, columns, options.width, options.height, job.layout, error);
}

// The material through each host, side by side, each named under itself.
bool planSideBySide(const Options& options, RenderJob& job, std::string& error) {
  job.materials.push_back(options.material);
  job.hosts = options.hosts;
  std::vector<std::string> titles;
  for (Host h : job.hosts) {
    job.swatches.push_back({1, h});
    titles.push_back(hostTitle(h));
  }
  return sideBySide(titles, options.width, options.height, job.layout, error);
}

}  // namespace

std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

// The built-in shape or the model file that wears the material in place of
// the spheres. False with a one-line `error` naming the file.
bool stageModel(const Options& options, Scene& scene, std::string& error) {
  gwst::TriangleMesh mesh;
  if (!options.mesh.empty()) {
    if (!gwst::readMesh(options.mesh, mesh, error)) return false;
  } else {
    gwst::Shape shape = gwst::Shape::kSpheres;
    if (!gwst::parseShape(options.shape, shape)) {
      error = "--shape: unknown shape '" + options.shape + "' (one of " + gwst::shapeNames() + ")";
      return false;
    }
    if (shape == gwst::Shape::kSpheres) return true;
    mesh = gwst::makeShape(shape);
  }
  placeModel(scene, std::move(mesh));
  return true;
}

}  // namespace

bool planRender(const Options& options, const std::vector<gws::SceneFile>& scenes, RenderJob& job,
                std::string& error) {
  const bool sweeping = !options.sweeps.empty();
  const bool sheet = sweeping || !scenes.empty();
  job.scene = sheet ? sweepCellScene() : defaultScene(options.pointLightsOnly);
  if (!applyEnvironment(options.environment, job.scene, error)) return false;
  if (options.lightSamples > 0) {
    job.scene.lightSampling.mode = LightSampling::Mode::kPerHit;
    job.scene.lightSampling.perHit = options.lightSamples;
  }
  // The model first: the camera orbits what stands in front of it.
  if (!stageModel(options, job.scene, error)) return false;
  orbitCamera(job.scene, options.orbit);
  job.materials = {floorMaterial(options.schema)};
  job.cellWidth = options.width;
  job.cellHeight = options.height;
  const bool planned = sweeping ? planSweep(options, job, error)
                       : sheet  ? planSceneSheet(options, scenes, job, error)
                                : planSideBySide(options, job, error);
  if (!planned) return false;
  if (job.layout.width > 2 * kMaxSize || job.layout.height > kMaxSize) {
    error = "the image would be larger than " + std::to_string(2 * kMaxSize) + "x" +
            std::to_string(kMaxSize) + "; use a smaller --size";
    return false;
  }
  if (!job.scene.commit(error)) return false;
  job.settings.samplesPerPixel = options.samplesPerPixel;
  job.settings.adaptiveThreshold = options.adaptiveThreshold;
  job.settings.adaptiveMinSamples = options.adaptiveMinSamples;
  job.settings.threads = options.threads > 0
                             ? options.threads
                             : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return true;
}

std::vector<Panel> jobPanels(const RenderJob& job,
                             const std::vector<std::unique_ptr<Backend>>& backends) {
  std::vector<Panel> panels;
  for (size_t i = 0; i < job.swatches.size(); ++i) {
    Panel p;
    p.backend = backends[static_cast<size_t>(job.swatches[i].host)].get();
    p.scene = &job.scene;
    p.materialOfSlot[kFloorSlot] = 0;
    p.materialOfSlot[kHeroSlot] = job.swatches[i].material;
    p.x0 = job.layout.cells[i].x;
    p.y0 = job.layout.cells[i].y;
    p.width = job.cellWidth;
    p.height = job.cellHeight;
    panels.push_back(p);
  }
  return panels;
}

}  // namespace gwp
