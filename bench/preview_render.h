// What the preview's render benchmarks share: a host's deliverable loaded
// over a scene, one panel of the default framing (the floor wearing
// material 0, the hero material 1, both at the defaults the deliverable
// declares), and the timed loop in which every iteration is a whole render.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backend.h"
#include "render.h"
#include "scene.h"
#include "schemas.h"

namespace gwbench {

class PreviewRender {
 public:
  // Loads `host`'s deliverable over `scene`, which must outlive this. False
  // after SkipWithError.
  bool load(benchmark::State& state, gwp::Host host, const gwp::Scene& scene, int width,
            int height, int threads) {
    std::string error;
    // A material carries the schema its host reads it by; one without would
    // be refused by the backend.
    const auto schema = gws::loadMaterialSchema({}, {host}, error);
    if (!schema) {
      state.SkipWithError(error.c_str());
      return false;
    }
    materials_ = {gwp::Material(schema), gwp::Material(schema)};
    backend_ = gwp::createBackend(host, scene, materials_, gwp::LibraryPaths{}, error);
    if (!backend_) {
      state.SkipWithError(error.c_str());
      return false;
    }
    gwp::Panel panel;
    panel.backend = backend_.get();
    panel.scene = &scene;
    panel.materialOfSlot[gwp::kFloorSlot] = 0;
    panel.materialOfSlot[gwp::kHeroSlot] = 1;
    panel.width = width;
    panel.height = height;
    panels_ = {panel};
    settings_.threads = threads;
    image_ = gwp::Image(width, height);
    return true;
  }

  // Renders once per iteration of `state`, adding the camera samples to
  // `samples`. False after SkipWithError.
  bool renderEach(benchmark::State& state, uint64_t& samples) {
    std::string error;
    for (auto _ : state) {
      gwp::RenderStats stats;
      if (!gwp::render(panels_, settings_, image_, stats, nullptr, error)) {
        state.SkipWithError(error.c_str());
        return false;
      }
      samples += stats.cameraSamples;
    }
    return true;
  }

 private:
  std::vector<gwp::Material> materials_;  // the backend reads them while it lives
  std::unique_ptr<gwp::Backend> backend_;
  std::vector<gwp::Panel> panels_;
  gwp::RenderSettings settings_;
  gwp::Image image_;
};

}  // namespace gwbench
