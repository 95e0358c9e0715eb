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
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "backend.h"
#include "cli.h"
#include "image_io.h"
#include "render.h"
#include "scene.h"

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

class HostRun {
 public:
  HostRun(Host host, const Settings& settings) : host_(host), settings_(settings) {}

  bool load(std::string& error) {
    // The command line's own defaults: its default preset on the spheres,
    // the floor material on the ground.
    gwp::Options options;
    if (!gwp::parseOptions({}, options, error)) return false;
    materials_ = {gwp::floorMaterial(options.schema), options.material};
    backend_ = gwp::createBackend(host_, scene_, materials_, gwp::LibraryPaths{}, error);
    return backend_ != nullptr;
  }

  // Renders samples [first, first + spp) of every pixel with `sampling`.
  bool render(const gwp::LightSampling& sampling, int first, int spp, gwp::Image& image,
              double& seconds, double& cpuSeconds, std::string& error) {
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
    return true;
  }

 private:
  Host host_;
  const Settings& settings_;
  gwp::Scene scene_ = gwp::defaultScene();
  std::vector<gwp::Material> materials_;
  std::unique_ptr<gwp::Backend> backend_;
};

struct Measurement {
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
  HostRun run(host, settings);
  std::string error;
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
  std::string tempDir;
  if (!settings.baseline.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/gwefficiency.XXXXXX";
    if (!mkdtemp(pattern.data())) {
      std::fprintf(stderr, "cannot make a temporary directory\n");
      return 1;
    }
    tempDir = pattern;
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
