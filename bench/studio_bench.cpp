// The lookdev studio against the bare renderer. Each benchmark measures
// both sides of its comparison alternately in every iteration (each side
// first in turn), so that the machine's changing load falls on both alike;
// the iteration time is the studio's, the counters give both means and
// their ratio:
//
// - studio/firstImage: from a parameter change to the first refreshed image
//   at 400x300 (an HTTP request to the studio, the whole answer received)
//   against one bare 1-sample pass of the same image through the renderer
//   library with its defaults, with the same loaded deliverable.
//   Goal: ratio at most 1.5.
// - studio/refine: the studio refining a 200x150 image from a change to 16
//   samples per pixel, pass after pass over HTTP, against the bare renderer
//   rendering all those samples in one call. Goal: throughput (bare time
//   over ours) at least 0.9.
// - studio/secondClient: a client's first image while another client
//   refines, against the same with the other client paused. Goal: ratio at
//   most 2.
//
// The Maya deliverable renders every image. Each benchmark loads the
// deliverables for its run and unloads them after it, so that it never
// meets the other benchmarks' libraries in the same host. All times are
// wall-clock: latency is what a person waiting for the image sees.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "render.h"
#include "server.h"
#include "studio.h"

namespace {

struct Size {
  int width;
  int height;
};
constexpr Size kImage{400, 300};   // first images
constexpr Size kRefine{200, 150};  // refinement, pass after pass
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
    if (!studio || !studio->hasHost(gwp::Host::kMaya)) {
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
  const std::string path = "/api/frame?client=" + id +
                           "&view=maya&w=" + std::to_string(kImage.width) +
                           "&h=" + std::to_string(kImage.height) + changed(counter);
  const auto start = Clock::now();
  const auto res = c.Get(path.c_str());
  const double s = secondsSince(start);
  return res && res->status == 200 && res->body.size() == size_t{4} * kImage.width * kImage.height
             ? s
             : -1.0;
}

gwp::Panel mayaPanel(gwstudio::Studio& studio, Size size) {
  gwp::Panel p;
  p.backend = studio.backend(gwp::Host::kMaya);
  p.scene = &studio.sceneData();
  p.materialOfSlot[gwp::kHeroSlot] = 1;
  p.materialOfSlot[gwp::kFloorSlot] = 0;
  p.width = size.width;
  p.height = size.height;
  return p;
}

// The bare renderer with its defaults: one render of `spp` samples of the
// studio's scene and Maya deliverable, between two of the studio's
// requests (the studio renders nothing then), with a changed material.
double bareRender(gwstudio::Studio& studio, Size size, int spp, int& counter, std::string& error) {
  const std::vector<gwp::Panel> panels{mayaPanel(studio, size)};
  gwp::RenderSettings settings;
  settings.threads = studio.options().threadsPerRender;
  settings.samplesPerPixel = spp;
  settings.progressive = true;  // as the studio's passes: jittered from sample 0
  gwp::Image image(size.width, size.height);
  gwp::Material m(studio.schema());
  m.at("specularU")[0] = 100 + (counter++ % 500);
  const auto start = Clock::now();
  gwp::RenderStats stats;
  if (!panels[0].backend->setMaterial(1, m, error) ||
      !gwp::render(panels, settings, image, stats, nullptr, error)) {
    return -1.0;
  }
  return secondsSince(start);
}

// Ours and the peer alternate within each iteration, in turn first, so that
// the machine's changing load falls on both alike; the iteration's time is
// ours, and the counters give the peer's and the ratio of the sums.
struct Pair {
  double ours = 0.0;
  double peer = 0.0;

  // One iteration: both sides, ours first on every other one. False when
  // either side failed (it returns a negative time).
  template <class Ours, class Peer>
  bool measure(benchmark::State& state, Ours measureOurs, Peer measurePeer) {
    double o = -1.0, p = -1.0;
    for (int k = 0; k < 2; ++k) {
      if ((k == 0) == (state.iterations() % 2 == 0)) {
        o = measureOurs();
      } else {
        p = measurePeer();
      }
    }
    if (o < 0 || p < 0) return false;
    ours += o;
    peer += p;
    state.SetIterationTime(o);
    return true;
  }

  // Every iteration of the run; false, with the run skipped and the reason
  // given, as soon as a side fails.
  template <class Ours, class Peer>
  bool measureRun(benchmark::State& state, Ours measureOurs, Peer measurePeer,
                  const std::string& error) {
    for (auto _ : state) {
      if (!measure(state, measureOurs, measurePeer)) {
        state.SkipWithError(error.empty() ? "the studio did not answer with an image"
                                          : error.c_str());
        return false;
      }
    }
    return true;
  }

  // `ratioName` is ours / peer, or peer / ours (a throughput) when
  // `peerOverOurs`.
  void report(benchmark::State& state, const char* ratioName, double goal,
              bool peerOverOurs = false) const {
    const double n = static_cast<double>(std::max<int64_t>(1, state.iterations()));
    state.counters["ours_ms"] = 1e3 * ours / n;
    state.counters["peer_ms"] = 1e3 * peer / n;
    const double num = peerOverOurs ? peer : ours, den = peerOverOurs ? ours : peer;
    state.counters[ratioName] = den > 0.0 ? num / den : 0.0;
    state.counters["goal"] = goal;
  }
};

// The studio (ours, through a client) against the bare renderer (the peer),
// on one material walk: ours(client, counter) and peer(studio, counter,
// error) return seconds, or a negative number. False when the run was
// skipped.
template <class Ours, class Peer>
bool measureAgainstBare(benchmark::State& state, Pair& pair, Ours ours, Peer peer) {
  Running r;
  if (!r.start(state)) return false;
  auto c = r.client();
  int counter = 0;
  std::string error;
  return pair.measureRun(
      state, [&] { return ours(*c, counter); }, [&] { return peer(*r.studio, counter, error); },
      error);
}

void firstImageBench(benchmark::State& state) {
  Pair pair;
  const bool measured = measureAgainstBare(
      state, pair, [](httplib::Client& c, int& counter) { return firstImage(c, "first", counter); },
      [](gwstudio::Studio& studio, int& counter, std::string& error) {
        return bareRender(studio, kImage, 1, counter, error);
      });
  if (measured) pair.report(state, "ratio", 1.5);
}

// The studio from a change to the sample target, pass after pass.
double refineOnce(httplib::Client& c, int& counter) {
  const std::string path = "/api/frame?client=refine&view=maya&w=" + std::to_string(kRefine.width) +
                           "&h=" + std::to_string(kRefine.height) +
                           "&spp=" + std::to_string(kRefineTarget) + changed(counter);
  const auto start = Clock::now();
  int have = 0;
  while (have < kRefineTarget) {
    const auto res = c.Get(path.c_str());
    if (!res || res->status != 200) return -1.0;
    have = std::stoi(res->get_header_value("X-Frame-Samples"));
  }
  return secondsSince(start);
}

void refineBench(benchmark::State& state) {
  Pair pair;
  const bool measured = measureAgainstBare(
      state, pair, [](httplib::Client& c, int& counter) { return refineOnce(c, counter); },
      [](gwstudio::Studio& studio, int& counter, std::string& error) {
        return bareRender(studio, kRefine, kRefineTarget, counter, error);
      });
  if (!measured) return;
  state.SetItemsProcessed(state.iterations() * int64_t{kRefine.width} * kRefine.height *
                          kRefineTarget);
  // Throughput: the bare renderer's time over ours (goal at least 0.9).
  pair.report(state, "throughput", 0.9, /*peerOverOurs=*/true);
}

// A second client's first image while another client refines (ours), and
// the same with the other client paused (the peer).
void secondClientBench(benchmark::State& state) {
  Running r;
  if (!r.start(state)) return;
  std::mutex mutex;
  std::condition_variable changedState;
  bool refine = false;
  bool done = false;
  bool idle = true;  // the other client has no request in flight
  int refinedPasses = 0;
  std::thread other([&] {
    auto c = r.client();
    const std::string path = "/api/frame?client=other&view=maya&w=" + std::to_string(kImage.width) +
                             "&h=" + std::to_string(kImage.height) + "&spp=4096&specularV=50";
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
      changedState.wait(lock, [&] { return done || refine; });
      if (done) return;
      idle = false;
      lock.unlock();
      const auto res = c->Get(path.c_str());
      lock.lock();
      idle = true;
      if (res && res->status == 200) ++refinedPasses;
      changedState.notify_all();
    }
  });
  auto setRefining = [&](bool on) {
    std::unique_lock<std::mutex> lock(mutex);
    refine = on;
    changedState.notify_all();
    if (on) {
      // Past its first pass: refining.
      const int seen = refinedPasses;
      changedState.wait(lock, [&] { return refinedPasses >= std::max(2, seen + 1); });
    } else {
      changedState.wait(lock, [&] { return idle; });
    }
  };
  auto c = r.client();
  int counter = 0;
  Pair pair;
  auto firstImageWhile = [&](bool refining) {
    setRefining(refining);
    return firstImage(*c, "second", counter);
  };
  // Skipped or not, the other client is stopped before the report.
  pair.measureRun(
      state, [&] { return firstImageWhile(true); }, [&] { return firstImageWhile(false); }, "");
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    changedState.notify_all();
  }
  r.server->stop();
  other.join();
  pair.report(state, "ratio", 2.0);
}

BENCHMARK(firstImageBench)
    ->Name("studio/firstImage/change_to_image_vs_bare_pass")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(refineBench)
    ->Name("studio/refine/throughput_vs_bare")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(secondClientBench)
    ->Name("studio/secondClient/while_refining_vs_alone")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
