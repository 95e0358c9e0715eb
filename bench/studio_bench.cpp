// The lookdev studio against the bare renderer, each pair in one run:
//
// - studio/firstImage: from a parameter change to the first refreshed image
//   at 400x300 (an HTTP request to the studio, the whole answer received)
//   against one bare 1-sample pass of the same image through the renderer
//   library, with the same loaded deliverable. Goal: at most 1.5x.
// - studio/refine: samples per second while the studio refines an image
//   from its first pass to the sample target, pass after pass over HTTP,
//   against the bare renderer rendering all those samples in one call.
//   Goal: at least 0.9x the bare rate (ours / peer time per sample <= 1.11).
// - studio/secondClient: a second client's first image while another
//   client refines, against the same client's first image alone. Goal: at
//   most 2x.
//
// The Maya deliverable renders every image (one host, 400x300, or 200x150
// for the refinement). Each benchmark loads the deliverables for its run
// and unloads them after it, so that it never meets the other benchmarks'
// libraries in the same host. All times are wall-clock: latency is what a
// person waiting for the image sees.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "ratio_reporter.h"
#include "render.h"
#include "server.h"
#include "studio.h"

namespace {

constexpr int kWidth = 400;
constexpr int kHeight = 300;
constexpr int kRefineWidth = 200;
constexpr int kRefineHeight = 150;
constexpr int kRefineTarget = 16;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Running {
  std::unique_ptr<gwstudio::Studio> studio;
  std::unique_ptr<gwstudio::StudioServer> server;
  std::thread thread;

  bool start(benchmark::State& state) {
    std::string error;
    studio = gwstudio::Studio::create(gwstudio::StudioOptions{}, error);
    if (!studio || !studio->hasHost(gwp::HostKind::kMaya)) {
      state.SkipWithError(error.empty() ? "no Maya host" : error.c_str());
      return false;
    }
    server = std::make_unique<gwstudio::StudioServer>(*studio, gwstudio::ServerOptions{});
    if (!server->bind(error)) {
      state.SkipWithError(error.c_str());
      return false;
    }
    thread = std::thread([this] { server->run(); });
    return true;
  }
  ~Running() {
    if (server) server->stop();
    if (thread.joinable()) thread.join();
  }
  std::unique_ptr<httplib::Client> client() const {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", server->port());
    c->set_keep_alive(true);
    c->set_read_timeout(120, 0);
    return c;
  }
};

// A changed material every time: the exponent walks through values.
std::string changed(int& counter) {
  return "&specularU=" + std::to_string(100 + (counter++ % 500));
}

// The time from a change to its first image, or a negative number.
double firstImage(httplib::Client& c, const std::string& id, int& counter) {
  const std::string path = "/api/frame?client=" + id + "&view=maya&w=" + std::to_string(kWidth) +
                           "&h=" + std::to_string(kHeight) + changed(counter);
  const auto start = Clock::now();
  const auto res = c.Get(path.c_str());
  const double s = secondsSince(start);
  return res && res->status == 200 && res->body.size() == size_t{kWidth} * kHeight * 4 ? s : -1.0;
}

gwp::Panel mayaPanel(gwstudio::Studio& studio, int w, int h) {
  gwp::Panel p;
  p.backend = studio.backend(gwp::HostKind::kMaya);
  p.scene = &studio.sceneData();
  p.materialOfSlot[gwp::kHeroSlot] = 1;
  p.materialOfSlot[gwp::kFloorSlot] = 0;
  p.width = w;
  p.height = h;
  return p;
}

void bareFirstPass(benchmark::State& state) {
  Running r;
  std::string error;
  r.studio = gwstudio::Studio::create(gwstudio::StudioOptions{}, error);
  if (!r.studio || !r.studio->hasHost(gwp::HostKind::kMaya)) {
    state.SkipWithError(error.empty() ? "no Maya host" : error.c_str());
    return;
  }
  const std::vector<gwp::Panel> panels{mayaPanel(*r.studio, kWidth, kHeight)};
  gwp::RenderSettings settings;
  settings.threads = r.studio->options().threadsPerRender;
  settings.progressive = true;  // as the studio's first pass: jittered, sample 0
  gwp::Image image(kWidth, kHeight);
  int counter = 0;
  for (auto _ : state) {
    gwp::Material m;
    m.at("specularU")[0] = 100 + (counter++ % 500);
    const auto start = Clock::now();
    gwp::RenderStats stats;
    if (!panels[0].backend->setMaterial(1, m, error) ||
        !gwp::render(panels, settings, image, stats, nullptr, error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    state.SetIterationTime(secondsSince(start));
  }
}

void serverFirstImage(benchmark::State& state) {
  Running r;
  if (!r.start(state)) return;
  auto c = r.client();
  int counter = 0;
  for (auto _ : state) {
    const double s = firstImage(*c, "first", counter);
    if (s < 0) {
      state.SkipWithError("the studio did not answer with an image");
      return;
    }
    state.SetIterationTime(s);
  }
}

void bareRefine(benchmark::State& state) {
  Running r;
  std::string error;
  r.studio = gwstudio::Studio::create(gwstudio::StudioOptions{}, error);
  if (!r.studio || !r.studio->hasHost(gwp::HostKind::kMaya)) {
    state.SkipWithError(error.empty() ? "no Maya host" : error.c_str());
    return;
  }
  const std::vector<gwp::Panel> panels{mayaPanel(*r.studio, kRefineWidth, kRefineHeight)};
  gwp::RenderSettings settings;
  settings.threads = r.studio->options().threadsPerRender;
  settings.samplesPerPixel = kRefineTarget;
  settings.progressive = true;
  gwp::Image image(kRefineWidth, kRefineHeight);
  int64_t samples = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    gwp::RenderStats stats;
    if (!gwp::render(panels, settings, image, stats, nullptr, error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    state.SetIterationTime(secondsSince(start));
    samples += static_cast<int64_t>(stats.cameraSamples);
  }
  state.SetItemsProcessed(samples);
}

void serverRefine(benchmark::State& state) {
  Running r;
  if (!r.start(state)) return;
  auto c = r.client();
  int counter = 0;
  int64_t samples = 0;
  for (auto _ : state) {
    const std::string path = "/api/frame?client=refine&view=maya&w=" +
                             std::to_string(kRefineWidth) + "&h=" + std::to_string(kRefineHeight) +
                             "&spp=" + std::to_string(kRefineTarget) + changed(counter);
    const auto start = Clock::now();
    int have = 0;
    while (have < kRefineTarget) {
      const auto res = c->Get(path.c_str());
      if (!res || res->status != 200) {
        state.SkipWithError("the studio did not answer with an image");
        return;
      }
      have = std::stoi(res->get_header_value("X-Frame-Samples"));
    }
    state.SetIterationTime(secondsSince(start));
    samples += int64_t{kRefineWidth} * kRefineHeight * kRefineTarget;
  }
  state.SetItemsProcessed(samples);
}

// `busy`: whether another client refines meanwhile, with a target it never
// reaches during the run.
template <bool Busy>
void secondClient(benchmark::State& state) {
  Running r;
  if (!r.start(state)) return;
  std::atomic<bool> done{false};
  std::atomic<int> refinedPasses{0};
  std::thread other;
  if (Busy) {
    other = std::thread([&] {
      auto c = r.client();
      const std::string path = "/api/frame?client=other&view=maya&w=" + std::to_string(kWidth) +
                               "&h=" + std::to_string(kHeight) + "&spp=4096&specularV=50";
      while (!done) {
        const auto res = c->Get(path.c_str());
        if (res && res->status == 200) ++refinedPasses;
        if (!res) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
    // Its first pass done, the other client is refining.
    while (refinedPasses < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  auto c = r.client();
  int counter = 0;
  for (auto _ : state) {
    const double s = firstImage(*c, "second", counter);
    if (s < 0) {
      state.SkipWithError("the studio did not answer with an image");
      break;
    }
    state.SetIterationTime(s);
    // Give the other client time to be refining again before the next change.
    if (Busy) {
      const int seen = refinedPasses;
      while (refinedPasses < seen + 1) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  done = true;
  r.server->stop();
  if (other.joinable()) other.join();
}

BENCHMARK(bareFirstPass)->Name("studio/firstImage/bare")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(serverFirstImage)->Name("studio/firstImage/server")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(bareRefine)->Name("studio/refine/bare")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(serverRefine)->Name("studio/refine/server")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(secondClient<false>)->Name("studio/secondClient/alone")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(secondClient<true>)->Name("studio/secondClient/whileRefining")->UseManualTime()->Unit(benchmark::kMillisecond);

const bool registered = [] {
  gwbench::addRatio("studio/firstImage/server", "studio/firstImage/bare", 1.5);
  gwbench::addRatio("studio/refine/server", "studio/refine/bare", 1.0 / 0.9);
  gwbench::addRatio("studio/secondClient/whileRefining", "studio/secondClient/alone", 2.0);
  return true;
}();

}  // namespace
