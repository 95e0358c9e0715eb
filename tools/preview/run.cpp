// The run step of glintweave-preview: reads the scene files, lists or
// exports, carries out the render job the plan makes and reports.
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>

#include "atomic_file.h"
#include "cli.h"
#include "image_io.h"
#include "option_values.h"
#include "plan.h"
#include "scene_file.h"
#include "scene_writer.h"

namespace gwp {
namespace {

class ProgressBar {
 public:
  explicit ProgressBar(std::FILE* err, std::string what = "rendering")
      : err_(err), what_(std::move(what)), enabled_(::isatty(::fileno(err)) != 0) {}
  void update(size_t done, size_t total) {
    if (!enabled_ || total == 0) return;
    // A terminal redrawn more than ten times a second only flickers.
    const auto now = std::chrono::steady_clock::now();
    if (done < total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    constexpr size_t kWidth = 40;
    const size_t filled = done * kWidth / total;
    std::fprintf(err_, "\r%s [%s%s] %3zu%% ", what_.c_str(), std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), done * 100 / total);
    std::fflush(err_);
  }
  void clear() {
    if (enabled_) std::fprintf(err_, "\r\033[K");
  }

 private:
  std::FILE* err_;
  std::string what_;
  bool enabled_;
  std::chrono::steady_clock::time_point last_{};
};

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buf[PATH_MAX];
  if (!::getcwd(buf, sizeof buf)) return path;
  return std::string(buf) + "/" + path;
}

std::string listText(const MaterialSchema& schema) {
  std::string text =
      "Material inputs, as the deliverables declare them (name, hosts, kind, default, "
      "slider range, hard limits):\n";
  for (size_t i = 0; i < schema.size(); ++i) {
    const MaterialInput& in = schema[i];
    const bool maya = in.in(gws::Host::kMaya), mr = in.in(gws::Host::kMentalRay);
    const char* hosts = maya && mr ? "both" : (maya ? "maya" : "mentalray");
    std::string range;
    for (gws::Host h : gws::kHosts) {
      const gws::InputSpec* spec = schema.spec(h, i);
      if (!spec || !spec->softMin || !spec->softMax) continue;
      range = gws::formatFloat(gws::toFloat(*spec->softMin)) + " to " +
              gws::formatFloat(gws::toFloat(*spec->softMax));
      if (spec->min) range += " (at least " + gws::formatFloat(gws::toFloat(*spec->min)) + ")";
      if (spec->max) range += " (at most " + gws::formatFloat(gws::toFloat(*spec->max)) + ")";
      break;
    }
    char line[200];
    std::snprintf(line, sizeof line, "  %-18s %-9s %-6s %-12s %s\n", in.name.c_str(), hosts,
                  gws::kindName(in.kind), formatValue(in.kind, in.defaultValue).c_str(),
                  range.c_str());
    text += line;
  }
  text += "\nPresets:\n";
  for (const Preset& p : presets()) {
    char line[200];
    std::snprintf(line, sizeof line, "  %-15s %s\n", p.name, p.description);
    text += line;
  }
  text += "\nWhat each input does: docs/material-guide.md\n";
  return text;
}

// One run: the options, the streams, and the one way to fail.
class Run {
 public:
  Run(const Options& options, std::FILE* out, std::FILE* err)
      : options_(options), out_(out), err_(err) {}

  int fail(const std::string& message) const {
    std::fprintf(err_, "glintweave-preview: error: %s\n", message.c_str());
    return kExitError;
  }

  // Scenes are read whole before anything is written. False after the
  // reader's own line on `err`.
  bool readScenes(std::vector<gws::SceneFile>& scenes) const {
    std::string error;
    for (const std::string& path : options_.scenes) {
      gws::SceneFile file;
      ProgressBar bar(err_, "reading " + baseName(path));
      gws::ReadOptions read;
      read.progress = [&](size_t done, size_t total) { bar.update(done, total); };
      const bool ok = gws::readScene(path, options_.schema, file, error, read);
      bar.clear();
      if (!ok) {
        std::fprintf(err_, "%s\n", error.c_str());
        return false;
      }
      for (const std::string& w : file.warnings) std::fprintf(err_, "%s\n", w.c_str());
      scenes.push_back(std::move(file));
    }
    return true;
  }

  int list(const std::vector<gws::SceneFile>& scenes) const {
    if (scenes.empty()) {
      std::fputs(listText(*options_.schema).c_str(), out_);
      return kExitOk;
    }
    for (const gws::SceneFile& file : scenes) {
      std::fprintf(out_, "# %s (%s)\n", file.path.c_str(), gws::hostName(file.host));
      for (const gws::SceneMaterial& m : file.materials) {
        std::fputs(gws::listMaterial(m, *options_.schema).c_str(), out_);
      }
    }
    return kExitOk;
  }

  // Writes the exported scene files, made ready beforehand.
  bool exportMaterial(gwf::TextFile& maFile, gwf::TextFile& miFile, std::string& error) const {
    const Options& o = options_;
    if (!o.exportMa.empty() &&
        !maFile.commit(gws::mayaAsciiText(o.material, o.materialName, o.exportMa), error)) {
      return false;
    }
    if (!o.exportMi.empty() &&
        !miFile.commit(gws::mentalRayText(o.material, o.materialName, o.exportMi), error)) {
      return false;
    }
    for (const std::string* path : {&o.exportMa, &o.exportMi}) {
      if (path->empty()) continue;
      std::fprintf(out_, "glintweave-preview: wrote %s to %s\n", o.materialName.c_str(),
                   absolutePath(*path).c_str());
    }
    return true;
  }

  // Loads the job's hosts, renders every panel, draws the text around them.
  bool render(RenderJob& job, Image& image, RenderStats& stats, std::string& error) const {
    std::vector<std::unique_ptr<Backend>> backends(2);
    for (Host host : job.hosts) {
      auto backend = createBackend(host, job.scene, job.materials, options_.libraries, error);
      if (!backend) return false;
      backends[static_cast<size_t>(host)] = std::move(backend);
    }
    const std::vector<Panel> panels = jobPanels(job, backends);
    image = Image(job.layout.width, job.layout.height);
    if (!job.layout.texts.empty()) {
      for (Rgb& p : image.pixels) p = {kSheetBackground, kSheetBackground, kSheetBackground};
    }
    ProgressBar bar(err_);
    const bool ok = gwp::render(
        panels, job.settings, image, stats,
        [&](size_t done, size_t total) { bar.update(done, total); }, error);
    bar.clear();
    if (!ok) {
      error = "rendering failed: " + error;
      return false;
    }
    return job.layout.texts.empty() || drawTexts(image, job.layout.texts, error);
  }

  void report(const RenderJob& job, const Image& image, const RenderStats& stats) const {
    if (stats.droppedSamples > 0) {
      std::fprintf(err_,
                   "glintweave-preview: warning: %llu samples were not finite and were left out\n",
                   static_cast<unsigned long long>(stats.droppedSamples));
    }
    const double perThread = stats.seconds > 0.0 ? static_cast<double>(stats.cameraSamples) /
                                                       stats.seconds / stats.threads
                                                 : 0.0;
    std::fprintf(out_,
                 "glintweave-preview: %dx%d (%s), %d spp, %d threads, %.2f s, %.0f samples/s per "
                 "thread -> %s\n",
                 image.width, image.height, hostList(job.hosts).c_str(), options_.samplesPerPixel,
                 stats.threads, stats.seconds, perThread, absolutePath(options_.output).c_str());
  }

 private:
  const Options& options_;
  std::FILE* out_;
  std::FILE* err_;
};

}  // namespace

int runPreview(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  Options options;
  Run run(options, out, err);
  std::string error;
  if (!parseOptions(args, options, error)) return run.fail(error);
  if (options.help) {
    std::fputs(helpText().c_str(), out);
    return kExitOk;
  }
  std::vector<gws::SceneFile> scenes;
  if (!run.readScenes(scenes)) return kExitError;
  if (options.list) return run.list(scenes);

  // Every destination is made ready, and the render planned, before any
  // work, so that an unwritable destination or an impossible render fails
  // first and a failure leaves nothing behind.
  gwf::TextFile maFile, miFile;
  if (!options.exportMa.empty() && !maFile.open(options.exportMa, error)) return run.fail(error);
  if (!options.exportMi.empty() && !miFile.open(options.exportMi, error)) return run.fail(error);
  const bool rendering = !options.exporting() || options.outputGiven;
  OutputFile file;
  if (rendering && !file.open(options.output, error)) return run.fail(error);
  RenderJob job;
  if (rendering && !planRender(options, scenes, job, error)) return run.fail(error);
  if (options.exporting() && !run.exportMaterial(maFile, miFile, error)) return run.fail(error);
  if (!rendering) return kExitOk;

  Image image;
  RenderStats stats;
  if (!run.render(job, image, stats, error)) return run.fail(error);
  if (!file.commit(image, error)) return run.fail(error);
  run.report(job, image, stats);
  return kExitOk;
}

}  // namespace gwp
