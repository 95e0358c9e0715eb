// glintweave_efficiency: how much noise the preview renderer leaves per second
// of rendering, for each host, with the earlier light sampling
// (--light-samples 16: every hit, reflected ones included, casts its own 16
// shadow rays at the area light) and with the default, and optionally with an
// earlier build's preview (--baseline), which shows what the hosts' own
// speed-ups bought on top of the sampling.
//
// For each host it renders a reference once, at many samples per pixel with
// the default sampling, then renders the default scene at a few sample counts
// in each configuration, interleaved (so that the machine's other load falls
// on all of them alike), and prints
//
//   efficiency = 1 / (RMSE^2 x seconds)
//
// with the RMSE taken in 8-bit sRGB codes against the reference and the
// seconds those of the render alone. Every configuration estimates the same
// image (every light sample lies uniformly on the light), so one reference
// serves all. The reference is rendered from a sample range of its own (its
// camera jitter and light samples are not those of the timed renders) and in
// two halves; half the RMSE between the halves estimates the reference's own
// noise, which sits under every RMSE printed.
//
// Not a test and not a Google Benchmark: a whole run takes many minutes. See
// BENCHMARKS.md for the command and the recorded figures.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "backend.h"
#include "cli.h"
#include "environment.h"
#include "environment_setup.h"
#include "image_io.h"
#include "mesh.h"
#include "plan.h"
#include "render.h"
#include "scene.h"

#ifdef GLINTWEAVE_EFFICIENCY_EXR
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#endif

namespace {

using gwp::Host;

// Far from the sample indices of the timed renders.
constexpr int kReferenceFirstSample = 1 << 22;

struct Settings {
  gwp::LightSampling measured;  // the preview's default unless --spread says otherwise
  std::string baseline;         // an earlier build's glintweave-preview, or empty
  std::vector<std::string> hosts{"maya", "mentalray"};
  std::vector<int> spp{4, 16, 64};
  int referenceSpp = 1024;
  int threads = 2;
  int width = 400;
  int height = 300;
  int repeats = 1;
};

struct Config {
  std::string name;
  gwp::LightSampling sampling;
  bool external = false;  // rendered by the baseline build's preview
};

// The earlier build first (when given), then today's sampling in this build,
// then the configuration measured against them.
std::vector<Config> configs(const Settings& settings) {
  std::vector<Config> cs;
  if (!settings.baseline.empty()) cs.push_back({"earlier build", {}, true});
  gwp::LightSampling today;
  today.mode = gwp::LightSampling::Mode::kPerHit;
  today.perHit = 16;
  cs.push_back({"--light-samples 16", today});
  const gwp::LightSampling preset;
  const gwp::LightSampling& m = settings.measured;
  const bool isDefault = m.cameraHit == preset.cameraHit && m.reflectedHit == preset.reflectedHit;
  cs.push_back(
      {isDefault ? "default"
                 : "spread " + std::to_string(m.cameraHit) + "/" + std::to_string(m.reflectedHit),
       m});
  return cs;
}

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double loadAverage() {
  double load[1] = {0.0};
  return getloadavg(load, 1) == 1 ? load[0] : -1.0;
}

// RMSE between two images in 8-bit sRGB codes, over every channel of every
// pixel.
double rmse8(const gwp::Image& a, const gwp::Image& b) {
  double sum = 0.0;
  for (size_t i = 0; i < a.pixels.size(); ++i) {
    const gwp::Rgb& p = a.pixels[i];
    const gwp::Rgb& q = b.pixels[i];
    for (const auto& [x, y] : {std::pair{p.x, q.x}, std::pair{p.y, q.y}, std::pair{p.z, q.z}}) {
      const double d = static_cast<double>(gwp::toSrgb8(x)) - static_cast<double>(gwp::toSrgb8(y));
      sum += d * d;
    }
  }
  return std::sqrt(sum / static_cast<double>(3 * a.pixels.size()));
}

// The mean of every channel of every pixel, linear: how bright an image is.
double meanLevel(const gwp::Image& image) {
  double sum = 0.0;
  for (const gwp::Rgb& p : image.pixels) sum += static_cast<double>(p.x) + p.y + p.z;
  return image.pixels.empty() ? 0.0 : sum / (3.0 * static_cast<double>(image.pixels.size()));
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// One render by another build's glintweave-preview, in a process of its own:
// the image it wrote, the render time it reported, and the CPU time of the
// whole process (loading and writing included, a few hundredths of a second).
bool renderExternal(const Settings& settings, Host host, int spp, const std::string& dir,
                    gwp::Image& image, double& seconds, double& cpuSeconds, std::string& error) {
  const std::string out = dir + "/baseline.png";
  const std::vector<std::string> args = {
      settings.baseline,
      "--host",
      gwp::hostName(host),
      "--size",
      std::to_string(settings.width) + "x" + std::to_string(settings.height),
      "--spp",
      std::to_string(spp),
      "--threads",
      std::to_string(settings.threads),
      "-o",
      out};
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    error = "cannot make a pipe";
    return false;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    error = "cannot start " + settings.baseline;
    return false;
  }
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) dup2(devNull, STDERR_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = read(pipeFds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = settings.baseline + " failed (status " + std::to_string(status) + ")";
    return false;
  }
  cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  // "..., 2 threads, 1.64 s, 146572 samples/s per thread -> ...": the rate
  // has more digits than the seconds.
  const std::regex summary(R"(, (\d+) threads, ([0-9.]+) s, ([0-9.]+) samples/s per thread)");
  std::smatch m;
  if (!std::regex_search(text, m, summary)) {
    error = settings.baseline + " printed no summary line: " + text;
    return false;
  }
  const double rate = std::stod(m[3]) * std::stod(m[1]);
  const double samples = static_cast<double>(settings.width) * settings.height * spp;
  seconds = rate > 0.0 ? samples / rate : std::stod(m[2]);
  return gwp::readPng(out, image, error);
}

// The command line's own defaults: its default preset on the spheres, the
// floor material on the ground.
bool defaultMaterials(std::vector<gwp::Material>& materials, std::string& error) {
  gwp::Options options;
  if (!gwp::parseOptions({}, options, error)) return false;
  materials = {gwp::floorMaterial(options.schema), options.material};
  return true;
}

class HostRun {
 public:
  // `materials`: the floor's, then the hero's.
  HostRun(Host host, const Settings& settings, gwp::Scene scene,
          std::vector<gwp::Material> materials)
      : host_(host), settings_(settings), scene_(std::move(scene)),
        materials_(std::move(materials)) {}

  bool load(std::string& error) {
    backend_ = gwp::createBackend(host_, scene_, materials_, gwp::LibraryPaths{}, error);
    return backend_ != nullptr;
  }

  // Renders samples [first, first + spp) of every pixel with `sampling`.
  // The camera samples the last render took (fewer than pixels x spp when
  // it sampled adaptively).
  uint64_t samplesTaken() const { return samplesTaken_; }

  bool render(const gwp::LightSampling& sampling, int first, int spp, gwp::Image& image,
              double& seconds, double& cpuSeconds, std::string& error,
              float adaptiveThreshold = 0.0f, int adaptiveMinSamples = 8) {
    scene_.lightSampling = sampling;  // read by the backend while it renders
    gwp::Panel panel;
    panel.backend = backend_.get();
    panel.scene = &scene_;
    panel.materialOfSlot[gwp::kFloorSlot] = 0;
    panel.materialOfSlot[gwp::kHeroSlot] = 1;
    panel.width = settings_.width;
    panel.height = settings_.height;
    gwp::RenderSettings rs;
    rs.samplesPerPixel = spp;
    rs.threads = settings_.threads;
    rs.firstSample = first;
    // A pass of a longer render: jittered even at one sample.
    rs.progressive = true;
    rs.adaptiveThreshold = adaptiveThreshold;
    rs.adaptiveMinSamples = adaptiveMinSamples;
    image = gwp::Image(settings_.width, settings_.height);
    gwp::RenderStats stats;
    const double cpuStart = processCpuSeconds();
    if (!gwp::render({panel}, rs, image, stats, nullptr, error)) return false;
    cpuSeconds = processCpuSeconds() - cpuStart;
    if (stats.droppedSamples > 0) {
      std::fprintf(stderr, "warning: %llu samples were not finite\n",
                   static_cast<unsigned long long>(stats.droppedSamples));
    }
    seconds = stats.seconds;
    samplesTaken_ = stats.cameraSamples;
    return true;
  }

 private:
  uint64_t samplesTaken_ = 0;
  Host host_;
  const Settings& settings_;
  gwp::Scene scene_;
  std::vector<gwp::Material> materials_;
  std::unique_ptr<gwp::Backend> backend_;
};

struct Measurement {
  std::vector<double> samplesPerPixel;  // taken, on average over the image
  std::vector<double> seconds;
  std::vector<double> cpuSeconds;
  std::vector<double> squaredErrors;
  double meanSeconds() const { return median(seconds); }
  double meanCpuSeconds() const { return median(cpuSeconds); }
  double rmse() const {
    double s = 0.0;
    for (double e : squaredErrors) s += e;
    return std::sqrt(s / static_cast<double>(squaredErrors.size()));
  }
  double efficiency() const { return 1.0 / (rmse() * rmse() * meanSeconds()); }
  // The same with CPU time (every thread's) for the time: what the render
  // cost, whatever else the machine was doing.
  double cpuEfficiency() const { return 1.0 / (rmse() * rmse() * meanCpuSeconds()); }
};

// measured[config][spp] of one host.
using Results = std::vector<std::map<int, Measurement>>;

bool runHost(Host host, const Settings& settings, const std::string& tempDir,
             Results& measured) {
  const char* name = gwp::hostName(host);
  std::string error;
  std::vector<gwp::Material> materials;
  if (!defaultMaterials(materials, error)) {
    std::fprintf(stderr, "%s: %s\n", name, error.c_str());
    return false;
  }
  HostRun run(host, settings, gwp::defaultScene(), std::move(materials));
  if (!run.load(error)) {
    std::fprintf(stderr, "%s: %s\n", name, error.c_str());
    return false;
  }
  const std::vector<Config> cs = configs(settings);

  // The reference, in two halves of disjoint sample ranges.
  const int half = std::max(1, settings.referenceSpp / 2);
  gwp::Image a, b;
  double ta = 0.0, tb = 0.0, cpu = 0.0;
  std::fprintf(stderr, "%s: reference, %d spp ...\n", name, 2 * half);
  if (!run.render(cs.back().sampling, kReferenceFirstSample, half, a, ta, cpu, error) ||
      !run.render(cs.back().sampling, kReferenceFirstSample + half, half, b, tb, cpu, error)) {
    std::fprintf(stderr, "%s: %s\n", name, error.c_str());
    return false;
  }
  gwp::Image reference(a.width, a.height);
  for (size_t i = 0; i < a.pixels.size(); ++i) {
    reference.pixels[i] = (a.pixels[i] + b.pixels[i]) * 0.5f;
  }
  std::printf("%s: reference %d spp in %.1f s, its own RMSE about %.2f\n", name, 2 * half, ta + tb,
              0.5 * rmse8(a, b));
  std::fflush(stdout);

  measured.assign(cs.size(), {});
  for (int r = 0; r < settings.repeats; ++r) {
    for (int spp : settings.spp) {
      // Interleaved, and in turns which goes first.
      for (size_t k = 0; k < cs.size(); ++k) {
        const size_t c = (k + static_cast<size_t>(r)) % cs.size();
        gwp::Image image;
        double seconds = 0.0, cpuSeconds = 0.0;
        const bool ok =
            cs[c].external
                ? renderExternal(settings, host, spp, tempDir, image, seconds, cpuSeconds, error)
                : run.render(cs[c].sampling, 0, spp, image, seconds, cpuSeconds, error);
        if (!ok) {
          std::fprintf(stderr, "%s: %s\n", name, error.c_str());
          return false;
        }
        const double e = rmse8(image, reference);
        measured[c][spp].seconds.push_back(seconds);
        measured[c][spp].cpuSeconds.push_back(cpuSeconds);
        measured[c][spp].squaredErrors.push_back(e * e);
        std::fprintf(stderr, "%s: %-20s %4d spp  %7.2f s (CPU %.2f s)  RMSE %6.2f\n", name,
                     cs[c].name.c_str(), spp, seconds, cpuSeconds, e);
      }
    }
  }

  std::printf("%-10s %-20s %5s %9s %9s %7s %11s %11s\n", "host", "configuration", "spp", "seconds",
              "CPU s", "RMSE", "efficiency", "(CPU time)");
  for (size_t c = 0; c < cs.size(); ++c) {
    for (int spp : settings.spp) {
      const Measurement& m = measured[c][spp];
      std::printf("%-10s %-20s %5d %9.2f %9.2f %7.2f %11.4f %11.4f\n", name, cs[c].name.c_str(),
                  spp, m.meanSeconds(), m.meanCpuSeconds(), m.rmse(), m.efficiency(),
                  m.cpuEfficiency());
    }
  }
  std::printf("\n");
  std::fflush(stdout);
  return true;
}

// One row of ratios: `ours` against `theirs`, per sample count.
void printRatios(const char* title, const std::map<std::string, Results>& all,
                 const Settings& settings, size_t ours, size_t theirs) {
  std::printf("%s\n%-10s", title, "host");
  for (int spp : settings.spp) std::printf(" %14d spp", spp);
  std::printf("\n");
  for (const auto& [host, measured] : all) {
    std::printf("%-10s", host.c_str());
    for (int spp : settings.spp) {
      const Measurement& o = measured[ours].at(spp);
      const Measurement& t = measured[theirs].at(spp);
      std::printf("        %5.2f (%5.2f)", o.efficiency() / t.efficiency(),
                  o.cpuEfficiency() / t.cpuEfficiency());
    }
    std::printf("\n");
  }
}

// ---- The peer: Blender Cycles on the same stage ------------------------------
//
// --peer writes a stage both renderers load: the model as an OBJ file (a
// built-in shape or the user's model, placed where the preview places it),
// the environment as an image (the built-in studio map written as OpenEXR, or
// the user's own file), and stage.json with the camera, the environment's
// rotation and intensity, the size and the threads. The preview renders the
// stage through each host, loading those files as --mesh and --env; Blender
// runs bench/cycles_peer.py on the same files. Every image of both is then
// measured by the same function against its own renderer's reference.

struct PeerSettings {
  bool enabled = false;
  std::string blender = "blender";
  std::string script = GLINTWEAVE_PEER_SCRIPT;
  std::string stageDir;  // empty: a new temporary folder
  // The stage, as the preview's options take it.
  std::string shape;
  std::string mesh;
  std::string environment = "studio";
  std::vector<std::string> view;  // --env-rotate, --env-intensity, --camera-*, with values
  // The preview's adaptive sampling, measured beside its default when > 0.
  float adaptiveThreshold = 0.0f;
  int adaptiveMinSamples = 8;
};

bool writeFile(const std::string& path, const std::string& bytes, std::string& error) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  out.close();
  if (!out) error = "cannot write " + path;
  return static_cast<bool>(out);
}

// Plans the preview's render of `args` (its own options) and returns the
// scene and materials it would render.
bool planStage(const std::vector<std::string>& args, gwp::RenderJob& job, std::string& error) {
  gwp::Options options;
  return gwp::parseOptions(args, options, error) && gwp::planRender(options, {}, job, error);
}

// A new folder under $TMPDIR (or /tmp) named after `prefix`; empty, with the
// reason on stderr, when it cannot be made.
std::string temporaryDirectory(const char* prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + ".XXXXXX";
  if (!mkdtemp(pattern.data())) {
    std::fprintf(stderr, "cannot make a temporary directory under %s: %s\n",
                 tmp && *tmp ? tmp : "/tmp", std::strerror(errno));
    return {};
  }
  return pattern;
}

std::string jsonVector(gwp::Vec3 v) {
  char text[96];
  std::snprintf(text, sizeof text, "[%.9g, %.9g, %.9g]", static_cast<double>(v.x),
                static_cast<double>(v.y), static_cast<double>(v.z));
  return text;
}

// A string for JSON: quotes and backslashes escaped, control characters as \u.
std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Writes the stage into `dir` and plans the preview's scene from the files
// written, as the preview would load them. `job` is that plan.
bool writeStage(const Settings& settings, const PeerSettings& peer, const std::string& dir,
                gwp::RenderJob& job, std::string& error) {
  std::vector<std::string> args;
  if (!peer.mesh.empty()) {
    args = {"--mesh", peer.mesh};
  } else {
    args = {"--shape", peer.shape.empty() ? "shaderball" : peer.shape};
  }
  if (peer.environment == gwp::kSoftboxEnvironment) {
    error = "--env: the peer comparison needs an environment map (studio or an image file)";
    return false;
  }
  std::vector<std::string> stage = {"--env", peer.environment};
  stage.insert(stage.end(), peer.view.begin(), peer.view.end());
  args.insert(args.end(), stage.begin(), stage.end());
  gwp::RenderJob first;
  if (!planStage(args, first, error)) return false;
  if (first.scene.meshes.size() != 1) {
    error = "--shape: the peer comparison needs a mesh (a shape other than spheres, or --mesh)";
    return false;
  }
  const std::string model = dir + "/model.obj";
  if (!writeFile(model, gwst::objText(*first.scene.meshes[0].mesh), error)) return false;
  std::string environment;
  if (peer.environment == gwp::kStudioEnvironment) {
    const gwst::LatLongImage& map = first.scene.environment.map->image();
    gwp::Image image(map.width, map.height);
    for (size_t i = 0; i < map.pixels.size(); ++i) {
      image.pixels[i] = {map.pixels[i].x, map.pixels[i].y, map.pixels[i].z};
    }
    std::string bytes;
    environment = dir + "/studio.exr";
    if (!gwp::encodeImage(image, gwp::ImageFormat::kExr, bytes, error) ||
        !writeFile(environment, bytes, error)) {
      return false;
    }
  } else {
    char* resolved = realpath(peer.environment.c_str(), nullptr);
    if (!resolved) {
      error = "--env: cannot find " + peer.environment;
      return false;
    }
    environment = resolved;
    std::free(resolved);
  }
  // The scene the preview renders: the files just written, loaded as the
  // preview loads them.
  args = {"--mesh", model, "--env", environment};
  args.insert(args.end(), peer.view.begin(), peer.view.end());
  if (!planStage(args, job, error)) return false;
  const gwp::Camera& c = job.scene.camera;
  const gwst::EnvironmentParams& env = job.scene.environment.map->params();
  char numbers[256];
  std::snprintf(numbers, sizeof numbers,
                "  \"width\": %d,\n  \"height\": %d,\n  \"threads\": %d,\n"
                "  \"ground_height\": %.9g,\n",
                settings.width, settings.height, settings.threads,
                static_cast<double>(job.scene.ground ? job.scene.ground->height : -1e4f));
  char envNumbers[128];
  std::snprintf(envNumbers, sizeof envNumbers, "\"rotate\": %.9g, \"intensity\": %.9g",
                static_cast<double>(env.rotateDegrees), static_cast<double>(env.intensity));
  char fov[32];
  std::snprintf(fov, sizeof fov, "%.9g", static_cast<double>(c.fovY));
  const std::string json =
      std::string("{\n") + numbers + "  \"mesh\": " + jsonString(model) + ",\n" +
      "  \"environment\": {\"path\": " + jsonString(environment) + ", " + envNumbers + "},\n" +
      "  \"camera\": {\"position\": " + jsonVector(c.position) +
      ", \"right\": " + jsonVector(c.right) + ", \"up\": " + jsonVector(c.up) +
      ", \"back\": " + jsonVector(c.back) + ", \"fov_y\": " + fov + "}\n}\n";
  return writeFile(dir + "/stage.json", json, error);
}

bool writePng(const gwp::Image& image, const std::string& path, std::string& error) {
  gwp::OutputFile file;
  return file.open(path, error) && file.commit(image, error);
}

// Reads the RGB channels of an OpenEXR file as floats.
bool readExr(const std::string& path, gwp::Image& image, std::string& error) {
#ifdef GLINTWEAVE_EFFICIENCY_EXR
  try {
    Imf::InputFile file(path.c_str());
    const Imath::Box2i window = file.header().dataWindow();
    const int width = window.max.x - window.min.x + 1;
    const int height = window.max.y - window.min.y + 1;
    image = gwp::Image(width, height);
    char* base = reinterpret_cast<char*>(image.pixels.data()) -
                 (static_cast<ptrdiff_t>(window.min.y) * width + window.min.x) *
                     static_cast<ptrdiff_t>(sizeof(gwp::Rgb));
    Imf::FrameBuffer frame;
    const size_t row = sizeof(gwp::Rgb) * static_cast<size_t>(width);
    frame.insert("R", Imf::Slice(Imf::FLOAT, base, sizeof(gwp::Rgb), row));
    frame.insert("G", Imf::Slice(Imf::FLOAT, base + sizeof(float), sizeof(gwp::Rgb), row));
    frame.insert("B", Imf::Slice(Imf::FLOAT, base + 2 * sizeof(float), sizeof(gwp::Rgb), row));
    file.setFrameBuffer(frame);
    file.readPixels(window.min.y, window.max.y);
    return true;
  } catch (const std::exception& e) {
    error = path + ": " + e.what();
    return false;
  }
#else
  (void)image;
  error = path + ": this build cannot read OpenEXR files";
  return false;
#endif
}

// One render of the peer, as its script reported it.
struct PeerRender {
  std::string name;
  int spp = 0;
  double seconds = 0.0;      // Cycles' own render time, without synchronisation
  double wallSeconds = 0.0;  // the whole render call, scene synchronisation included
  double cpuSeconds = 0.0;   // the process's CPU time over the call, synchronisation included
  std::string file;
};

// The value after `key` in `line` ("... key=VALUE ..."), or empty.
std::string field(const std::string& line, const std::string& key) {
  const size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return {};
  const size_t from = at + key.size() + 2;
  return line.substr(from, line.find(' ', from) - from);
}

// Blender running bench/cycles_peer.py on the stage, rendering what it is
// asked one render at a time, so that its renders can be interleaved with
// the preview's (the machine's other load then falls on both alike). Its
// output, Cycles' log included, goes to DIR/blender.log.
class PeerProcess {
 public:
  ~PeerProcess() { finish(); }

  bool start(const PeerSettings& peer, const std::string& dir, std::string& error) {
    blender_ = peer.blender;
    logPath_ = dir + "/blender.log";
    log_.open(logPath_);
    const std::vector<std::string> args = {
        peer.blender, "--background", "--factory-startup", "--debug-cycles", "--python",
        peer.script,  "--",           "--stage",           dir,              "--serve"};
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
      error = "cannot make a pipe";
      return false;
    }
    pid_ = fork();
    if (pid_ < 0) {
      error = "cannot start " + peer.blender;
      return false;
    }
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(out[1], STDERR_FILENO);
      for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    commands_ = fdopen(in[1], "w");
    output_ = out[0];
    std::string line;
    while (readLine(line)) {
      if (line == "cycles_peer: ready") return true;
    }
    error = fail();
    return false;
  }

  // Renders `spp` samples with `seed` as NAME; blocks until it is written.
  bool render(const std::string& name, int spp, int seed, PeerRender& result,
              std::string& error) {
    std::fprintf(commands_, "render %s %d %d\n", name.c_str(), spp, seed);
    std::fflush(commands_);
    double renderOnly = -1.0;
    const std::string renderTime = "Render time (without synchronization): ";
    const std::string done = "cycles_peer: rendered " + name + " ";
    std::string line;
    while (readLine(line)) {
      const size_t t = line.find(renderTime);
      if (t != std::string::npos) renderOnly = std::atof(line.c_str() + t + renderTime.size());
      if (line.rfind(done, 0) != 0) continue;
      result.name = name;
      result.spp = std::atoi(field(line, "spp").c_str());
      result.wallSeconds = std::atof(field(line, "seconds").c_str());
      result.cpuSeconds = std::atof(field(line, "cpu").c_str());
      result.seconds = renderOnly >= 0.0 ? renderOnly : result.wallSeconds;
      result.file = line.substr(line.find(" file=") + 6);
      std::fprintf(stderr, "cycles: %-12s %4d spp  %7.2f s (whole call %.2f s, CPU %.2f s)\n",
                   name.c_str(), spp, result.seconds, result.wallSeconds, result.cpuSeconds);
      return true;
    }
    error = fail();
    return false;
  }

  void finish() {
    if (commands_) {
      std::fprintf(commands_, "quit\n");
      std::fclose(commands_);
      commands_ = nullptr;
    }
    std::string line;
    while (output_ >= 0 && readLine(line)) {
    }
    if (output_ >= 0) close(output_);
    output_ = -1;
    if (pid_ > 0) waitpid(pid_, &status_, 0);
    pid_ = -1;
  }

 private:
  bool readLine(std::string& line) {
    size_t end;
    while ((end = pending_.find('\n')) == std::string::npos) {
      char buf[4096];
      const ssize_t n = read(output_, buf, sizeof buf);
      if (n <= 0) return false;
      pending_.append(buf, static_cast<size_t>(n));
    }
    line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    log_ << line << '\n';
    return true;
  }

  std::string fail() {
    finish();
    return blender_ + " stopped (status " + std::to_string(status_) + "); see " + logPath_;
  }

  std::string blender_;
  std::string logPath_;
  std::ofstream log_;
  pid_t pid_ = -1;
  int status_ = 0;
  FILE* commands_ = nullptr;
  int output_ = -1;
  std::string pending_;
};

// Prints one configuration's rows.
void printRows(const std::string& renderer, const Settings& settings,
               const std::map<int, Measurement>& measured) {
  for (int spp : settings.spp) {
    const Measurement& m = measured.at(spp);
    std::printf("%-22s %5d %9.1f %9.2f %9.2f %7.2f %11.4f %11.4f\n", renderer.c_str(), spp,
                median(m.samplesPerPixel), m.meanSeconds(), m.meanCpuSeconds(), m.rmse(),
                m.efficiency(), m.cpuEfficiency());
  }
  std::fflush(stdout);
}

void record(Measurement& m, double samplesPerPixel, double seconds, double cpuSeconds,
            double error) {
  m.samplesPerPixel.push_back(samplesPerPixel);
  m.seconds.push_back(seconds);
  m.cpuSeconds.push_back(cpuSeconds);
  m.squaredErrors.push_back(error * error);
}

gwp::Image average(const gwp::Image& a, const gwp::Image& b) {
  gwp::Image mean(a.width, a.height);
  for (size_t i = 0; i < a.pixels.size(); ++i) mean.pixels[i] = (a.pixels[i] + b.pixels[i]) * 0.5f;
  return mean;
}

// One host of the preview in the peer comparison: its reference, and its
// renders with and (when asked) without adaptive sampling.
struct PeerHost {
  std::string key;  // maya, mentalray
  std::string name;
  std::unique_ptr<HostRun> run;
  gwp::Image reference;
  std::map<int, Measurement> plain, adaptive;
};

int peerMain(const Settings& settings, const PeerSettings& peer) {
  std::string dir = peer.stageDir;
  if (dir.empty()) {
    if ((dir = temporaryDirectory("gwpeer")).empty()) return 1;
  } else if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "--stage: cannot make %s: %s\n", dir.c_str(), std::strerror(errno));
    return 1;
  }
  char* absolute = realpath(dir.c_str(), nullptr);
  if (absolute) {
    dir = absolute;
    std::free(absolute);
  }
  std::string error;
  gwp::RenderJob job;
  if (!writeStage(settings, peer, dir, job, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  std::printf(
      "glintweave_efficiency --peer: %dx%d, %d threads, reference %d spp, %d repeat(s), "
      "stage in %s, load average %.2f\n",
      settings.width, settings.height, settings.threads, settings.referenceSpp, settings.repeats,
      dir.c_str(), loadAverage());
  if (peer.adaptiveThreshold > 0.0f) {
    std::printf("adaptive: threshold %g codes, a test every %d samples\n",
                static_cast<double>(peer.adaptiveThreshold), peer.adaptiveMinSamples);
  }
  std::fflush(stdout);
  const auto failed = [](const std::string& who, const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", who.c_str(), why.c_str());
    return 1;
  };

  PeerProcess cycles;
  if (!cycles.start(peer, dir, error)) return failed("cycles", error);
  std::vector<PeerHost> hosts;
  for (const std::string& h : settings.hosts) {
    const Host host = h == "maya" ? Host::kMaya : Host::kMentalRay;
    PeerHost ph;
    ph.key = h;
    ph.name = gwp::hostName(host);
    ph.run = std::make_unique<HostRun>(host, settings, job.scene,
                                       std::vector<gwp::Material>{job.materials[0], job.materials[1]});
    if (!ph.run->load(error)) return failed(ph.name, error);
    hosts.push_back(std::move(ph));
  }

  // The references: Cycles' from two seeds of its own, each host's from a
  // sample range of its own, each in two halves whose difference estimates
  // the reference's own noise.
  const int half = std::max(1, settings.referenceSpp / 2);
  PeerRender ra, rb;
  gwp::Image a, b;
  if (!cycles.render("reference-a", half, 1000, ra, error) ||
      !cycles.render("reference-b", half, 2000, rb, error)) {
    return failed("cycles", error);
  }
  if (!readExr(ra.file, a, error) || !readExr(rb.file, b, error)) return failed("cycles", error);
  const gwp::Image cyclesReference = average(a, b);
  std::printf("cycles: reference %d spp in %.1f s, its own RMSE about %.2f, mean level %.4f\n",
              2 * half, ra.seconds + rb.seconds, 0.5 * rmse8(a, b), meanLevel(cyclesReference));
  if (!writePng(cyclesReference, dir + "/cycles-reference.png", error)) {
    return failed("cycles", error);
  }
  const gwp::LightSampling sampling = job.scene.lightSampling;
  for (PeerHost& ph : hosts) {
    double ta = 0.0, tb = 0.0, cpu = 0.0;
    std::fprintf(stderr, "%s: reference, %d spp ...\n", ph.name.c_str(), 2 * half);
    if (!ph.run->render(sampling, kReferenceFirstSample, half, a, ta, cpu, error) ||
        !ph.run->render(sampling, kReferenceFirstSample + half, half, b, tb, cpu, error)) {
      return failed(ph.name, error);
    }
    ph.reference = average(a, b);
    std::printf("%s: reference %d spp in %.1f s, its own RMSE about %.2f, mean level %.4f\n",
                ph.name.c_str(), 2 * half, ta + tb, 0.5 * rmse8(a, b), meanLevel(ph.reference));
    if (!writePng(ph.reference, dir + "/" + ph.key + "-reference.png", error)) {
      return failed(ph.name, error);
    }
  }
  std::fflush(stdout);

  // The timed renders, interleaved: at each sample count Cycles and every
  // configuration of every host in turn, which goes first rotating.
  std::map<int, Measurement> cyclesMeasured;
  const double pixels = static_cast<double>(settings.width) * settings.height;
  int seed = 1;
  for (int r = 0; r < settings.repeats; ++r) {
    for (int spp : settings.spp) {
      std::vector<std::function<bool()>> turns;
      turns.push_back([&, r, spp]() {
        PeerRender pr;
        gwp::Image image;
        const std::string name = std::to_string(spp) + "-spp-" + std::to_string(r + 1);
        if (!cycles.render(name, spp, seed++, pr, error) || !readExr(pr.file, image, error)) {
          return false;
        }
        record(cyclesMeasured[spp], spp, pr.seconds, pr.cpuSeconds, rmse8(image, cyclesReference));
        return r > 0 || spp != 16 || writePng(image, dir + "/cycles-16-spp.png", error);
      });
      for (PeerHost& ph : hosts) {
        for (const bool adaptive : {false, true}) {
          if (adaptive && !(peer.adaptiveThreshold > 0.0f)) continue;
          turns.push_back([&, r, spp, adaptive]() {
            gwp::Image image;
            double seconds = 0.0, cpuSeconds = 0.0;
            if (!ph.run->render(sampling, r * spp, spp, image, seconds, cpuSeconds, error,
                                adaptive ? peer.adaptiveThreshold : 0.0f,
                                peer.adaptiveMinSamples)) {
              return false;
            }
            const double e = rmse8(image, ph.reference);
            const double taken = static_cast<double>(ph.run->samplesTaken()) / pixels;
            record((adaptive ? ph.adaptive : ph.plain)[spp], taken, seconds, cpuSeconds, e);
            std::fprintf(stderr, "%s%s: %4d spp  %7.2f s (CPU %.2f s)  RMSE %6.2f  %.1f spp taken\n",
                         ph.name.c_str(), adaptive ? " adaptive" : "", spp, seconds, cpuSeconds,
                         e, taken);
            const std::string png = dir + "/" + ph.key + (adaptive ? "-adaptive" : "") + "-16-spp.png";
            return r > 0 || spp != 16 || writePng(image, png, error);
          });
        }
      }
      for (size_t k = 0; k < turns.size(); ++k) {
        if (!turns[(k + static_cast<size_t>(r)) % turns.size()]()) return failed("render", error);
      }
    }
  }
  cycles.finish();

  std::printf("\n%-22s %5s %9s %9s %9s %7s %11s %11s\n", "renderer", "spp", "spp taken",
              "seconds", "CPU s", "RMSE", "efficiency", "(CPU time)");
  printRows("Cycles", settings, cyclesMeasured);
  for (const PeerHost& ph : hosts) {
    printRows(ph.name, settings, ph.plain);
    if (!ph.adaptive.empty()) printRows(ph.name + " adaptive", settings, ph.adaptive);
  }
  std::printf(
      "\nefficiency / Cycles' efficiency; in brackets the same with CPU time (Cycles' CPU time "
      "includes its scene synchronisation)\n%-22s",
      "renderer");
  for (int spp : settings.spp) std::printf(" %14d spp", spp);
  std::printf("\n");
  const auto ratios = [&](const std::string& name, const std::map<int, Measurement>& m) {
    std::printf("%-22s", name.c_str());
    for (int spp : settings.spp) {
      const Measurement& o = m.at(spp);
      const Measurement& t = cyclesMeasured.at(spp);
      std::printf("        %5.2f (%5.2f)", o.efficiency() / t.efficiency(),
                  o.cpuEfficiency() / t.cpuEfficiency());
    }
    std::printf("\n");
  };
  for (const PeerHost& ph : hosts) {
    ratios(ph.name, ph.plain);
    if (!ph.adaptive.empty()) ratios(ph.name + " adaptive", ph.adaptive);
  }
  std::printf("\nload average at the end %.2f; images and Blender's log in %s\n", loadAverage(),
              dir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  bool quick = false;
  std::string spread;
  CLI::App app(
      "Preview efficiency, 1 / (RMSE^2 x seconds) with the RMSE in 8-bit sRGB against a\n"
      "reference, for the earlier light sampling (--light-samples 16) and the default, per host.");
  app.add_option("--hosts", settings.hosts, "hosts to measure")
      ->check(CLI::IsMember({"maya", "mentalray"}))
      ->delimiter(',')
      ->capture_default_str();
  app.add_option("--spp", settings.spp, "samples per pixel of the timed renders")
      ->check(CLI::Range(1, 4096))
      ->delimiter(',')
      ->capture_default_str();
  // A numeric option with its accepted range, its default shown in --help.
  const auto ranged = [&app](const char* name, auto& value, const char* help, int low, int high) {
    app.add_option(name, value, help)->check(CLI::Range(low, high))->capture_default_str();
  };
  ranged("--reference-spp", settings.referenceSpp, "samples per pixel of the reference", 2, 65536);
  ranged("--threads", settings.threads, "rendering threads", 1, 1024);
  ranged("--width", settings.width, "image width", 8, 8192);
  ranged("--height", settings.height, "image height", 8, 8192);
  ranged("--repeats", settings.repeats,
         "renders per configuration and sample count; seconds are their median, the RMSE their "
         "root mean square",
         1, 100);
  app.add_option("--baseline", settings.baseline,
                 "the glintweave-preview of an earlier build, timed beside this build's "
                 "configurations (bench/efficiency.sh builds one)")
      ->check(CLI::ExistingFile);
  app.add_option("--spread", spread,
                 "measure other counts than the default's: light samples per camera-ray hit and "
                 "per reflected hit, spread over the pixel, as C/R (the default is 1/1)");
  app.add_flag("--quick", quick,
               "a short run to try the tool: 200x150, 4 and 16 spp, a 256 spp reference");
  PeerSettings peer;
  const std::string peerGroup = "Against Blender Cycles (--peer)";
  app.add_flag("--peer", peer.enabled,
               "measure the preview against Blender Cycles on a stage both load: a model and an "
               "environment image written by this tool, the same camera, size and threads "
               "(needs Blender; see BENCHMARKS.md)")
      ->group(peerGroup);
  app.add_option("--blender", peer.blender, "the Blender to run")
      ->capture_default_str()
      ->group(peerGroup);
  app.add_option("--peer-script", peer.script, "the script Blender runs")
      ->capture_default_str()
      ->group(peerGroup);
  app.add_option("--stage", peer.stageDir,
                 "folder for the stage, the images to compare by eye and Blender's log "
                 "(default: a new temporary folder)")
      ->group(peerGroup);
  app.add_option("--shape", peer.shape, "the built-in shape of the stage (default shaderball)")
      ->group(peerGroup);
  app.add_option("--mesh", peer.mesh, "a model file for the stage instead of a shape")
      ->group(peerGroup);
  app.add_option("--env", peer.environment, "studio or an .exr / .hdr image")
      ->capture_default_str()
      ->group(peerGroup);
  app.add_option("--adaptive-threshold", peer.adaptiveThreshold,
                 "also measure the preview with adaptive sampling at this noise threshold (8-bit "
                 "codes)")
      ->check(CLI::Range(0.0, 255.0))
      ->group(peerGroup);
  app.add_option("--adaptive-min-spp", peer.adaptiveMinSamples,
                 "its samples before the first noise test, and between tests")
      ->check(CLI::Range(2, 4096))
      ->capture_default_str()
      ->group(peerGroup);
  for (const char* name : {"--env-rotate", "--env-intensity", "--camera-azimuth",
                           "--camera-elevation", "--camera-distance"}) {
    app.add_option_function<std::string>(
           name, [&peer, name](const std::string& v) { peer.view.insert(peer.view.end(), {name, v}); },
           "as the preview takes it")
        ->group(peerGroup);
  }
  CLI11_PARSE(app, argc, argv);
  if (!spread.empty()) {
    int c = 0, r = 0;
    char tail = 0;
    if (std::sscanf(spread.c_str(), "%d/%d%c", &c, &r, &tail) != 2 || c < 1 || r < 1 || c > 256 ||
        r > 256) {
      std::fprintf(stderr, "--spread: expected C/R with counts from 1 to 256, got '%s'\n",
                   spread.c_str());
      return 2;
    }
    settings.measured.cameraHit = c;
    settings.measured.reflectedHit = r;
  }
  if (quick) {
    settings.width = 200;
    settings.height = 150;
    settings.spp = {4, 16};
    settings.referenceSpp = 256;
  }
  if (peer.enabled) return peerMain(settings, peer);
  std::string tempDir;
  if (!settings.baseline.empty()) {
    if ((tempDir = temporaryDirectory("gwefficiency")).empty()) return 1;
  }

  std::printf(
      "glintweave_efficiency: %dx%d, %d threads, reference %d spp, %d repeat(s), "
      "load average %.2f\n",
      settings.width, settings.height, settings.threads, settings.referenceSpp, settings.repeats,
      loadAverage());
  std::map<std::string, Results> all;
  for (const std::string& h : settings.hosts) {
    const Host host = h == "maya" ? Host::kMaya : Host::kMentalRay;
    if (!runHost(host, settings, tempDir, all[h])) return 1;
  }
  if (!tempDir.empty()) {
    std::remove((tempDir + "/baseline.png").c_str());
    rmdir(tempDir.c_str());
  }

  const std::vector<Config> cs = configs(settings);
  const size_t measuredIndex = cs.size() - 1;
  const size_t todayIndex = cs.size() - 2;
  std::printf("efficiency ratios; in brackets the same with CPU time for the time\n\n");
  const std::string sampling = cs.back().name + " / --light-samples 16 (the sampling; goal: 3)";
  printRatios(sampling.c_str(), all, settings, measuredIndex, todayIndex);
  if (!settings.baseline.empty()) {
    std::printf("\n");
    printRatios("--light-samples 16 / earlier build (the hosts' own speed)", all, settings,
                todayIndex, 0);
    std::printf("\n");
    const std::string total = cs.back().name + " / earlier build (both)";
    printRatios(total.c_str(), all, settings, measuredIndex, 0);
  }
  std::printf("\nload average at the end %.2f\n", loadAverage());
  return 0;
}
