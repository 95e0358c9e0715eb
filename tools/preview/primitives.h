// Ray tests of the scene's analytic surfaces, shared by the Embree scene's
// user geometry and the one-by-one tests: one copy of the arithmetic, so
// both find the same hits bit for bit.
#pragma once

#include <cmath>
#include <optional>

#include "scene.h"

namespace gwp {

inline std::optional<float> hitSphere(const Sphere& s, const Ray& ray, float tMin, float tMax) {
  const Vec3 oc = ray.origin - s.centre;
  const float b = dot(oc, ray.dir);
  const float c = dot(oc, oc) - s.radius * s.radius;
  const float disc = b * b - c;
  if (disc < 0.0f) return std::nullopt;
  const float root = std::sqrt(disc);
  float t = -b - root;
  if (t <= tMin) t = -b + root;
  if (t <= tMin || t >= tMax) return std::nullopt;
  return t;
}

inline std::optional<float> hitGround(const GroundPlane& g, const Ray& ray, float tMin, float tMax) {
  if (ray.dir.y == 0.0f) return std::nullopt;
  const float t = (g.height - ray.origin.y) / ray.dir.y;
  if (t <= tMin || t >= tMax) return std::nullopt;
  return t;
}

}  // namespace gwp
