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

}  // namespace

bool render(const std::vector<Panel>& panels, const RenderSettings& settings, Image& image,
            RenderStats& stats, const ProgressFn& progress, std::string& error) {
  const auto start = std::chrono::steady_clock::now();
  const int tile = std::max(1, settings.tileSize);
  const int spp = std::max(1, settings.samplesPerPixel);
  const int first = std::max(0, settings.firstSample);
  const bool lone = spp == 1 && first == 0 && !settings.progressive;
  const int threads = std::max(1, settings.threads);
  auto cancelled = [&] {
    return settings.cancel && settings.cancel->load(std::memory_order_relaxed);
  };

  std::vector<Task> tasks;
  std::vector<std::vector<std::pair<Ray, Hit>>> warmUps;
  for (size_t p = 0; p < panels.size(); ++p) {
    const Panel& panel = panels[p];
    warmUps.push_back(warmUpHits(*panel.scene));
    for (int y = 0; y < panel.height; y += tile) {
      for (int x = 0; x < panel.width; x += tile) {
        tasks.push_back(
            {p, x, y, std::min(x + tile, panel.width), std::min(y + tile, panel.height)});
      }
    }
  }

  ContextPool pool;
  std::mutex mutex;
  std::condition_variable changed;
  size_t warmTurn = 0;  // the task whose thread may make its first draws now
  std::vector<size_t> finished;
  std::string failure;
  std::atomic<uint64_t> dropped{0};

  std::vector<std::thread> running(tasks.size());
  std::vector<std::unique_ptr<ShadingContext>> contexts(tasks.size());
  size_t next = 0;
  size_t done = 0;
  size_t alive = 0;

  std::function<void(size_t, ShadingContext*)> runTask;
  // Starts the next tile's thread, if any, with `ctx` (the context of a
  // thread that has finished shading) when it suits the tile. Called with
  // the lock held, so that the thread is recorded before it can finish.
  auto startNext = [&](std::unique_lock<std::mutex>&, std::unique_ptr<ShadingContext>& ctx) {
    if (next >= tasks.size() || !failure.empty() || cancelled()) return;
    const size_t n = next;
    Backend* backend = panels[tasks[n].panel].backend;
    try {
      contexts[n] = ctx ? std::move(ctx) : pool.take(backend);
      running[n] = std::thread(runTask, n, contexts[n].get());
    } catch (const std::exception& e) {
      if (failure.empty()) failure = e.what();
      return;
    }
    ++next;
    ++alive;
  };

  runTask = [&](size_t index, ShadingContext* ctx) {
    const Task& task = tasks[index];
    const Panel& panel = panels[task.panel];
    try {
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return warmTurn == index; });
      }
      // Outside the lock: the warm-up shades, and shading may take long.
      for (const auto& [ray, hit] : warmUps[task.panel]) {
        ctx->setCameraSample(0, 0, 0);
        ctx->shadeCameraHit(ray, hit, panel.materialOfSlot);
      }
      {
        std::lock_guard<std::mutex> lock(mutex);
        ++warmTurn;
      }
      changed.notify_all();

      uint64_t bad = 0;
      const float inv = 1.0f / static_cast<float>(spp);
      const ImageRays rays = panel.scene->camera.imageRays(panel.width, panel.height);
      for (int y = task.y0; y < task.y1 && !cancelled(); ++y) {
        for (int x = task.x0; x < task.x1; ++x) {
          Rgb sum;
          for (int s = first; s < first + spp; ++s) {
            const auto [jx, jy] = jitter(panel.x0 + x, panel.y0 + y, s, lone);
            const Ray ray = rays.ray(static_cast<float>(x) + jx, static_cast<float>(y) + jy);
            const auto hit =
                panel.scene->intersect(ray, 0.0f, std::numeric_limits<float>::infinity());
            Rgb c;
            if (hit) {
              ctx->setCameraSample(x, y, s);
              c = ctx->shadeCameraHit(ray, *hit, panel.materialOfSlot);
            } else {
              c = panel.scene->environment.radiance(ray.dir);
            }
            // A sample that is not finite would poison the pixel; it is
            // dropped and counted, and the count is reported.
            if (isFinite(c)) {
              sum += c;
            } else {
              ++bad;
            }
          }
          image.at(panel.x0 + x, panel.y0 + y) = sum * inv;
        }
      }
      dropped += bad;
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> lock(mutex);
      if (failure.empty()) failure = e.what();
    }
    {
      std::unique_lock<std::mutex> lock(mutex);
      // A task that failed before its warm-up still passes the turn on.
      if (warmTurn == index) ++warmTurn;
      // The next tile's thread is started here rather than by the
      // dispatcher, which would first have to wake up to this tile's end;
      // it takes this tile's context when it renders with the same backend.
      std::unique_ptr<ShadingContext> mine;
      if (next < tasks.size() && panels[tasks[next].panel].backend == panel.backend)
        mine = std::move(contexts[index]);
      startNext(lock, mine);
      if (mine) contexts[index] = std::move(mine);
      finished.push_back(index);
    }
    changed.notify_all();
  };

  auto reap = [&](std::unique_lock<std::mutex>& lock) {
    std::vector<size_t> ready;
    ready.swap(finished);
    lock.unlock();
    for (size_t i : ready) {
      running[i].join();
      // A context that went on to the next tile is no longer here.
      if (contexts[i]) pool.give(panels[tasks[i].panel].backend, std::move(contexts[i]));
      ++done;
    }
    lock.lock();
    alive -= ready.size();  // under the lock: finishing threads start others
  };

  std::unique_lock<std::mutex> lock(mutex);
  while (done < tasks.size()) {
    if (failure.empty() && cancelled()) failure = kCancelled;
    if (next < tasks.size() && alive < static_cast<size_t>(threads) && failure.empty()) {
      std::unique_ptr<ShadingContext> none;
      startNext(lock, none);
      continue;
    }
    if (alive == 0) break;  // a failure stopped the dispatch
    // Short waits while a cancel flag may be raised, so that it is seen soon.
    changed.wait_for(lock, std::chrono::milliseconds(settings.cancel ? 5 : 100),
                     [&] { return !finished.empty(); });
    reap(lock);
    if (progress) {
      lock.unlock();
      progress(done, tasks.size());
      lock.lock();
    }
  }
  // A cancel raised after the last tile started still cut tiles short.
  if (failure.empty() && cancelled()) failure = kCancelled;
  lock.unlock();

  stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  stats.threads = threads;
  stats.droppedSamples = dropped.load();
  stats.cancelled = failure == kCancelled;
  stats.cameraSamples = 0;
  for (const Panel& p : panels) {
    stats.cameraSamples += static_cast<uint64_t>(p.width) * static_cast<uint64_t>(p.height) *
                           static_cast<uint64_t>(spp);
  }
  if (!failure.empty()) {
    error = failure;
    return false;
  }
  return true;
}

}  // namespace gwp
