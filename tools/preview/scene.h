// The preview's scene: spheres and a ground plane, point and rectangular
// area lights, a studio environment and a pinhole camera.
//
// World axes: x right, y up, z towards the default camera, which looks down
// -z with its axes along the world's, so that camera space differs from
// world space only by the camera's position. A camera moved round the object
// (orbit.h) is turned: its axes are its own. Both deliverables build their
// tangent frame from the normal in the space their host hands it over in
// (camera space for the Maya node, world space for the mental ray shader);
// with the default camera the two frames coincide, so the two hosts' images
// can be compared pixel for pixel. Under a turned camera the frames differ,
// and so may an anisotropic highlight's direction.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vec3.h"

namespace gwst {
class Environment;
struct TriangleMesh;
}

namespace gwp {

// What a surface is shaded with: a slot, which each panel of a render maps to
// one material (the contact sheet gives every cell its own material).
enum MaterialSlot : int { kHeroSlot = 0, kFloorSlot = 1, kSlotCount = 2 };

struct Sphere {
  Vec3 centre;
  float radius = 1.0f;
  MaterialSlot slot = kHeroSlot;
};

// The plane y = height, facing up.
struct GroundPlane {
  float height = -1.0f;
  MaterialSlot slot = kFloorSlot;
};

// A triangle mesh of the scene (a built-in shape or a user's model), placed
// already, shaded with one slot. Shared, so that copies of a scene share
// its triangles.
struct MeshObject {
  std::shared_ptr<const gwst::TriangleMesh> mesh;
  MaterialSlot slot = kHeroSlot;
};

struct Light {
  // kDirectional: infinitely far away (one of the lights an environment map
  // becomes), seen along `direction` from everywhere, with one shadow ray.
  enum class Kind { kPoint, kArea, kDirectional };
  Kind kind = Kind::kPoint;
  Vec3 position;  // the centre of an area light
  // Colour times intensity; no decay with distance. A directional light's is
  // the irradiance it gives a surface facing it.
  Rgb intensity;
  Vec3 direction;  // directional lights: unit, from the surface towards the light
  // Area lights: a parallelogram spanned by edgeU and edgeV around position,
  // sampled on a samplesU x samplesV jittered grid, one shadow ray per sample.
  Vec3 edgeU;
  Vec3 edgeV;
  int samplesU = 1;
  int samplesV = 1;

  int sampleCount() const { return kind == Kind::kArea ? samplesU * samplesV : 1; }
};

// A softbox of the studio environment: a bright rectangle seen from far away,
// given by its centre direction, its long axis and its angular half sizes.
struct Softbox {
  Vec3 centre;              // unit direction
  Vec3 longAxis;            // unit, perpendicular to centre
  float halfLength = 0.5f;  // radians along longAxis
  float halfWidth = 0.1f;   // radians across it
  Rgb radiance;
  Vec3 across;  // cross(centre, longAxis): the axis halfWidth is measured along
};

// What rays that leave the scene see: the softbox studio (a gradient and
// softboxes), or a latitude-longitude map when `map` is set (an image given
// with --env, or the built-in studio map), rotated and scaled as the map's
// parameters say.
struct Environment {
  Rgb horizon{0.05f, 0.05f, 0.055f};
  Rgb zenith{0.11f, 0.115f, 0.13f};
  Rgb below{0.025f, 0.025f, 0.025f};
  std::vector<Softbox> softboxes;
  std::shared_ptr<const gwst::Environment> map;

  Rgb radiance(Vec3 dir) const;
};

// The rays through the points of one width x height image, with what they
// share worked out once: the same arithmetic as Camera::primaryRay, so the
// same rays, bit for bit.
struct ImageRays {
  Vec3 position;
  float tanHalf = 0.0f;  // tan(fovY / 2)
  float aspect = 1.0f;   // width / height
  float width = 1.0f;
  float height = 1.0f;
  bool turned = false;  // the camera's axes, when turned (see Camera)
  Vec3 right{1.0f, 0.0f, 0.0f};
  Vec3 up{0.0f, 1.0f, 0.0f};
  Vec3 back{0.0f, 0.0f, 1.0f};

  Ray ray(float px, float py) const {
    const float sx = (2.0f * px / width - 1.0f) * tanHalf * aspect;
    const float sy = (1.0f - 2.0f * py / height) * tanHalf;
    if (turned) return {position, normalized(right * sx + up * sy - back)};
    return {position, normalized({sx, sy, -1.0f})};
  }
};

struct Camera {
  Vec3 position;
  float fovY = 0.7f;  // vertical field of view, radians
  // The camera's axes in world space: right, up, and back (the camera looks
  // down -back). A camera that is not turned has the world's axes and maps
  // between world and camera space by its position alone, with the same
  // arithmetic, bit for bit, as before cameras could turn.
  bool turned = false;
  Vec3 right{1.0f, 0.0f, 0.0f};
  Vec3 up{0.0f, 1.0f, 0.0f};
  Vec3 back{0.0f, 0.0f, 1.0f};

  // Directions and points between world and camera space (Maya's camera
  // space: x right, y up, the camera looking down -z).
  Vec3 toCameraDir(Vec3 v) const {
    return turned ? Vec3{dot(v, right), dot(v, up), dot(v, back)} : v;
  }
  Vec3 toWorldDir(Vec3 v) const { return turned ? right * v.x + up * v.y + back * v.z : v; }
  Vec3 toCameraPoint(Vec3 p) const { return toCameraDir(p - position); }
  Vec3 toWorldPoint(Vec3 p) const { return toWorldDir(p) + position; }

  // The ray through the image point (px, py), measured in pixels from the
  // top-left corner of a width x height image.
  Ray primaryRay(float px, float py, int width, int height) const {
    return imageRays(width, height).ray(px, py);
  }
  ImageRays imageRays(int width, int height) const;
};

struct Hit {
  float t = 0.0f;
  Vec3 point;
  Vec3 normal;                   // unit, turned to face the incoming ray
  bool backFacing = false;       // the geometric normal faced away from the ray
  const void* object = nullptr;  // the Sphere, GroundPlane or MeshObject hit, stable for the
                                 // scene's lifetime
  MaterialSlot slot = kHeroSlot;
};

// How the hosts sample area lights: how many samples a hit takes and where
// they lie. Point lights give one sample per hit whatever the mode. Every
// sample lies uniformly on the light, so each mode estimates the same
// integrals; the modes differ in cost and in how evenly the samples that end
// up in one pixel cover the light.
struct LightSampling {
  enum class Mode {
    // Every hit, reflected ones included, takes `perHit` samples drawn from
    // its own point: one per cell of the light's samplesU x samplesV grid
    // when `perHit` is their product, otherwise a stratified set of that many.
    kPerHit,
    // A camera ray's hit takes `cameraHit` samples and the hit of a ray the
    // host traced for it `reflectedHit`. The samples that one hit slot (the
    // camera ray's hit, the hit of its k-th traced ray) takes over a pixel's
    // camera samples follow one stratified sequence: 16 camera samples of
    // one sample each cover the light as evenly as 16 samples of one hit.
    kAcrossPixel,
  };
  Mode mode = Mode::kAcrossPixel;
  int perHit = 16;
  int cameraHit = 1;
  int reflectedHit = 1;
};

// Which hit of which camera sample is being shaded: what places the hit's
// light samples in kAcrossPixel mode.
struct HitKey {
  int pixelX = 0;  // panel-local pixel
  int pixelY = 0;
  int sample = 0;  // the camera sample's index within its pixel
  int slot = 0;    // 0: the camera ray's hit; k > 0: the hit of the k-th ray traced for it
  int depth = 0;   // 0: a camera ray's hit; 1 and more: a traced ray's hit
};

class Accel;  // the Embree scene (accel.h)

struct Scene {
  std::vector<Sphere> spheres;
  std::optional<GroundPlane> ground;
  std::vector<MeshObject> meshes;
  std::vector<Light> lights;
  Environment environment;
  Camera camera;
  LightSampling lightSampling;

  // Everything above that rays can hit, in one Embree scene, made by
  // commit(). Meshes are seen only through it; spheres and the ground are
  // also tested one by one while a scene has none, with the same arithmetic
  // (so the same hits, bit for bit).
  std::shared_ptr<const Accel> accel;

  // Builds `accel` from the geometry as it is now; call it after the last
  // change to spheres, ground or meshes (copies of the scene share it).
  // False with a one-line `error` if the ray tracer refused the scene.
  bool commit(std::string& error);

  // Closest hit with t in (tMin, tMax).
  std::optional<Hit> intersect(const Ray& ray, float tMin, float tMax) const;
  // Whether anything blocks the segment from `from` to `to`.
  bool occluded(Vec3 from, Vec3 to) const;
  // Whether anything blocks the ray from `from` along the unit `dir`, however
  // far: the shadow ray of a directional light.
  bool occludedToward(Vec3 from, Vec3 dir) const;
};

// Offset that keeps secondary rays from finding the surface they leave.
constexpr float kRayEpsilon = 1e-3f;

// The position of sample `index` (0 <= index < sampleCount()) of `light` as
// seen from `point`. Area lights jitter within their grid cells by a hash of
// the point and the index, so the pattern needs no generator state and is the
// same for both hosts.
Vec3 lightSamplePosition(const Light& light, Vec3 point, int index);

// How many samples `light` gives a hit at depth `depth` under `sampling`.
inline int lightSampleCount(const LightSampling& sampling, const Light& light, int depth) {
  if (light.kind != Light::Kind::kArea) return 1;
  if (sampling.mode == LightSampling::Mode::kPerHit) return sampling.perHit > 1 ? sampling.perHit : 1;
  const int n = depth == 0 ? sampling.cameraHit : sampling.reflectedHit;
  return n > 1 ? n : 1;
}

// The position of sample `index` (0 <= index < lightSampleCount) of the
// scene's light number `lightIndex` at the hit `key`, whose point is `point`.
// Both hosts place their samples with this, so that they sample alike.
Vec3 lightSamplePosition(const LightSampling& sampling, const Light& light, size_t lightIndex,
                         const HitKey& key, Vec3 point, int index);

// Irradiance at `point`, whose unit normal is `normal`, from the environment
// alone: each direction blocked by the scene or not, no light bounced
// between surfaces. `rays` cosine-weighted directions from a scrambled
// (0,2)-sequence: one sequence per pixel, hit slot and depth of `key`, whose
// camera samples walk along it, `rays` points each. So the directions are
// stratified within a call and across a pixel's samples, differ between
// neighbouring pixels (noise, not bands), and repeat for the same image. The
// estimate of E = integral of L cos over the hemisphere (pi L under a
// uniform radiance L) converges to it as samples add up.
Rgb environmentIrradiance(const Scene& scene, Vec3 point, Vec3 normal, const HitKey& key,
                          int rays);

// The default scene: three spheres on a ground plane, a key area light and a
// fill point light, and the studio environment. With `pointLightsOnly` the
// key light is a point light at the area light's centre (the scene on which
// the two hosts agree).
Scene defaultScene(bool pointLightsOnly = false);

// A contact-sheet cell: one sphere in front of the studio, same lights.
Scene sweepCellScene();

// Puts `mesh` in the place of the scene's spheres, which it replaces,
// wearing the first sphere's slot: centred under the first sphere, its
// bounding sphere a little larger than that sphere, standing on the ground
// (without a ground, centred on the sphere's centre). Then commit().
void placeModel(Scene& scene, gwst::TriangleMesh mesh);

}  // namespace gwp
