#include "environment_setup.h"

#include <utility>
#include <vector>

#include "environment.h"

namespace gwp {

bool loadEnvironment(const EnvironmentChoice& choice, std::shared_ptr<const gwst::Environment>& map,
                     std::string& error) {
  map.reset();
  if (choice.source == kSoftboxEnvironment) return true;
  const gwst::EnvironmentParams params{choice.rotateDegrees, choice.intensity};
  if (choice.source == kStudioEnvironment) {
    map = std::make_shared<const gwst::Environment>(gwst::studioEnvironment(kStudioMapRows), params);
    return true;
  }
  gwst::LatLongImage image;
  if (!gwst::LatLongImage::fromFile(choice.source, image, error)) {
    error = "--env " + error;
    return false;
  }
  map = std::make_shared<const gwst::Environment>(std::move(image), params);
  return true;
}

void lightWithEnvironment(Scene& scene, std::shared_ptr<const gwst::Environment> map, int lights) {
  scene.lights.clear();
  for (const gwst::DirectionalLight& d : map->medianCutLights(lights)) {
    Light l;
    l.kind = Light::Kind::kDirectional;
    l.direction = normalized({d.direction.x, d.direction.y, d.direction.z});
    l.intensity = {d.irradiance.x, d.irradiance.y, d.irradiance.z};
    scene.lights.push_back(l);
  }
  scene.environment.map = std::move(map);
}

bool applyEnvironment(const EnvironmentChoice& choice, Scene& scene, std::string& error) {
  std::shared_ptr<const gwst::Environment> map;
  if (!loadEnvironment(choice, map, error)) return false;
  if (map) lightWithEnvironment(scene, std::move(map));
  return true;
}

}  // namespace gwp
