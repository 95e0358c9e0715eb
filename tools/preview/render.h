// The tiled, multithreaded renderer.
//
// Both deliverables draw their reflection samples from a generator that
// belongs to the calling thread and is seeded, at the thread's first draw,
// from a process-wide ticket. To keep images independent of scheduling and of
// the thread count, every tile is rendered on a thread of its own, and the
// tiles' threads make their first draw (a warm-up shading call per material)
// strictly in tile order. Tile k therefore always draws from the k-th stream,
// whichever thread count runs the render. (In a process that renders twice,
// the second render continues the tickets, so only the first render of a
// process is reproducible bit for bit: the command line renders once.)
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "backend.h"
#include "scene.h"
#include "vec3.h"

namespace gwp {

struct Image {
  int width = 0;
  int height = 0;
  std::vector<Rgb> pixels;  // row-major, top row first

  Image() = default;
  Image(int w, int h)
      : width(w), height(h), pixels(static_cast<size_t>(w) * static_cast<size_t>(h)) {}
  Rgb& at(int x, int y) {
    return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
  }
  const Rgb& at(int x, int y) const {
    return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
  }
};

// One rectangle of the output image, rendered by one backend from one scene.
struct Panel {
  Backend* backend = nullptr;
  const Scene* scene = nullptr;
  SlotMaterials materialOfSlot{};  // material index per slot
  int x0 = 0;
  int y0 = 0;
  int width = 0;
  int height = 0;
};

struct RenderSettings {
  int samplesPerPixel = 1;
  int threads = 1;
  int tileSize = 16;
  // Camera samples [firstSample, firstSample + samplesPerPixel) of every
  // pixel. A render of one sample puts it at the pixel's centre, unless it is
  // one pass of a progressive render: passes over consecutive ranges then add
  // up to the render of all their samples at once.
  int firstSample = 0;
  bool progressive = false;
  // Sub-pixel positions by the pixel's place in its panel rather than in
  // the image, so that panels of the same size sample the same positions:
  // two hosts' panels then make the same camera rays, and each tile draws
  // as many reflection numbers in one as in the other.
  bool sameJitterPerPanel = false;
  // Adaptive sampling, off at 0 (the default: every pixel takes
  // samplesPerPixel samples, and the image is what it is without the
  // option, bit for bit). Otherwise a pixel stops taking camera samples once
  // the estimated noise of its mean, in 8-bit sRGB codes in its noisiest
  // channel, is below adaptiveThreshold; it is estimated from the pixel's
  // own samples after every adaptiveMinSamples of them, so that flat pixels
  // stop after that many and noisy ones go on up to samplesPerPixel. The
  // decision depends on the samples alone, so the image is as reproducible
  // as without it.
  float adaptiveThreshold = 0.0f;
  int adaptiveMinSamples = 8;
  // When set, a render that sees it true stops within a row of pixels,
  // starts no further tile, and returns false with kCancelled as its error.
  const std::atomic<bool>* cancel = nullptr;
};

constexpr const char* kCancelled = "cancelled";

struct RenderStats {
  double seconds = 0.0;
  uint64_t cameraSamples = 0;  // taken: fewer than pixels x spp under adaptive sampling
  uint64_t droppedSamples = 0;  // samples that came back not finite
  int threads = 0;
  bool cancelled = false;
  // Per panel, the tiles whose thread made its warm-up (its first draws):
  // how many stream tickets the panel's deliverable handed out, when the
  // warm-up's materials draw at all.
  std::vector<size_t> warmedTiles;
};

// Called from the rendering call's own thread with the tiles done so far.
using ProgressFn = std::function<void(size_t done, size_t total)>;

// Renders every panel into `image`, which must already have its size: each
// pixel gets the mean of its samples. Returns false with `error` when a tile
// failed or the render was cancelled (the image is then incomplete).
bool render(const std::vector<Panel>& panels, const RenderSettings& settings, Image& image,
            RenderStats& stats, const ProgressFn& progress, std::string& error);

}  // namespace gwp
