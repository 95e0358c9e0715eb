// The studio's stage: the scene a request's Stage asks for, made from the
// studio's base scene (its --scene) the way the preview makes its own: the
// environment, then the camera's orbit about the base scene's objects, then
// the shape or model in the spheres' place. What takes time (a model's ray
// tracing structure, a map's lights) is made once per shape and
// environment and kept for the next requests; the camera is set per
// request. Uploaded models and images come from the studio's upload store.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "request.h"
#include "scene.h"
#include "uploads.h"

namespace gwstudio {

class StageScenes {
 public:
  StageScenes(gwp::Scene base, const Uploads& uploads) : base_(std::move(base)), uploads_(uploads) {}

  // Whether `stage` can be made: its uploads are held and of the right
  // kind. False with the parameter at fault and a one-line message.
  bool check(const Stage& stage, ParamError& error) const;

  // The scene of `stage`, camera included. False with the parameter at
  // fault and a one-line message.
  bool scene(const Stage& stage, gwp::Scene& out, ParamError& error);

  const gwp::Scene& base() const { return base_; }
  // The base camera's distance from what it orbits.
  float cameraDistance() const;

 private:
  std::shared_ptr<const gwp::Scene> build(const Stage& stage, ParamError& error) const;
  gwp::Camera camera(const Stage& stage) const;

  gwp::Scene base_;
  const Uploads& uploads_;
  std::mutex mutex_;
  // The sets made last, newest last, by what they are made of.
  std::deque<std::pair<std::string, std::shared_ptr<const gwp::Scene>>> sets_;
};

}  // namespace gwstudio
