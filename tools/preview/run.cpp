// The run step of glintweave-preview: reads the scene files, lists or
// exports, carries out the render job the plan makes and reports.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <tuple>

#include "atomic_file.h"
#include "cli.h"
#include "image_io.h"
#include "messages.h"
#include "option_values.h"
#include "plan.h"
#include "scene_file.h"
#include "scene_writer.h"
#include "signal_cleanup.h"
#include "turntable_run.h"

namespace gwp {
namespace {

// The progress line on a terminal: what is done, the bar, the share and the
// time left, redrawn only when the text changes. Off a terminal, or quiet,
// it prints nothing.
class ProgressBar {
 public:
  ProgressBar(std::FILE* err, bool quiet, std::string what = "rendering")
      : err_(err), what_(std::move(what)), enabled_(!quiet && ::isatty(::fileno(err)) != 0) {}
  void update(size_t done, size_t total) {
    if (!enabled_ || total == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (!started_) {
      start_ = now;
      started_ = true;
    }
    const std::string line =
        progressLine(what_, done, total, std::chrono::duration<double>(now - start_).count());
    if (line == shown_) return;
    shown_ = line;
    std::fprintf(err_, "\r%s\033[K", line.c_str());
    std::fflush(err_);
  }
  void clear() {
    if (enabled_ && !shown_.empty()) std::fprintf(err_, "\r\033[K");
  }

 private:
  std::FILE* err_;
  std::string what_;
  bool enabled_;
  bool started_ = false;
  std::chrono::steady_clock::time_point start_{};
  std::string shown_;
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

// Writes `data` to a stream whole. False with a one-line `error`.
bool writeStream(std::FILE* stream, const std::string& data, std::string& error) {
  if (std::fwrite(data.data(), 1, data.size(), stream) != data.size() || std::fflush(stream) != 0) {
    error = std::string("cannot write to standard output: ") + std::strerror(errno);
    return false;
  }
  return true;
}

std::string stem(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string destinationName(const std::string& path) {
  return path == kStdoutPath ? "standard output" : absolutePath(path);
}

// One run: the options, the streams, and the one way to fail.
class Run {
 public:
  Run(const Options& options, std::FILE* out, std::FILE* err)
      : options_(options), out_(out), err_(err) {}

  // Where the lines meant for standard output go: standard error when the
  // output itself goes there.
  std::FILE* info() const { return options_.toStdout() ? err_ : out_; }

  void warn(const std::string& message) const {
    std::fprintf(err_, "glintweave-preview: warning: %s\n", gws::oneLine(message).c_str());
  }

  // Nothing binary is written to a terminal.
  bool checkStdout(std::string& error) const {
    if (options_.output == kStdoutPath && ::isatty(::fileno(out_)) != 0) {
      error = "will not write an image to a terminal: redirect standard output or give -o FILE";
      return false;
    }
    return true;
  }

  // --material keeps the materials of that name; --preset and --set go on
  // top of each kept material's values.
  bool adjustScenes(std::vector<gws::SceneFile>& scenes, std::string& error) const {
    const Options& o = options_;
    if (!o.pickMaterial.empty()) {
      std::vector<std::string> names;
      std::string files;
      size_t kept = 0;
      for (gws::SceneFile& f : scenes) {
        files += (files.empty() ? "" : ", ") + baseName(f.path);
        for (const gws::SceneMaterial& m : f.materials) names.push_back(m.name);
        auto& ms = f.materials;
        ms.erase(std::remove_if(ms.begin(), ms.end(),
                                [&](const gws::SceneMaterial& m) { return m.name != o.pickMaterial; }),
                 ms.end());
        kept += ms.size();
      }
      if (kept == 0) {
        std::string list;
        for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
        const std::string near = gws::nearestName(o.pickMaterial, names);
        error = "--material: no material '" + o.pickMaterial + "' in " + files +
                (near.empty() ? "" : " (did you mean " + near + "?)") + "; it has: " + list;
        return false;
      }
      scenes.erase(std::remove_if(scenes.begin(), scenes.end(),
                                  [](const gws::SceneFile& f) { return f.materials.empty(); }),
                   scenes.end());
    }
    for (gws::SceneFile& f : scenes) {
      for (gws::SceneMaterial& m : f.materials) {
        if (o.presetGiven && !applyPreset(m.material, *findPreset(o.preset), error)) return false;
        for (const std::string& s : o.settings) {
          if (!applySetting(m.material, s, error)) {
            error = "--set " + error;
            return false;
          }
        }
      }
    }
    return true;
  }

  // The materials a --export-ma / --export-mi file holds: the command's
  // material, or the scenes' (under names the file can take).
  bool exported(const std::vector<gws::SceneFile>& scenes, const std::string& path,
                std::vector<gws::NamedMaterial>& out, std::vector<std::string>& notes,
                std::string& error) const {
    const Options& o = options_;
    if (scenes.empty()) {
      out.push_back({o.materialName, o.material});
      return true;
    }
    size_t count = 0;
    for (const gws::SceneFile& f : scenes) count += f.materials.size();
    if (o.nameGiven && count != 1) {
      error = "--name names one material, but " + std::to_string(count) +
              " would be exported; pick one with --material";
      return false;
    }
    std::vector<std::string> taken;
    for (const gws::SceneFile& f : scenes) {
      for (const gws::SceneMaterial& m : f.materials) {
        const std::string name =
            o.nameGiven ? o.materialName : gws::usableMaterialName(m.name, taken);
        if (!o.nameGiven && name != m.name) {
          notes.push_back(path + ": " + baseName(f.path) + "'s \"" + m.name + "\" written as " +
                          name);
        }
        for (const gws::Connection& c : m.connections) {
          notes.push_back(path + ": " + name + ": " + (*o.schema)[c.input].name +
                          "'s connection to " + c.source +
                          " is not written (its stored value is)");
        }
        out.push_back({name, m.material});
      }
    }
    return true;
  }

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
      ProgressBar bar(err_, options_.quiet, "reading " + baseName(path));
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
    if (scenes.empty() && options_.presetGiven) {
      std::fputs(presetText(*findPreset(options_.preset)).c_str(), out_);
      return kExitOk;
    }
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

  // One exported file: its path, what it holds, the file made ready.
  struct Export {
    const std::string* path = nullptr;
    Host host = Host::kMaya;
    gwf::TextFile* file = nullptr;
    std::vector<gws::NamedMaterial> materials;
    std::vector<std::string> notes;
  };

  // Writes the exported scene files, made ready beforehand, and reports
  // what a file has no place for, one line each.
  bool exportMaterials(std::vector<Export>& exports, std::string& error) const {
    for (Export& e : exports) {
      // Standard output's text names the file after what it holds.
      const std::string ext = e.host == Host::kMaya ? ".ma" : ".mi";
      const std::string name =
          *e.path != kStdoutPath ? *e.path
          : options_.scenes.empty() || options_.nameGiven
              ? options_.materialName + ext
              : stem(baseName(options_.scenes.front())) + ext;
      const std::string text = e.host == Host::kMaya ? gws::mayaAsciiText(e.materials, name)
                                                     : gws::mentalRayText(e.materials, name);
      if (*e.path == kStdoutPath ? !writeStream(out_, text, error)
                                 : !e.file->commit(text, error)) {
        return false;
      }
    }
    for (const Export& e : exports) {
      std::string names;
      for (const gws::NamedMaterial& m : e.materials) {
        names += (names.empty() ? "" : ", ") + m.name;
        for (const std::string& line : gws::inputsWithoutPlace(m.material, e.host)) {
          warn(*e.path + ": " + m.name + ": not written: " + line);
        }
      }
      for (const std::string& note : e.notes) warn(note);
      std::fprintf(info(), "glintweave-preview: wrote %s to %s\n", names.c_str(),
                   destinationName(*e.path).c_str());
    }
    return true;
  }

  // Loads the job's hosts, renders every panel, draws the text around them.
  // `plain`, when given, receives the rendered image before the exposure
  // and the text.
  bool render(RenderJob& job, Image& image, RenderStats& stats, std::string& error,
              const std::string& what = "rendering", Image* plain = nullptr) const {
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
    ProgressBar bar(err_, options_.quiet, what);
    const bool ok = gwp::render(
        panels, job.settings, image, stats,
        [&](size_t done, size_t total) { bar.update(done, total); }, error);
    bar.clear();
    if (!ok) {
      error = "rendering failed: " + error;
      return false;
    }
    if (plain) *plain = image;
    exposeCells(image, job.layout.cells, job.cellWidth, job.cellHeight, formatOf(options_.output));
    return job.layout.texts.empty() || drawTexts(image, job.layout.texts, error);
  }

  // The exposure scales the renders of a PNG, not the sheet around them (its
  // text stays legible); an OpenEXR image keeps the rendered values.
  void exposeCells(Image& image, const std::vector<SheetCell>& cells, int w, int h,
                   ImageFormat format) const {
    if (options_.view.exposure == 0.0 || format == ImageFormat::kExr) {
      return;
    }
    const float scale = exposureScale(options_.view.exposure);
    for (const SheetCell& c : cells) {
      for (int y = c.y; y < std::min(c.y + h, image.height); ++y) {
        for (int x = c.x; x < std::min(c.x + w, image.width); ++x)
          image.at(x, y) = image.at(x, y) * scale;
      }
    }
  }

  // Lays out the turntable's sheet from the plan of its first frame and
  // makes its file ready.
  bool planSheet(const std::vector<gws::SceneFile>& scenes, const Options& first,
                 TurntableSheet& sheet, std::string& error) const {
    if (!sheet.file.open(options_.turntableSheet, error)) return false;
    RenderJob job;
    if (!planRender(first, scenes, job, error)) return false;
    return layOutTurntableSheet(options_, job.layout.width, job.layout.height, sheet, error);
  }

  // The format --format asks for, if any, and the one `path` is written in.
  std::optional<ImageFormat> formatOption() const {
    if (options_.format.empty()) return std::nullopt;
    return options_.format == "exr" ? ImageFormat::kExr : ImageFormat::kPng;
  }
  ImageFormat formatOf(const std::string& path) const {
    return formatOption().value_or(formatForPath(path));
  }

  // A PNG's view settings are of no use to an OpenEXR image: said once.
  void warnAboutExrView(const std::string& path) const {
    if (formatOf(path) != ImageFormat::kExr) return;
    if (options_.view.exposure != 0.0 || options_.view.usesConfig()) {
      std::fprintf(err_,
                   "glintweave-preview: warning: %s is OpenEXR, which keeps the rendered linear "
                   "values: --exposure and the view apply to PNG only\n",
                   path.c_str());
    }
  }

  // Renders and writes one image: the single image of a run, or frame
  // `frame` (1-based) of a turntable. With `sendTo` (a pipe to the process
  // that makes the turntable's sheet) the plain render goes there too.
  int renderImage(const std::vector<gws::SceneFile>& scenes, const ViewTransform& view,
                  const std::string& what, int sendTo = -1) const {
    std::string error;
    OutputFile file;
    if (!file.open(options_.output, error, formatOption())) return fail(error);
    RenderJob job;
    if (!planRender(options_, scenes, job, error)) return fail(error);
    Image image, plain;
    RenderStats stats;
    if (!render(job, image, stats, error, what, sendTo >= 0 ? &plain : nullptr)) {
      return fail(error);
    }
    if (sendTo >= 0 && !sendFrame(sendTo, plain))
      return fail("cannot pass the frame on: " + std::string(std::strerror(errno)));
    if (!file.commit(image, view, error)) return fail(error);
    report(job, image, stats);
    return kExitOk;
  }

  // A turntable: every frame in a process of its own, one after the other,
  // or frame --frame alone. A frame's process starts from the same state
  // whichever way it is asked for (the deliverables' generators take their
  // streams in the order threads first draw, process-wide), so the frame is
  // the same file byte for byte either way.
  int turntable(const std::vector<gws::SceneFile>& scenes, const ViewTransform& view) const {
    std::string error;
    FramePattern pattern;
    if (!parseFramePattern(options_.output, pattern, error)) return fail(error);
    const int n = options_.turntableFrames;
    const auto frameOptions = [&](int k) {
      Options o = options_;
      o.orbit = turntableOrbit(options_.orbit, k, n);
      o.output = pattern.path(k);
      return o;
    };
    const auto label = [&](int k) {
      return "frame " + std::to_string(k) + "/" + std::to_string(n);
    };
    if (options_.frame > 0) {
      const Options o = frameOptions(options_.frame);
      return Run(o, out_, err_).renderImage(scenes, view, label(options_.frame));
    }
    TurntableSheet sheet;
    if (!options_.turntableSheet.empty() && !planSheet(scenes, frameOptions(1), sheet, error)) {
      return fail(error);
    }
    const bool sheeted = !options_.turntableSheet.empty();
    const FrameRenderer frame = [&](int k, int sendTo) {
      const Options o = frameOptions(k);
      return Run(o, out_, err_).renderImage(scenes, view, label(k), sendTo);
    };
    const int code = renderFrames(n, sheeted ? &sheet : nullptr, frame, out_, err_, error);
    if (code != kExitOk) return error.empty() ? code : fail(error);
    if (!sheeted) return kExitOk;
    exposeCells(sheet.image, sheet.layout.cells, sheet.cellWidth, sheet.cellHeight,
                formatForPath(options_.turntableSheet));
    if (!drawTexts(sheet.image, sheet.layout.texts, error) ||
        !sheet.file.commit(sheet.image, view, error)) {
      return fail(error);
    }
    std::fprintf(info(), "glintweave-preview: contact sheet of %d frames -> %s\n", n,
                 absolutePath(options_.turntableSheet).c_str());
    return kExitOk;
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
    // Under adaptive sampling --spp is the most a pixel took; the mean follows.
    char taken[64] = "";
    const double pixels = static_cast<double>(job.cellWidth) * job.cellHeight *
                          static_cast<double>(job.swatches.size());
    if (options_.adaptiveThreshold > 0.0f && pixels > 0.0) {
      std::snprintf(taken, sizeof taken, " (adaptive, %.1f on average)",
                    static_cast<double>(stats.cameraSamples) / pixels);
    }
    std::fprintf(info(),
                 "glintweave-preview: %dx%d (%s), %d spp%s, %d thread%s, %.2f s, %.0f samples/s "
                 "per thread -> %s\n",
                 image.width, image.height, hostList(job.hosts).c_str(), options_.samplesPerPixel,
                 taken, stats.threads, stats.threads == 1 ? "" : "s", stats.seconds, perThread,
                 destinationName(options_.output).c_str());
  }

 private:
  const Options& options_;
  std::FILE* out_;
  std::FILE* err_;
};

}  // namespace

std::string progressLine(const std::string& what, size_t done, size_t total, double elapsed) {
  constexpr size_t kWidth = 40;
  done = std::min(done, total);
  const size_t filled = total ? done * kWidth / total : kWidth;
  std::string line = what + " [" + std::string(filled, '#') + std::string(kWidth - filled, '.') +
                     "] ";
  char share[8];
  std::snprintf(share, sizeof share, "%3zu%%", total ? done * 100 / total : 100);
  line += share;
  if (done == 0 || done >= total || !(elapsed >= 0.0)) return line;
  // Whole seconds, rounded up: the line never promises less than is left.
  const double left = elapsed * static_cast<double>(total - done) / static_cast<double>(done);
  const auto seconds = static_cast<long long>(std::ceil(std::min(left, 1e9)));
  char eta[48];
  if (seconds < 60) {
    std::snprintf(eta, sizeof eta, " ETA %lld s", seconds);
  } else if (seconds < 3600) {
    std::snprintf(eta, sizeof eta, " ETA %lld min %02lld s", seconds / 60, seconds % 60);
  } else {
    std::snprintf(eta, sizeof eta, " ETA %lld h %02lld min", seconds / 3600, seconds / 60 % 60);
  }
  return line + eta;
}

int runPreview(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  Options options;
  Run run(options, out, err);
  std::string error;
  if (!parseOptions(args, options, error)) return run.fail(error);
  if (options.help) {
    std::fputs(helpText().c_str(), out);
    return kExitOk;
  }
  if (options.version) {
    std::fputs(versionText().c_str(), out);
    return kExitOk;
  }
  const bool rendering = !options.list && (!options.exporting() || options.outputGiven);
  if (rendering && !run.checkStdout(error)) return run.fail(error);
  std::vector<gws::SceneFile> scenes;
  if (!run.readScenes(scenes)) return kExitError;
  if (!run.adjustScenes(scenes, error)) return run.fail(error);
  if (options.list) return run.list(scenes);
  ViewTransform view;
  if (!view.open(options.view, error)) return run.fail(error);
  run.warnAboutExrView(options.output);
  if (options.turntableFrames > 0) return run.turntable(scenes, view);

  // Every destination is made ready, and the render planned, before any
  // work, so that an unwritable destination or an impossible render fails
  // first and a failure leaves nothing behind.
  gwf::TextFile maFile, miFile;
  std::vector<Run::Export> exports;
  for (auto [path, host, textFile] : {std::tuple{&options.exportMa, Host::kMaya, &maFile},
                                      std::tuple{&options.exportMi, Host::kMentalRay, &miFile}}) {
    if (path->empty()) continue;
    Run::Export e;
    e.path = path;
    e.host = host;
    e.file = textFile;
    if (!run.exported(scenes, *path, e.materials, e.notes, error)) return run.fail(error);
    if (*path != kStdoutPath && !textFile->open(*path, error)) return run.fail(error);
    exports.push_back(std::move(e));
  }
  std::optional<ImageFormat> format;
  if (!options.format.empty()) format = options.format == "exr" ? ImageFormat::kExr : ImageFormat::kPng;
  const bool imageToStdout = options.output == kStdoutPath;
  if (imageToStdout && format == ImageFormat::kExr && !exrSupported()) {
    return run.fail("this build cannot write OpenEXR (install libopenexr-dev and rebuild)");
  }
  OutputFile file;
  if (rendering && !imageToStdout && !file.open(options.output, error, format)) {
    return run.fail(error);
  }
  RenderJob job;
  if (rendering && !planRender(options, scenes, job, error)) return run.fail(error);
  if (!run.exportMaterials(exports, error)) return run.fail(error);
  if (!rendering) return kExitOk;

  Image image;
  RenderStats stats;
  if (!run.render(job, image, stats, error)) return run.fail(error);
  if (imageToStdout) {
    std::string bytes;
    if (!encodeImage(image, format.value_or(ImageFormat::kPng), view, bytes, error) ||
        !writeStream(out, bytes, error)) {
      return run.fail(error);
    }
  } else if (!file.commit(image, view, error)) {
    return run.fail(error);
  }
  run.report(job, image, stats);
  return kExitOk;
}

}  // namespace gwp
