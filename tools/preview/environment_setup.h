// The environment a render is lit by: the softbox studio of the default
// scene, the built-in studio map, or a latitude-longitude image, with its
// rotation and intensity, and the lights a map becomes.
//
// How a map lights the scene, the same way in both hosts: it is cut into
// kEnvironmentLights regions of about equal power by the median-cut method,
// and each region becomes one directional light (its power-weighted mean
// direction, its power as irradiance). Those lights are what each host hands
// a surface shader: elements of Maya's light data array, and infinite lights
// in the mental ray shader's light list, each with a shadow ray. Rays that
// miss the scene (camera rays, traced reflections, mental ray's
// mi_trace_environment) see the map itself.
#pragma once

#include <memory>
#include <string>

#include "scene.h"

namespace gwst {
class Environment;
}

namespace gwp {

// The built-in environments --env names.
constexpr const char* kSoftboxEnvironment = "softbox";  // the default scene's lights and gradient
constexpr const char* kStudioEnvironment = "studio";    // our own procedural studio map

// How many directional lights a map becomes. With 64 regions of about equal
// power a diffuse surface under a uniform map comes within 4% of the exact
// irradiance at any normal and within 0.1% on average (16 lights leave 31%
// at worst, 32 lights 9%, 256 lights 1%), which makes the lighting converged
// to the eye: no facets on a sphere, soft-looking shadows. The cost per hit
// grows with the count, almost all of it in the shader's own evaluation of
// each light (the shadow rays are cheap): a map renders about ten times
// slower per sample than the softbox studio's two lights.
constexpr int kEnvironmentLights = 64;

struct EnvironmentChoice {
  std::string source = kSoftboxEnvironment;  // a built-in name or an image's path
  float rotateDegrees = 0.0f;                // about the vertical axis
  float intensity = 1.0f;                    // scales the map's radiance and its lights
};

// Rows of the built-in studio map (twice as many columns).
constexpr int kStudioMapRows = 256;

// Reads the map `choice` names (nothing for the softbox studio). False with
// a one-line `error` naming the image and the problem.
bool loadEnvironment(const EnvironmentChoice& choice, std::shared_ptr<const gwst::Environment>& map,
                     std::string& error);

// Lights `scene` with `map`: what rays that miss see, and its `lights`
// directional lights in place of the scene's own lights.
void lightWithEnvironment(Scene& scene, std::shared_ptr<const gwst::Environment> map,
                          int lights = kEnvironmentLights);

// loadEnvironment, then lightWithEnvironment when it gave a map; the
// softbox studio leaves `scene` as it is.
bool applyEnvironment(const EnvironmentChoice& choice, Scene& scene, std::string& error);

}  // namespace gwp
