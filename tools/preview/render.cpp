#include "render.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "int_hash.h"

namespace gwp {
namespace {

struct Task {
  size_t panel;
  int x0, y0, x1, y1;  // panel-local pixel rectangle
};

uint32_t hash32(uint32_t x) { return hashBits(x, kJitterRounds); }

float unitHash(uint32_t x) { return unitFromBits(hash32(x)); }

// Sub-pixel position of camera sample `s` of a pixel: the centre for a lone
// sample, otherwise a hashed jitter, so that every pixel is its own stream and
// no generator state is shared.
std::pair<float, float> jitter(int px, int py, int s, bool lone) {
  if (lone) return {0.5f, 0.5f};
  const uint32_t key =
      hash32(static_cast<uint32_t>(px) * 0x9E3779B1u ^
             hash32(static_cast<uint32_t>(py) * 0x85EBCA77u ^ static_cast<uint32_t>(s)));
  return {unitHash(key), unitHash(key ^ 0x68E31DA4u)};
}

// Hits that touch every slot of a scene: the warm-up shades them so that a
// tile's thread makes its first draws before its successor does.
std::vector<std::pair<Ray, Hit>> warmUpHits(const Scene& scene) {
  std::vector<std::pair<Ray, Hit>> hits;
  std::array<bool, kSlotCount> seen{};
  auto tryRay = [&](Vec3 toward) {
    const Ray ray{scene.camera.position, normalized(toward - scene.camera.position)};
    if (auto hit = scene.intersect(ray, 0.0f, std::numeric_limits<float>::infinity())) {
      if (!seen[hit->slot]) {
        seen[hit->slot] = true;
        hits.emplace_back(ray, *hit);
      }
    }
  };
  for (const Sphere& s : scene.spheres) tryRay(s.centre);
  if (scene.ground) {
    tryRay(scene.camera.position +
           Vec3{0.0f, scene.ground->height - scene.camera.position.y, -4.0f});
  }
  return hits;
}

// The noise of a pixel's mean from its samples, for adaptive sampling: per
// channel the sums of the values and of their squares.
class PixelNoise {
 public:
  void add(Rgb c) {
    const double v[3] = {c.x, c.y, c.z};
    for (int k = 0; k < 3; ++k) {
      sum_[k] += v[k];
      squares_[k] += v[k] * v[k];
    }
    ++n_;
  }

  // The standard error of the mean in 8-bit sRGB codes, in the noisiest
  // channel: the linear standard error times the slope of the sRGB curve at
  // the mean (a dark pixel shows a small change as many codes).
  double codes() const {
    if (n_ < 2) return std::numeric_limits<double>::infinity();
    const double n = static_cast<double>(n_);
    double worst = 0.0;
    for (int k = 0; k < 3; ++k) {
      const double mean = sum_[k] / n;
      const double variance = std::max(0.0, (squares_[k] - sum_[k] * mean) / (n - 1.0));
      worst = std::max(worst, std::sqrt(variance / n) * codesPerUnit(mean));
    }
    return worst;
  }

 private:
  // 255 times the slope of the sRGB encoding at the linear value v, taken
  // at 1 above it (a pixel whose samples spread across 1 still shows noise).
  static double codesPerUnit(double v) {
    constexpr double kLinearEnd = 0.0031308;
    if (v <= kLinearEnd) return 255.0 * 12.92;
    return 255.0 * 1.055 / 2.4 * std::pow(std::min(v, 1.0), 1.0 / 2.4 - 1.0);
  }

  double sum_[3] = {0.0, 0.0, 0.0};
  double squares_[3] = {0.0, 0.0, 0.0};
  int n_ = 0;
};

class ContextPool {
 public:
  std::unique_ptr<ShadingContext> take(Backend* backend) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& free = free_[backend];
    if (free.empty()) return backend->newContext();
    auto ctx = std::move(free.back());
    free.pop_back();
    return ctx;
  }
  void give(Backend* backend, std::unique_ptr<ShadingContext> ctx) {
    std::lock_guard<std::mutex> lock(mutex_);
    free_[backend].push_back(std::move(ctx));
  }

 private:
  std::mutex mutex_;
  std::map<Backend*, std::vector<std::unique_ptr<ShadingContext>>> free_;
};

// One call of render(): the tiles, the threads that shade them, and what
// they report. Its phases are named after what they do: plan the tiles,
// dispatch their threads, and in each thread wait for the warm-up turn,
// warm up, shade the tile's pixels and hand on to the next tile.
class TileRender {
 public:
  TileRender(const std::vector<Panel>& panels, const RenderSettings& settings, Image& image)
      : panels_(panels),
        settings_(settings),
        image_(image),
        spp_(std::max(1, settings.samplesPerPixel)),
        first_(std::max(0, settings.firstSample)),
        lone_(spp_ == 1 && first_ == 0 && !settings.progressive),
        threads_(std::max(1, settings.threads)) {
    planTiles(std::max(1, settings.tileSize));
  }

  // Runs every tile. Returns the first failure, kCancelled, or "" when the
  // image is complete.
  std::string run(const ProgressFn& progress);

  uint64_t droppedSamples() const { return dropped_.load(); }
  uint64_t samplesTaken() const { return taken_.load(); }
  // Call once run() has returned.
  const std::vector<size_t>& warmed() const { return warmed_; }
  int samplesPerPixel() const { return spp_; }
  int threads() const { return threads_; }

 private:
  bool cancelled() const {
    return settings_.cancel && settings_.cancel->load(std::memory_order_relaxed);
  }
  void planTiles(int tile);
  void startNext(std::unique_ptr<ShadingContext>& ctx);
  void runTask(size_t index, ShadingContext* ctx);
  void warmUp(size_t index, ShadingContext* ctx);
  uint64_t shadeTile(const Task& task, ShadingContext* ctx);
  void handOn(size_t index);
  void reap(std::unique_lock<std::mutex>& lock);

  const std::vector<Panel>& panels_;
  const RenderSettings& settings_;
  Image& image_;
  const int spp_;
  const int first_;
  const bool lone_;
  const int threads_;

  std::vector<Task> tasks_;
  std::vector<std::vector<std::pair<Ray, Hit>>> warmUps_;  // per panel
  ContextPool pool_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t warmTurn_ = 0;  // the task whose thread may make its first draws now
  std::vector<size_t> warmed_;  // per panel, warm-ups completed
  std::vector<size_t> finished_;
  std::string failure_;
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> taken_{0};
  std::vector<std::thread> running_;
  std::vector<std::unique_ptr<ShadingContext>> contexts_;
  size_t next_ = 0;
  size_t done_ = 0;
  size_t alive_ = 0;
};

// Cuts every panel into tiles, in order, and finds each panel's warm-up hits.
void TileRender::planTiles(int tile) {
  for (size_t p = 0; p < panels_.size(); ++p) {
    const Panel& panel = panels_[p];
    warmUps_.push_back(warmUpHits(*panel.scene));
    for (int y = 0; y < panel.height; y += tile) {
      for (int x = 0; x < panel.width; x += tile) {
        tasks_.push_back(
            {p, x, y, std::min(x + tile, panel.width), std::min(y + tile, panel.height)});
      }
    }
  }
  running_.resize(tasks_.size());
  contexts_.resize(tasks_.size());
  warmed_.assign(panels_.size(), 0);
}

// Starts the next tile's thread, if any, with `ctx` (the context of a thread
// that has finished shading) when it suits the tile. Called with the lock
// held, so that the thread is recorded before it can finish.
void TileRender::startNext(std::unique_ptr<ShadingContext>& ctx) {
  if (next_ >= tasks_.size() || !failure_.empty() || cancelled()) return;
  const size_t n = next_;
  Backend* backend = panels_[tasks_[n].panel].backend;
  try {
    contexts_[n] = ctx ? std::move(ctx) : pool_.take(backend);
    running_[n] = std::thread(&TileRender::runTask, this, n, contexts_[n].get());
  } catch (const std::exception& e) {
    if (failure_.empty()) failure_ = e.what();
    return;
  }
  ++next_;
  ++alive_;
}

// A tile's thread: its warm-up in tile order, its pixels, then the next tile.
void TileRender::runTask(size_t index, ShadingContext* ctx) {
  try {
    warmUp(index, ctx);
    dropped_ += shadeTile(tasks_[index], ctx);
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_.empty()) failure_ = e.what();
  }
  handOn(index);
}

// Waits for this task's turn, shades the panel's warm-up hits (the thread's
// first draws) and passes the turn on.
void TileRender::warmUp(size_t index, ShadingContext* ctx) {
  const Task& task = tasks_[index];
  const Panel& panel = panels_[task.panel];
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return warmTurn_ == index; });
  }
  // Outside the lock: the warm-up shades, and shading may take long.
  for (const auto& [ray, hit] : warmUps_[task.panel]) {
    ctx->setCameraSample(0, 0, 0);
    ctx->shadeCameraHit(ray, hit, panel.materialOfSlot);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++warmTurn_;
    ++warmed_[task.panel];
  }
  changed_.notify_all();
}

// Shades every pixel of the tile into the image. Returns the number of
// samples that were not finite.
uint64_t TileRender::shadeTile(const Task& task, ShadingContext* ctx) {
  const Panel& panel = panels_[task.panel];
  uint64_t bad = 0;
  uint64_t taken = 0;
  const float inv = 1.0f / static_cast<float>(spp_);
  const ImageRays rays = panel.scene->camera.imageRays(panel.width, panel.height);
  const bool adaptive = settings_.adaptiveThreshold > 0.0f;
  const int every = std::max(2, settings_.adaptiveMinSamples);
  for (int y = task.y0; y < task.y1 && !cancelled(); ++y) {
    for (int x = task.x0; x < task.x1; ++x) {
      Rgb sum;
      PixelNoise noise;
      int n = 0;
      for (int s = first_; s < first_ + spp_; ++s) {
        const auto [jx, jy] = settings_.sameJitterPerPanel
                                  ? jitter(x, y, s, lone_)
                                  : jitter(panel.x0 + x, panel.y0 + y, s, lone_);
        const Ray ray = rays.ray(static_cast<float>(x) + jx, static_cast<float>(y) + jy);
        const auto hit = panel.scene->intersect(ray, 0.0f, std::numeric_limits<float>::infinity());
        Rgb c;
        if (hit) {
          ctx->setCameraSample(x, y, s);
          c = ctx->shadeCameraHit(ray, *hit, panel.materialOfSlot);
        } else {
          c = panel.scene->environment.radiance(ray.dir);
        }
        // A sample that is not finite would poison the pixel; it is
        // dropped and counted, and the count is reported.
        ++n;
        if (isFinite(c)) {
          sum += c;
        } else {
          ++bad;
        }
        if (adaptive) {
          noise.add(isFinite(c) ? c : Rgb{});
          // Tested after every `every` samples only, not after each: a
          // pixel stops on a stretch of samples, not on one lucky run.
          if (n % every == 0 && n < spp_ && noise.codes() < settings_.adaptiveThreshold) break;
        }
      }
      image_.at(panel.x0 + x, panel.y0 + y) =
          n == spp_ ? sum * inv : sum * (1.0f / static_cast<float>(n));
      taken += static_cast<uint64_t>(n);
    }
  }
  taken_ += taken;
  return bad;
}

// The end of a tile's thread: the turn passed on even after a failure, the
// next tile started, this tile reported finished.
void TileRender::handOn(size_t index) {
  const Panel& panel = panels_[tasks_[index].panel];
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // A task that failed before its warm-up still passes the turn on.
    if (warmTurn_ == index) ++warmTurn_;
    // The next tile's thread is started here rather than by the
    // dispatcher, which would first have to wake up to this tile's end;
    // it takes this tile's context when it renders with the same backend.
    std::unique_ptr<ShadingContext> mine;
    if (next_ < tasks_.size() && panels_[tasks_[next_].panel].backend == panel.backend)
      mine = std::move(contexts_[index]);
    startNext(mine);
    if (mine) contexts_[index] = std::move(mine);
    finished_.push_back(index);
  }
  changed_.notify_all();
}

// Joins the threads that have finished and returns their contexts to the pool.
void TileRender::reap(std::unique_lock<std::mutex>& lock) {
  std::vector<size_t> ready;
  ready.swap(finished_);
  lock.unlock();
  for (size_t i : ready) {
    running_[i].join();
    // A context that went on to the next tile is no longer here.
    if (contexts_[i]) pool_.give(panels_[tasks_[i].panel].backend, std::move(contexts_[i]));
    ++done_;
  }
  lock.lock();
  alive_ -= ready.size();  // under the lock: finishing threads start others
}

// The dispatcher: keeps up to `threads` tiles running until all are done,
// a tile fails or the render is cancelled.
std::string TileRender::run(const ProgressFn& progress) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (done_ < tasks_.size()) {
    if (failure_.empty() && cancelled()) failure_ = kCancelled;
    if (next_ < tasks_.size() && alive_ < static_cast<size_t>(threads_) && failure_.empty()) {
      std::unique_ptr<ShadingContext> none;
      startNext(none);
      continue;
    }
    if (alive_ == 0) break;  // a failure stopped the dispatch
    // Short waits while a cancel flag may be raised, so that it is seen soon.
    changed_.wait_for(lock, std::chrono::milliseconds(settings_.cancel ? 5 : 100),
                      [&] { return !finished_.empty(); });
    reap(lock);
    if (progress) {
      lock.unlock();
      progress(done_, tasks_.size());
      lock.lock();
    }
  }
  // A cancel raised after the last tile started still cut tiles short.
  if (failure_.empty() && cancelled()) failure_ = kCancelled;
  return failure_;
}

}  // namespace

bool render(const std::vector<Panel>& panels, const RenderSettings& settings, Image& image,
            RenderStats& stats, const ProgressFn& progress, std::string& error) {
  const auto start = std::chrono::steady_clock::now();
  TileRender job(panels, settings, image);
  const std::string failure = job.run(progress);

  stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  stats.threads = job.threads();
  stats.droppedSamples = job.droppedSamples();
  stats.cancelled = failure == kCancelled;
  stats.warmedTiles = job.warmed();
  stats.cameraSamples = job.samplesTaken();
  if (!failure.empty()) {
    error = failure;
    return false;
  }
  return true;
}

}  // namespace gwp
