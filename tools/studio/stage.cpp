#include "stage.h"

#include <cstdio>

#include "environment.h"
#include "environment_setup.h"
#include "mesh.h"
#include "orbit.h"

namespace gwstudio {
namespace {

// Sets kept: a page going back and forth between a few shapes and maps
// finds them made.
constexpr size_t kKeptSets = 4;

// What a set is made of: shape and environment, and a map's rotation and
// intensity (the softbox studio has neither).
std::string setKey(const Stage& s) {
  char numbers[64] = "";
  if (s.env != "softbox") {
    std::snprintf(numbers, sizeof numbers, " %a %a", static_cast<double>(s.envRotate),
                  static_cast<double>(s.envIntensity));
  }
  return s.shape + " " + s.env + numbers;
}

}  // namespace

bool StageScenes::check(const Stage& stage, ParamError& error) const {
  const std::pair<const char*, const std::string*> uploads[] = {{"shape", &stage.shape},
                                                                 {"env", &stage.env}};
  for (const auto& [field, id] : uploads) {
    if (!isUploadId(*id)) continue;
    const auto upload = uploads_.find(*id);
    if (!upload) {
      error = {field, missingUploadMessage(field, *id)};
      return false;
    }
    const bool wantModel = std::string(field) == "shape";
    if ((upload->kind == UploadRequest::Kind::kModel) != wantModel) {
      error = {field, std::string(field) + ": the upload " + *id + " (" + upload->file + ") is " +
                          (wantModel ? "an environment image, not a model"
                                     : "a model, not an environment image")};
      return false;
    }
  }
  return true;
}

std::shared_ptr<const gwp::Scene> StageScenes::build(const Stage& stage, ParamError& error) const {
  if (!check(stage, error)) return nullptr;
  auto scene = std::make_shared<gwp::Scene>(base_);
  const gwst::EnvironmentParams params{stage.envRotate, stage.envIntensity};
  if (stage.env == gwp::kStudioEnvironment) {
    gwp::lightWithEnvironment(*scene, std::make_shared<const gwst::Environment>(
                                          gwst::studioEnvironment(gwp::kStudioMapRows), params));
  } else if (isUploadId(stage.env)) {
    const auto upload = uploads_.find(stage.env);
    if (!upload) {
      error = {"env", missingUploadMessage("env", stage.env)};
      return nullptr;
    }
    gwp::lightWithEnvironment(*scene,
                              std::make_shared<const gwst::Environment>(*upload->image, params));
  }
  gwst::Shape shape = gwst::Shape::kSpheres;
  if (isUploadId(stage.shape)) {
    const auto upload = uploads_.find(stage.shape);
    if (!upload) {
      error = {"shape", missingUploadMessage("shape", stage.shape)};
      return nullptr;
    }
    gwp::placeModel(*scene, *upload->mesh);
  } else if (gwst::parseShape(stage.shape, shape) && shape != gwst::Shape::kSpheres) {
    gwp::placeModel(*scene, gwst::makeShape(shape));
  }
  // The spheres alone are tested one by one, as the studio always traced
  // them; a model needs the ray tracer's structure.
  std::string why;
  if (!scene->meshes.empty() && !scene->commit(why)) {
    error = {"shape", "shape: " + why};
    return nullptr;
  }
  return scene;
}

gwp::Camera StageScenes::camera(const Stage& stage) const {
  gwp::CameraOrbit orbit;
  orbit.azimuth = stage.azimuth;
  orbit.elevation = stage.elevation;
  if (stage.distance > 0.0f) orbit.distance = stage.distance;
  if (stage.turntable > 0 && stage.frame > 0) {
    orbit = gwp::turntableOrbit(orbit, stage.frame, stage.turntable);
  }
  // About the base scene's objects, as the preview orbits before it puts a
  // model in their place.
  gwp::Scene s;
  s.spheres = base_.spheres;
  s.camera = base_.camera;
  gwp::orbitCamera(s, orbit);
  return s.camera;
}

float StageScenes::cameraDistance() const {
  return gwp::length(base_.camera.position - gwp::heroCentre(base_));
}

bool StageScenes::scene(const Stage& stage, gwp::Scene& out, ParamError& error) {
  const std::string key = setKey(stage);
  std::shared_ptr<const gwp::Scene> set;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = sets_.begin(); it != sets_.end(); ++it) {
      if (it->first == key) {
        set = it->second;
        sets_.erase(it);
        sets_.emplace_back(key, set);
        break;
      }
    }
  }
  if (set) {
    // A kept set whose upload the store let go is not used any more.
    if (!check(stage, error)) return false;
  } else {
    // Made outside the lock: two requests may make the same set at once,
    // and the later one is kept.
    set = build(stage, error);
    if (!set) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    sets_.emplace_back(key, set);
    if (sets_.size() > kKeptSets) sets_.pop_front();
  }
  out = *set;
  out.camera = camera(stage);
  return true;
}

}  // namespace gwstudio
