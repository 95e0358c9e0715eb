#include "scene.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "accel.h"
#include "environment.h"
#include "int_hash.h"
#include "mesh.h"
#include "primitives.h"

namespace gwp {
namespace {

float smoothEdge(float inside) {
  // inside is > 0 within the box, measured in radians from its edge.
  constexpr float kSoftness = 0.02f;  // radians over which a softbox edge fades
  const float s = std::clamp(inside / kSoftness, 0.0f, 1.0f);
  return s * s * (3.0f - 2.0f * s);
}

// Whether the angle atan2(y, x) (x > 0) exceeds `limit` (0 <= limit <
// sqrt(2)) by more than rounding, without calling libm or dividing:
// tan a = sin a / cos a <= a / (1 - a^2 / 2), so y (1 - limit^2 / 2) > x limit
// means the angle is beyond `limit`; the factor leaves room for the rounding
// of both sides. Past sqrt(2) the bound says nothing and the test is false.
bool angleBeyond(float y, float x, float limit) {
  const float c = 1.0f - 0.5f * limit * limit;
  return c > 0.0f && y * c > x * limit * 1.001f;
}

Softbox makeSoftbox(Vec3 centre, Vec3 longHint, float halfLength, float halfWidth, Rgb radiance) {
  const Vec3 c = normalized(centre);
  const Vec3 a = normalized(longHint - c * dot(longHint, c));
  return {c, a, halfLength, halfWidth, radiance, cross(c, a)};
}

uint32_t mix(uint32_t x) { return hashBits(x, kSceneRounds); }

uint32_t floatBits(float f) {
  uint32_t u;
  static_assert(sizeof u == sizeof f);
  __builtin_memcpy(&u, &f, sizeof u);
  return u;
}

uint32_t pointKey(Vec3 point) {
  return mix(floatBits(point.x) ^ mix(floatBits(point.y) ^ mix(floatBits(point.z))));
}

// The first two dimensions of the Sobol sequence, as 32-bit fractions: every
// run of 2^m points that starts at a multiple of 2^m puts one point in each
// cell of every 2^a x 2^b grid with a + b = m, and XOR-ing the same random
// bits into all of them keeps that while making each point uniform on its
// own (random digit scrambling).
uint32_t sobolDimension0(uint32_t i) {
  // The van der Corput sequence: i's bits mirrored.
  i = (i << 16) | (i >> 16);
  i = ((i & 0x00ff00ffu) << 8) | ((i & 0xff00ff00u) >> 8);
  i = ((i & 0x0f0f0f0fu) << 4) | ((i & 0xf0f0f0f0u) >> 4);
  i = ((i & 0x33333333u) << 2) | ((i & 0xccccccccu) >> 2);
  return ((i & 0x55555555u) << 1) | ((i & 0xaaaaaaaau) >> 1);
}

uint32_t sobolDimension1(uint32_t i) {
  uint32_t r = 0;
  for (uint32_t v = 1u << 31; i != 0; i >>= 1, v ^= v >> 1) {
    if (i & 1u) r ^= v;
  }
  return r;
}

// Point `index` of the scrambled sequence `stream`, on the light's
// parallelogram.
Vec3 onLight(const Light& light, uint32_t stream, uint32_t index) {
  const uint32_t scrambleU = mix(stream ^ 0x2545F491u);
  const uint32_t scrambleV = mix(scrambleU ^ 0x68E31DA4u);
  const float fu = unitFromBits(sobolDimension0(index) ^ scrambleU);
  const float fv = unitFromBits(sobolDimension1(index) ^ scrambleV);
  return light.position + light.edgeU * (fu - 0.5f) + light.edgeV * (fv - 0.5f);
}

std::vector<Softbox> studioSoftboxes() {
  constexpr float kDeg = 3.14159265f / 180.0f;
  // Two tall strips behind the camera, either side, and a long one overhead:
  // the spheres mirror them, so an anisotropic lobe smears them visibly.
  return {
      makeSoftbox({0.65f, 0.25f, 1.0f}, {0, 1, 0}, 38 * kDeg, 4.5f * kDeg, {2.6f, 2.5f, 2.3f}),
      makeSoftbox({-0.75f, 0.2f, 1.0f}, {0, 1, 0}, 32 * kDeg, 3.5f * kDeg, {1.4f, 1.6f, 1.9f}),
      makeSoftbox({0.0f, 1.0f, -0.35f}, {1, 0, 0}, 45 * kDeg, 3.0f * kDeg, {1.8f, 1.8f, 1.8f}),
  };
}

std::vector<Light> studioLights(bool pointLightsOnly) {
  Light key;
  key.kind = pointLightsOnly ? Light::Kind::kPoint : Light::Kind::kArea;
  key.position = {2.6f, 3.4f, -1.8f};
  key.intensity = {1.5f, 1.44f, 1.35f};
  key.edgeU = {1.4f, 0.0f, 0.0f};
  key.edgeV = {0.0f, 0.0f, 1.4f};
  key.samplesU = 4;
  key.samplesV = 4;

  Light fill;
  fill.position = {-3.6f, 1.2f, -0.8f};
  fill.intensity = {0.3f, 0.34f, 0.42f};
  return {key, fill};
}

}  // namespace

Rgb Environment::radiance(Vec3 dir) const {
  if (map) {
    const gwst::Rgb c = map->radiance({dir.x, dir.y, dir.z});
    return {c.x, c.y, c.z};
  }
  Rgb base;
  if (dir.y < 0.0f) {
    base = below;
  } else {
    const float s = std::sqrt(std::min(dir.y, 1.0f));
    base = horizon * (1.0f - s) + zenith * s;
  }
  for (const Softbox& box : softboxes) {
    const float facing = dot(dir, box.centre);
    if (facing <= 0.0f) continue;
    const float sideTan = std::fabs(dot(dir, box.across));
    // Outside the box by more than rounding: its weight below would be 0
    // exactly, and adding 0 changes nothing, so the two arc tangents are
    // skipped (most directions miss every box).
    if (angleBeyond(sideTan, facing, box.halfWidth)) continue;
    const float alongTan = std::fabs(dot(dir, box.longAxis));
    if (angleBeyond(alongTan, facing, box.halfLength)) continue;
    const float along = std::atan2(alongTan, facing);
    const float side = std::atan2(sideTan, facing);
    const float w = smoothEdge(box.halfLength - along) * smoothEdge(box.halfWidth - side);
    base += box.radiance * w;
  }
  return base;
}

ImageRays Camera::imageRays(int width, int height) const {
  ImageRays r;
  r.position = position;
  r.tanHalf = std::tan(fovY * 0.5f);
  r.aspect = static_cast<float>(width) / static_cast<float>(height);
  r.width = static_cast<float>(width);
  r.height = static_cast<float>(height);
  r.turned = turned;
  r.right = right;
  r.up = up;
  r.back = back;
  return r;
}

namespace {

Hit groundHit(const GroundPlane& ground, const Ray& ray, float t) {
  Hit h;
  h.t = t;
  h.point = ray.origin + ray.dir * h.t;
  h.point.y = ground.height;  // exactly on the plane
  h.normal = {0.0f, 1.0f, 0.0f};
  h.object = &ground;
  h.slot = ground.slot;
  return h;
}

Hit sphereHit(const Sphere& sphere, const Ray& ray, float t) {
  Hit h;
  h.t = t;
  h.point = ray.origin + ray.dir * h.t;
  h.normal = normalized(h.point - sphere.centre);
  h.object = &sphere;
  h.slot = sphere.slot;
  return h;
}

Hit triangleHit(const MeshObject& object, const Ray& ray, const AccelHit& a) {
  const gwst::TriangleMesh& m = *object.mesh;
  const size_t i = 3 * size_t{a.prim};
  const auto at = [](const std::vector<float>& v, uint32_t k) {
    return Vec3{v[3 * size_t{k}], v[3 * size_t{k} + 1], v[3 * size_t{k} + 2]};
  };
  const uint32_t k0 = m.indices[i], k1 = m.indices[i + 1], k2 = m.indices[i + 2];
  const Vec3 p0 = at(m.positions, k0), p1 = at(m.positions, k1), p2 = at(m.positions, k2);
  const float w = 1.0f - a.u - a.v;
  Hit h;
  h.t = a.t;
  // From the barycentrics, not origin + t dir: its error does not grow with
  // t. Rays leaving the point do not find its triangle again: the ray
  // tracer skips triangles whose plane holds a ray's origin (accel.cpp).
  h.point = p0 * w + p1 * a.u + p2 * a.v;
  Vec3 ng = normalized(cross(p1 - p0, p2 - p0));
  Vec3 ns = normalized(at(m.normals, k0) * w + at(m.normals, k1) * a.u + at(m.normals, k2) * a.v);
  if (!(dot(ns, ns) > 0.5f)) ns = ng;  // normals that cancel out
  // The geometric normal on the shading normals' side: a file's winding may
  // disagree with its normals, which say where the outside is.
  if (dot(ng, ns) < 0.0f) ng = -ng;
  if (dot(ng, ray.dir) > 0.0f) {
    ng = -ng;
    ns = -ns;
    h.backFacing = true;
  }
  h.normal = ns;
  h.object = &object;
  h.slot = object.slot;
  return h;
}

}  // namespace

bool Scene::commit(std::string& error) {
  accel = Accel::build(*this, error);
  return accel != nullptr;
}

std::optional<Hit> Scene::intersect(const Ray& ray, float tMin, float tMax) const {
  Hit h;
  if (accel) {
    AccelHit a;
    if (!accel->intersect(ray, tMin, tMax, a)) return std::nullopt;
    switch (a.kind) {
      case AccelHit::Kind::kSphere: h = sphereHit(spheres[a.index], ray, a.t); break;
      case AccelHit::Kind::kGround: h = groundHit(*ground, ray, a.t); break;
      case AccelHit::Kind::kTriangle: return triangleHit(meshes[a.index], ray, a);
    }
  } else {
    // The closest surface first; the hit itself is worked out for it alone.
    const Sphere* closest = nullptr;
    for (const Sphere& s : spheres) {
      if (auto t = hitSphere(s, ray, tMin, tMax)) {
        tMax = *t;
        closest = &s;
      }
    }
    std::optional<float> onGround;
    if (ground) onGround = hitGround(*ground, ray, tMin, tMax);
    if (!closest && !onGround) return std::nullopt;
    h = onGround ? groundHit(*ground, ray, *onGround) : sphereHit(*closest, ray, tMax);
  }
  if (dot(h.normal, ray.dir) > 0.0f) {
    h.normal = -h.normal;
    h.backFacing = true;
  }
  return h;
}

bool Scene::occluded(Vec3 from, Vec3 to) const {
  const Vec3 d = to - from;
  const float dist = length(d);
  if (dist <= 2.0f * kRayEpsilon) return false;
  const Ray ray{from, d * (1.0f / dist)};
  const float tMax = dist - kRayEpsilon;
  if (accel) return accel->occluded(ray, kRayEpsilon, tMax);
  for (const Sphere& s : spheres) {
    if (hitSphere(s, ray, kRayEpsilon, tMax)) return true;
  }
  return ground && hitGround(*ground, ray, kRayEpsilon, tMax).has_value();
}

bool Scene::occludedToward(Vec3 from, Vec3 dir) const {
  const Ray ray{from, dir};
  constexpr float kFar = std::numeric_limits<float>::infinity();
  if (accel) return accel->occluded(ray, kRayEpsilon, kFar);
  for (const Sphere& s : spheres) {
    if (hitSphere(s, ray, kRayEpsilon, kFar)) return true;
  }
  return ground && hitGround(*ground, ray, kRayEpsilon, kFar).has_value();
}

Vec3 lightSamplePosition(const Light& light, Vec3 point, int index) {
  // A directional light has no position: a point one unit towards it gives
  // the direction (its shadow ray goes on for ever; see occludedToward).
  if (light.kind == Light::Kind::kDirectional) return point + light.direction;
  if (light.kind == Light::Kind::kPoint) return light.position;
  const int iu = index % light.samplesU;
  const int iv = index / light.samplesU;
  const uint32_t key = pointKey(point);
  const uint32_t h1 = mix(key ^ static_cast<uint32_t>(index) * 0x9E3779B9u);
  const uint32_t h2 = mix(h1 ^ 0x85EBCA6Bu);
  const float fu = (static_cast<float>(iu) + unitFromBits(h1)) / static_cast<float>(light.samplesU);
  const float fv = (static_cast<float>(iv) + unitFromBits(h2)) / static_cast<float>(light.samplesV);
  return light.position + light.edgeU * (fu - 0.5f) + light.edgeV * (fv - 0.5f);
}

Vec3 lightSamplePosition(const LightSampling& sampling, const Light& light, size_t lightIndex,
                         const HitKey& key, Vec3 point, int index) {
  if (light.kind != Light::Kind::kArea) return lightSamplePosition(light, point, index);
  const auto u32 = [](auto v) { return static_cast<uint32_t>(v); };
  if (sampling.mode == LightSampling::Mode::kPerHit) {
    if (sampling.perHit == light.sampleCount()) return lightSamplePosition(light, point, index);
    return onLight(light, mix(pointKey(point) ^ u32(lightIndex) * 0x9E3779B9u), u32(index));
  }
  // One stream per pixel, hit slot and light; the camera samples of the pixel
  // walk along it, `count` points each.
  const int count = lightSampleCount(sampling, light, key.depth);
  const uint32_t stream =
      mix(mix(mix(u32(key.pixelX) * 0x9E3779B1u ^ u32(key.pixelY)) ^ u32(key.slot) * 0x85EBCA77u) ^
          u32(lightIndex) * 0xC2B2AE3Du);
  return onLight(light, stream, u32(key.sample) * u32(count) + u32(index));
}

Rgb environmentIrradiance(const Scene& scene, Vec3 point, Vec3 normal, const HitKey& key,
                          int rays) {
  const Vec3 n = normalized(normal);
  const Vec3 helper = std::fabs(n.x) < 0.9f ? Vec3{1, 0, 0} : Vec3{0, 1, 0};
  const Vec3 t = normalized(cross(helper, n));
  const Vec3 b = cross(n, t);
  const auto u32 = [](int v) { return static_cast<uint32_t>(v); };
  const uint32_t stream =
      mix(mix(mix(u32(key.pixelX) * 0x9E3779B1u ^ u32(key.pixelY)) ^ u32(key.slot) * 0x85EBCA77u) ^
          u32(key.depth) * 0x27D4EB2Fu ^ 0x165667B1u);
  const uint32_t scrambleU = mix(stream ^ 0x2545F491u);
  const uint32_t scrambleV = mix(scrambleU ^ 0x68E31DA4u);
  Rgb sum;
  for (int i = 0; i < rays; ++i) {
    const uint32_t index = u32(key.sample) * u32(rays) + u32(i);
    // Cosine-weighted: the radius squared and the angle uniform on the disc
    // under the hemisphere.
    const float u = unitFromBits(sobolDimension0(index) ^ scrambleU);
    const float phi = 6.28318531f * unitFromBits(sobolDimension1(index) ^ scrambleV);
    const float r = std::sqrt(u);
    const Vec3 d =
        normalized(t * (r * std::cos(phi)) + b * (r * std::sin(phi)) + n * std::sqrt(1.0f - u));
    if (!scene.intersect({point, d}, kRayEpsilon, std::numeric_limits<float>::infinity())) {
      sum += scene.environment.radiance(d);
    }
  }
  // Cosine-weighted directions estimate E / pi, hence the factor pi.
  return rays > 0 ? sum * (3.14159265f / static_cast<float>(rays)) : Rgb{};
}

Scene defaultScene(bool pointLightsOnly) {
  Scene scene;
  scene.spheres = {
      {{0.0f, 0.0f, -5.4f}, 1.0f, kHeroSlot},
      {{-1.55f, -0.45f, -4.5f}, 0.55f, kHeroSlot},
      {{1.55f, -0.45f, -4.5f}, 0.55f, kHeroSlot},
  };
  scene.ground = GroundPlane{-1.0f, kFloorSlot};
  scene.lights = studioLights(pointLightsOnly);
  scene.environment.softboxes = studioSoftboxes();
  scene.camera.position = {0.0f, 0.0f, 0.0f};
  scene.camera.fovY = 40.0f * 3.14159265f / 180.0f;
  return scene;
}

Scene sweepCellScene() {
  Scene scene;
  scene.spheres = {{{0.0f, 0.0f, -3.6f}, 1.0f, kHeroSlot}};
  scene.lights = studioLights(false);
  scene.environment.softboxes = studioSoftboxes();
  scene.camera.fovY = 36.0f * 3.14159265f / 180.0f;
  return scene;
}

void placeModel(Scene& scene, gwst::TriangleMesh mesh) {
  const Sphere where = scene.spheres.empty() ? Sphere{{0.0f, 0.0f, -5.0f}, 1.0f, kHeroSlot}
                                             : scene.spheres.front();
  // On the ground the model may be a little larger than the sphere: the
  // sphere's bottom is at the ground, and the model stands there too.
  constexpr float kOnGround = 1.2f;
  if (scene.ground) {
    gwst::frameMesh(mesh, where.centre.x, scene.ground->height, where.centre.z,
                    where.radius * kOnGround);
  } else {
    gwst::frameMesh(mesh, where.centre.x, 0.0f, where.centre.z, where.radius);
    float top = 0.0f;
    for (size_t i = 1; i < mesh.positions.size(); i += 3) top = std::max(top, mesh.positions[i]);
    const float lift = where.centre.y - 0.5f * top;
    for (size_t i = 1; i < mesh.positions.size(); i += 3) mesh.positions[i] += lift;
  }
  scene.spheres.clear();
  scene.meshes = {{std::make_shared<const gwst::TriangleMesh>(std::move(mesh)), where.slot}};
}

}  // namespace gwp
