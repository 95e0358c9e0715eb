// The scene's Embree scene: every surface rays can hit, in one acceleration
// structure. Spheres and the ground plane are user geometry whose ray tests
// are the scene's own (primitives.h), so a scene of them renders exactly as
// when they are tested one by one; meshes are Embree triangle geometry.
//
// Immutable once built and safe to trace from any number of threads: a ray
// query allocates nothing and takes no lock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "scene.h"

namespace gwp {

// What a ray met: its kind and index in the scene's vectors, the distance,
// and for a triangle its number and barycentrics (u weighs the second
// vertex, v the third).
struct AccelHit {
  enum class Kind { kSphere, kGround, kTriangle };
  Kind kind = Kind::kSphere;
  unsigned index = 0;
  unsigned prim = 0;
  float t = 0.0f;
  float u = 0.0f;
  float v = 0.0f;
};

class Accel {
 public:
  // The structure of what `scene` holds now; null with a one-line `error`.
  static std::shared_ptr<const Accel> build(const Scene& scene, std::string& error);
  ~Accel();
  Accel(const Accel&) = delete;
  Accel& operator=(const Accel&) = delete;

  // The closest hit with t in (tMin, tMax) for spheres and the ground (the
  // scene's own rule), [tMin, tMax] for triangles (Embree's).
  bool intersect(const Ray& ray, float tMin, float tMax, AccelHit& hit) const;
  bool occluded(const Ray& ray, float tMin, float tMax) const;

  // The bytes the ray tracer holds for this structure (its copy of the
  // vertices, the hierarchy), counted as it allocates them.
  size_t bytes() const { return bytes_; }

  struct Impl;

 private:
  Accel() = default;
  std::unique_ptr<Impl> impl_;
  size_t bytes_ = 0;
};

}  // namespace gwp
