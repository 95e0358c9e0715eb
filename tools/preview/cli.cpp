#include "cli.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <thread>

#include "image_io.h"
#include "render.h"
#include "scene.h"

namespace gwp {
namespace {

constexpr int kMinSize = 8;
constexpr int kMaxSize = 8192;
constexpr int kMaxSamples = 4096;
constexpr int kMaxThreads = 1024;
constexpr int kMaxLightSamples = 256;
constexpr size_t kMaxSweepValues = 16;
constexpr int kDefaultCell = 128;
constexpr const char* kDefaultOutput = "glintweave-preview.png";
constexpr const char* kDefaultSweepOutput = "glintweave-sweep.png";

bool parseInt(const std::string& text, long lo, long hi, const char* what, int& out,
              std::string& error) {
  char* end = nullptr;
  errno = 0;
  const long v = text.empty() ? 0 : std::strtol(text.c_str(), &end, 10);
  if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE) {
    error = std::string(what) + ": '" + text + "' is not an integer";
    return false;
  }
  if (v < lo || v > hi) {
    error = std::string(what) + " " + text + " is out of range [" + std::to_string(lo) + ", " +
            std::to_string(hi) + "]";
    return false;
  }
  out = static_cast<int>(v);
  return true;
}

bool parseSize(const std::string& text, int& w, int& h, std::string& error) {
  const size_t x = text.find('x');
  if (x == std::string::npos) {
    error = "--size: expected WIDTHxHEIGHT, got '" + text + "'";
    return false;
  }
  return parseInt(text.substr(0, x), kMinSize, kMaxSize, "--size width", w, error) &&
         parseInt(text.substr(x + 1), kMinSize, kMaxSize, "--size height", h, error);
}

bool parseSweep(const std::string& text, Sweep& sweep, std::string& error) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos) {
    error = "--sweep: expected name=v1,v2,..., got '" + text + "'";
    return false;
  }
  const std::string name = text.substr(0, eq);
  const int id = findInput(name);
  if (id < 0) {
    error = "--sweep: unknown material input '" + name + "' (see --list)";
    return false;
  }
  sweep.input = static_cast<InputId>(id);
  // Values are separated by commas; a colour's components by colons.
  const std::string list = text.substr(eq + 1);
  size_t start = 0;
  while (true) {
    const size_t comma = list.find(',', start);
    const std::string item = list.substr(start, comma == std::string::npos ? comma : comma - start);
    std::array<float, 3> v{};
    std::string why;
    if (!parseInputValue(sweep.input, item, v, why)) {
      error = "--sweep " + name + ": " + why;
      return false;
    }
    sweep.values.push_back(v);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (sweep.values.size() > kMaxSweepValues) {
    error = "--sweep " + name + ": at most " + std::to_string(kMaxSweepValues) + " values";
    return false;
  }
  return true;
}

bool hostHas(HostKind host, InputId id) {
  const MaterialInput& in = materialInputs()[static_cast<size_t>(id)];
  return host == HostKind::kMaya ? in.maya : in.mentalray;
}

std::string hostList(const std::vector<HostKind>& hosts) {
  std::string s;
  for (HostKind h : hosts) s += (s.empty() ? "" : " | ") + std::string(hostName(h));
  return s;
}

class ProgressBar {
 public:
  explicit ProgressBar(std::FILE* err) : err_(err), enabled_(::isatty(::fileno(err)) != 0) {}
  void update(size_t done, size_t total) {
    if (!enabled_ || total == 0) return;
    // A terminal redrawn more than ten times a second only flickers.
    const auto now = std::chrono::steady_clock::now();
    if (done < total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    constexpr size_t kWidth = 40;
    const size_t filled = done * kWidth / total;
    std::fprintf(err_, "\rrendering [%s%s] %3zu%% ", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), done * 100 / total);
    std::fflush(err_);
  }
  void clear() {
    if (enabled_) std::fprintf(err_, "\r\033[K");
  }

 private:
  std::FILE* err_;
  bool enabled_;
  std::chrono::steady_clock::time_point last_{};
};

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buf[PATH_MAX];
  if (!::getcwd(buf, sizeof buf)) return path;
  return std::string(buf) + "/" + path;
}

}  // namespace

const char* hostName(HostKind host) { return host == HostKind::kMaya ? "maya" : "mentalray"; }

std::string helpText() {
  std::string text =
      "Usage: glintweave-preview [options]\n"
      "\n"
      "Renders a studio scene with the glintWeave material through the real deliverables:\n"
      "the Maya node plug-in (glintWeave.so) in the stand-in Maya host and the mental ray\n"
      "shader library (kl4v_glintWeave.so) in the stand-in renderer. Every material sample is\n"
      "shaded by the deliverable itself; the tool only traces rays and lights the scene.\n"
      "\n"
      "Options:\n"
      "  --host maya|mentalray|both  which deliverable renders (default: both, side by side,\n"
      "                              Maya on the left)\n"
      "  --size WxH                  image size per host, 8 to 8192 (default 400x300);\n"
      "                              in sweep mode the size of one cell (default 128x128)\n"
      "  --spp N                     camera samples per pixel, 1 to 4096 (default 16)\n"
      "  --threads N                 rendering threads (default: all cores); the image does\n"
      "                              not depend on it\n"
      "  --preset NAME               start from a named material (default brushed-metal)\n"
      "  --set NAME=VALUE            set a material input by its attribute name; repeatable,\n"
      "                              applied after the preset, e.g. --set specularU=200;\n"
      "                              colours take r,g,b or one grey value\n"
      "  --sweep NAME=V1,V2,...      render a contact sheet, one sphere per value; give it\n"
      "                              twice for a grid (first: columns, second: rows); up to\n"
      "                              16 values each; colour values as r:g:b\n"
      "  --point-lights              make the key light a point light instead of an area\n"
      "                              light (the two hosts then agree most closely)\n"
      "  --light-samples N|auto      shadow samples of the area light per hit: auto (the\n"
      "                              default) gives each hit one and spreads them over the\n"
      "                              pixel's camera samples; N, 1 to 256, gives every hit,\n"
      "                              reflected ones included, N of its own (16: one per\n"
      "                              cell of the light's 4x4 grid, as earlier versions did)\n"
      "  -o, --output PATH           image to write (default glintweave-preview.png, or\n"
      "                              glintweave-sweep.png for a sweep); PNG, or OpenEXR with\n"
      "                              linear values when PATH ends in .exr\n"
      "  --maya-plugin PATH          the Maya plug-in to load (default: this build's)\n"
      "  --mr-shader PATH            the mental ray shader library (default: this build's)\n"
      "  --mr-renderer PATH          the stand-in renderer module (default: this build's)\n"
      "  --list                      list the material inputs and presets, then exit\n"
      "  -h, --help                  show this help, then exit\n"
      "\n"
      "The image is written to a temporary file and renamed into place when complete. A\n"
      "progress bar goes to standard error when it is a terminal; one summary line goes to\n"
      "standard output. Any error prints one line and exits with status 2.\n"
      "\n"
      "Examples:\n"
      "  glintweave-preview\n"
      "  glintweave-preview --preset satin --set color=0.2,0.4,0.8 -o satin.png\n"
      "  glintweave-preview --host maya --sweep specularU=1,10,100,1000 --sweep specularV=1,100\n";
  return text;
}

std::string listText() {
  std::string text = "Material inputs (name, hosts, default: meaning):\n";
  for (size_t i = 0; i < materialInputs().size(); ++i) {
    const MaterialInput& in = materialInputs()[i];
    const char* hosts = in.maya && in.mentalray ? "both" : (in.maya ? "maya" : "mentalray");
    char line[200];
    std::snprintf(line, sizeof line, "  %-18s %-9s %-12s %s\n", in.name, hosts,
                  formatValue(static_cast<InputId>(i), in.defaultValue).c_str(), in.description);
    text += line;
  }
  text += "\nPresets:\n";
  for (const Preset& p : presets()) {
    char line[200];
    std::snprintf(line, sizeof line, "  %-15s %s\n", p.name, p.description);
    text += line;
  }
  return text;
}

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
  std::vector<std::string> settings;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // Accepts "--opt value" and "--opt=value".
    std::string name = arg;
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      const size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        inlineValue = arg.substr(eq + 1);
      }
    }
    auto value = [&](std::string& out) {
      if (inlineValue) {
        out = *inlineValue;
        return true;
      }
      if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    if (name == "-h" || name == "--help") {
      options.help = true;
    } else if (name == "--list") {
      options.list = true;
    } else if (name == "--point-lights") {
      options.pointLightsOnly = true;
    } else if (name == "--light-samples") {
      if (!value(v)) return false;
      if (v == "auto") {
        options.lightSamples = 0;
      } else if (!parseInt(v, 1, kMaxLightSamples, "--light-samples", options.lightSamples,
                           error)) {
        return false;
      }
    } else if (name == "--host") {
      if (!value(v)) return false;
      if (v == "maya") {
        options.hosts = {HostKind::kMaya};
      } else if (v == "mentalray") {
        options.hosts = {HostKind::kMentalRay};
      } else if (v == "both") {
        options.hosts = {HostKind::kMaya, HostKind::kMentalRay};
      } else {
        error = "--host: unknown host '" + v + "' (use maya, mentalray or both)";
        return false;
      }
    } else if (name == "--size") {
      if (!value(v) || !parseSize(v, options.width, options.height, error)) return false;
      options.sizeGiven = true;
    } else if (name == "--spp") {
      if (!value(v) || !parseInt(v, 1, kMaxSamples, "--spp", options.samplesPerPixel, error)) {
        return false;
      }
    } else if (name == "--threads") {
      if (!value(v) || !parseInt(v, 1, kMaxThreads, "--threads", options.threads, error)) {
        return false;
      }
    } else if (name == "--preset") {
      if (!value(v)) return false;
      if (!findPreset(v)) {
        std::string names;
        for (const Preset& p : presets())
          names += (names.empty() ? "" : ", ") + std::string(p.name);
        error = "--preset: unknown preset '" + v + "' (one of " + names + ")";
        return false;
      }
      options.preset = v;
    } else if (name == "--set") {
      if (!value(v)) return false;
      settings.push_back(v);
    } else if (name == "--sweep") {
      if (!value(v)) return false;
      Sweep sweep;
      if (!parseSweep(v, sweep, error)) return false;
      if (options.sweeps.size() == 2) {
        error = "--sweep: at most two parameters";
        return false;
      }
      options.sweeps.push_back(std::move(sweep));
    } else if (name == "-o" || name == "--output") {
      if (!value(v)) return false;
      if (v.empty()) {
        error = "--output: the path is empty";
        return false;
      }
      options.output = v;
    } else if (name == "--maya-plugin") {
      if (!value(v)) return false;
      options.libraries.mayaPlugin = v;
    } else if (name == "--mr-shader") {
      if (!value(v)) return false;
      options.libraries.mentalRayShader = v;
    } else if (name == "--mr-renderer") {
      if (!value(v)) return false;
      options.libraries.mentalRayRenderer = v;
    } else {
      error = "unknown option '" + arg + "' (see --help)";
      return false;
    }
  }

  options.material = Material();
  for (const auto& [n, val] : findPreset(options.preset)->settings) {
    std::string why;
    applySetting(options.material, std::string(n) + "=" + val, why);
  }
  for (const std::string& s : settings) {
    if (!applySetting(options.material, s, error)) {
      error = "--set " + error;
      return false;
    }
    const InputId id = static_cast<InputId>(findInput(s.substr(0, s.find('='))));
    if (std::none_of(options.hosts.begin(), options.hosts.end(),
                     [&](HostKind h) { return hostHas(h, id); })) {
      error = "--set: " + std::string(materialInputs()[id].name) + " is not an input of " +
              hostList(options.hosts);
      return false;
    }
  }
  for (const Sweep& sweep : options.sweeps) {
    if (std::none_of(options.hosts.begin(), options.hosts.end(),
                     [&](HostKind h) { return hostHas(h, sweep.input); })) {
      error = "--sweep: " + std::string(materialInputs()[sweep.input].name) +
              " is not an input of " + hostList(options.hosts);
      return false;
    }
  }
  if (options.sweeps.size() == 2 && options.sweeps[0].input == options.sweeps[1].input) {
    error = "--sweep: the two sweeps name the same input";
    return false;
  }
  if (!options.sweeps.empty() && !options.sizeGiven) {
    options.width = options.height = kDefaultCell;
  }
  if (options.output.empty()) {
    options.output = options.sweeps.empty() ? kDefaultOutput : kDefaultSweepOutput;
  }
  return true;
}

int runPreview(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  auto fail = [&](const std::string& message) {
    std::fprintf(err, "glintweave-preview: error: %s\n", message.c_str());
    return kExitError;
  };
  Options options;
  std::string error;
  if (!parseOptions(args, options, error)) return fail(error);
  if (options.help) {
    std::fputs(helpText().c_str(), out);
    return kExitOk;
  }
  if (options.list) {
    std::fputs(listText().c_str(), out);
    return kExitOk;
  }

  // The scene and the materials. Sweep mode renders a grid of cells, the
  // first sweep along the columns, the second along the rows.
  const bool sweeping = !options.sweeps.empty();
  Scene scene = sweeping ? sweepCellScene() : defaultScene(options.pointLightsOnly);
  if (options.lightSamples > 0) {
    scene.lightSampling.mode = LightSampling::Mode::kPerHit;
    scene.lightSampling.perHit = options.lightSamples;
  }
  std::vector<Material> materials{floorMaterial()};
  const size_t cols = sweeping ? options.sweeps[0].values.size() : 1;
  const size_t rows = options.sweeps.size() == 2 ? options.sweeps[1].values.size() : 1;
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < cols; ++c) {
      Material m = options.material;
      if (sweeping) m.value[options.sweeps[0].input] = options.sweeps[0].values[c];
      if (options.sweeps.size() == 2)
        m.value[options.sweeps[1].input] = options.sweeps[1].values[r];
      materials.push_back(m);
    }
  }

  const int sheetW = options.width * static_cast<int>(cols);
  const int sheetH = options.height * static_cast<int>(rows);
  if (static_cast<long>(sheetW) * static_cast<long>(options.hosts.size()) > 2L * kMaxSize ||
      sheetH > kMaxSize) {
    return fail("the image would be larger than " + std::to_string(2 * kMaxSize) + "x" +
                std::to_string(kMaxSize) + "; use a smaller --size");
  }

  // Fail on an unwritable destination before loading or rendering anything.
  OutputFile file;
  if (!file.open(options.output, error)) return fail(error);

  std::vector<std::unique_ptr<Backend>> backends;
  for (HostKind host : options.hosts) {
    auto backend = createBackend(host, scene, materials, options.libraries, error);
    if (!backend) return fail(error);
    backends.push_back(std::move(backend));
  }

  std::vector<Panel> panels;
  for (size_t h = 0; h < backends.size(); ++h) {
    for (size_t r = 0; r < rows; ++r) {
      for (size_t c = 0; c < cols; ++c) {
        Panel p;
        p.backend = backends[h].get();
        p.scene = &scene;
        p.materialOfSlot[kFloorSlot] = 0;
        p.materialOfSlot[kHeroSlot] = static_cast<int>(1 + r * cols + c);
        p.x0 = static_cast<int>(h) * sheetW + static_cast<int>(c) * options.width;
        p.y0 = static_cast<int>(r) * options.height;
        p.width = options.width;
        p.height = options.height;
        panels.push_back(p);
      }
    }
  }

  RenderSettings settings;
  settings.samplesPerPixel = options.samplesPerPixel;
  settings.threads = options.threads > 0
                         ? options.threads
                         : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  Image image(sheetW * static_cast<int>(backends.size()), sheetH);
  RenderStats stats;
  ProgressBar bar(err);
  const bool ok = render(
      panels, settings, image, stats, [&](size_t done, size_t total) { bar.update(done, total); },
      error);
  bar.clear();
  if (!ok) return fail("rendering failed: " + error);
  if (!file.commit(image, error)) return fail(error);

  if (stats.droppedSamples > 0) {
    std::fprintf(err,
                 "glintweave-preview: warning: %llu samples were not finite and were left out\n",
                 static_cast<unsigned long long>(stats.droppedSamples));
  }
  const double perThread =
      stats.seconds > 0.0 ? static_cast<double>(stats.cameraSamples) / stats.seconds / stats.threads
                          : 0.0;
  std::fprintf(out,
               "glintweave-preview: %dx%d (%s), %d spp, %d threads, %.2f s, %.0f samples/s per "
               "thread -> %s\n",
               image.width, image.height, hostList(options.hosts).c_str(), options.samplesPerPixel,
               stats.threads, stats.seconds, perThread, absolutePath(options.output).c_str());
  return kExitOk;
}

}  // namespace gwp
