// The preview renderer's own parts, without either host: geometry, lights,
// material inputs, the command line, image output and the tiled renderer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>

#ifdef GLINTWEAVE_PREVIEW_EXR
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#endif

#include "accel.h"
#include "cli.h"
#include "image_io.h"
#include "mesh.h"
#include "label.h"
#include "material.h"
#include "orbit.h"
#include "plan.h"
#include "sheet.h"
#include "render.h"
#include "scene.h"
#include "test_util.h"
#include "view_transform.h"

namespace gwp {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// ---- geometry and lights ----------------------------------------------------

TEST(Scene, SphereHitsFaceTheRayFromOutsideAndInside) {
  Scene scene;
  scene.spheres = {{{0, 0, -5}, 1.0f, kHeroSlot}};
  const auto outside = scene.intersect({{0, 0, 0}, {0, 0, -1}}, 0.0f, kInf);
  ASSERT_TRUE(outside);
  EXPECT_FLOAT_EQ(outside->t, 4.0f);
  EXPECT_FLOAT_EQ(outside->normal.z, 1.0f);
  EXPECT_FALSE(outside->backFacing);

  // A reflection ray that leaves a sphere into it meets the far side from
  // within; both hosts expect the normal turned towards the ray.
  const auto inside = scene.intersect({{0, 0, -5}, {1, 0, 0}}, kRayEpsilon, kInf);
  ASSERT_TRUE(inside);
  EXPECT_FLOAT_EQ(inside->normal.x, -1.0f);
  EXPECT_TRUE(inside->backFacing);
}

TEST(Scene, GroundIsHitFromAboveAndMissedByParallelRays) {
  Scene scene;
  scene.ground = GroundPlane{-1.0f, kFloorSlot};
  const auto hit = scene.intersect({{0, 0, 0}, normalized({0, -1, -1})}, 0.0f, kInf);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->slot, kFloorSlot);
  EXPECT_FLOAT_EQ(hit->point.y, -1.0f);
  EXPECT_FLOAT_EQ(hit->normal.y, 1.0f);
  EXPECT_FALSE(scene.intersect({{0, 0, 0}, {0, 0, -1}}, 0.0f, kInf));
}

TEST(Scene, ShadowRaysSeeBlockersButNotTheirOwnSurface) {
  const Scene scene = defaultScene();
  const Vec3 floorPoint{0.0f, -1.0f, -2.0f};
  EXPECT_FALSE(scene.occluded(floorPoint, scene.lights[0].position));
  // Straight under the big sphere the key light is blocked.
  EXPECT_TRUE(scene.occluded({0.0f, -1.0f, -5.4f}, {0.0f, 5.0f, -5.4f}));
  // A point on a sphere's lit side does not shadow itself.
  const Sphere& s = scene.spheres[0];
  const Vec3 top = s.centre + Vec3{0, s.radius, 0};
  EXPECT_FALSE(scene.occluded(top, top + Vec3{0, 3, 0}));
}

// Which of its scene's surfaces a hit is on: a sphere's index, or -1.
long surfaceOf(const Scene& scene, const Hit& hit) {
  for (size_t i = 0; i < scene.spheres.size(); ++i) {
    if (hit.object == &scene.spheres[i]) return static_cast<long>(i);
  }
  return scene.ground && hit.object == &*scene.ground ? -1 : -2;
}

// Two hits of two copies of a scene: the same surface, the same bits.
bool sameBits(const Scene& sa, const std::optional<Hit>& a, const Scene& sb,
              const std::optional<Hit>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  return std::memcmp(&a->t, &b->t, sizeof a->t) == 0 &&
         std::memcmp(&a->point, &b->point, sizeof a->point) == 0 &&
         std::memcmp(&a->normal, &b->normal, sizeof a->normal) == 0 &&
         a->backFacing == b->backFacing && surfaceOf(sa, *a) == surfaceOf(sb, *b) &&
         surfaceOf(sa, *a) != -2 && a->slot == b->slot;
}

// The Embree scene finds, for spheres and the ground, the very hits (bit
// for bit) and shadows that testing them one by one finds: camera rays,
// rays leaving surfaces in every direction (from within spheres too), and
// shadow rays to the lights.
TEST(Scene, TheRayTracersSceneHitsWhatTestingEachSurfaceHits) {
  for (Scene plain : {defaultScene(), sweepCellScene()}) {
    Scene traced = plain;
    std::string error;
    ASSERT_TRUE(traced.commit(error)) << error;
    ASSERT_TRUE(traced.accel);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    const ImageRays camera = plain.camera.imageRays(64, 48);
    int hits = 0;
    for (int i = 0; i < 4000; ++i) {
      const Ray primary = camera.ray(32.0f + 32.0f * u(rng), 24.0f + 24.0f * u(rng));
      const auto a = plain.intersect(primary, 0.0f, kInf);
      ASSERT_TRUE(sameBits(plain, a, traced, traced.intersect(primary, 0.0f, kInf))) << i;
      if (!a) continue;
      ++hits;
      // Onward from the hit (the point as the hosts hand it on).
      const Ray onward{a->point, normalized({u(rng), u(rng), u(rng)})};
      const auto b = plain.intersect(onward, kRayEpsilon, kInf);
      ASSERT_TRUE(sameBits(plain, b, traced, traced.intersect(onward, kRayEpsilon, kInf))) << i;
      for (const Light& light : plain.lights) {
        const Vec3 target = lightSamplePosition(light, a->point, i % light.sampleCount());
        ASSERT_EQ(plain.occluded(a->point, target), traced.occluded(a->point, target)) << i;
      }
      ASSERT_EQ(plain.occludedToward(a->point, onward.dir),
                traced.occludedToward(a->point, onward.dir))
          << i;
    }
    EXPECT_GT(hits, 1000);
  }
}

// A mesh sphere from the built-in shapes, placed where the default scene's
// spheres were, committed.
Scene meshSphereScene() {
  Scene scene = defaultScene();
  placeModel(scene, gwst::makeShape(gwst::Shape::kSphere));
  std::string error;
  EXPECT_TRUE(scene.commit(error)) << error;
  return scene;
}

TEST(Scene, MeshHitsInterpolateNormalsAndJudgeFacingByTheTriangle) {
  const Scene scene = meshSphereScene();
  ASSERT_TRUE(scene.spheres.empty());
  ASSERT_EQ(scene.meshes.size(), 1u);
  const gwst::TriangleMesh& m = *scene.meshes[0].mesh;
  // The sphere's centre: the middle of its bounding box.
  Vec3 lo{kInf, kInf, kInf}, hi{-kInf, -kInf, -kInf};
  for (size_t i = 0; i < m.positions.size(); i += 3) {
    lo = {std::min(lo.x, m.positions[i]), std::min(lo.y, m.positions[i + 1]),
          std::min(lo.z, m.positions[i + 2])};
    hi = {std::max(hi.x, m.positions[i]), std::max(hi.y, m.positions[i + 1]),
          std::max(hi.z, m.positions[i + 2])};
  }
  EXPECT_FLOAT_EQ(lo.y, scene.ground->height);  // standing on the ground
  const Vec3 centre = (lo + hi) * 0.5f;
  const float radius = 0.5f * (hi.y - lo.y);

  // From the camera: the smooth normal, close to the true sphere's (the
  // facets' normals differ from it by up to half a facet's angle).
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int i = 0; i < 200; ++i) {
    const Vec3 aim = centre + Vec3{u(rng), u(rng), u(rng)} * (0.5f * radius);
    const Ray ray{scene.camera.position, normalized(aim - scene.camera.position)};
    const auto hit = scene.intersect(ray, 0.0f, kInf);
    ASSERT_TRUE(hit) << i;
    EXPECT_EQ(hit->object, &scene.meshes[0]);
    EXPECT_EQ(hit->slot, kHeroSlot);
    EXPECT_FALSE(hit->backFacing);
    EXPECT_NEAR(length(hit->normal), 1.0f, 1e-5f);
    EXPECT_GT(dot(hit->normal, normalized(hit->point - centre)), 0.9999f) << i;
    EXPECT_LT(dot(hit->normal, ray.dir), 0.0f);
    // On the facet, which lies inside the true sphere by very little.
    EXPECT_NEAR(length(hit->point - centre), radius, 1e-3f * radius);
    EXPECT_LT(std::fabs(dot(hit->point - ray.origin, ray.dir) - hit->t), 1e-3f);
  }
  // From within: back-facing, the normal turned towards the ray.
  const auto inside = scene.intersect({centre, {1, 0, 0}}, kRayEpsilon, kInf);
  ASSERT_TRUE(inside);
  EXPECT_TRUE(inside->backFacing);
  EXPECT_LT(inside->normal.x, -0.999f);
}

// No ray that leaves a convex mesh outward meets it again, however close to
// grazing, and a ray sent on through the surface meets the far side, not
// the triangle it left: the ray tracer skips the triangle a ray leaves.
TEST(Scene, RaysLeavingAMeshDoNotFindTheTriangleTheyLeave) {
  const Scene scene = meshSphereScene();
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  int grazing = 0;
  for (int i = 0; i < 3000; ++i) {
    const Vec3 aim{0.8f * u(rng), -0.2f + 0.8f * u(rng), -5.4f};
    const Ray ray{scene.camera.position, normalized(aim - scene.camera.position)};
    const auto hit = scene.intersect(ray, 0.0f, kInf);
    if (!hit || hit->object != &scene.meshes[0]) continue;
    // Directions just above the tangent plane of the interpolated normal
    // (down to 1e-4 rad), whose tangent part points anywhere: that a few
    // dip under a facet is the point of the test. Leaving with tMin 0
    // and through shadow rays both count.
    const Vec3 n = hit->normal;
    const Vec3 t = normalized(cross(std::fabs(n.x) < 0.9f ? Vec3{1, 0, 0} : Vec3{0, 1, 0}, n));
    const Vec3 b = cross(n, t);
    const float phi = 3.14159265f * u(rng);
    const float lift = std::pow(10.0f, -4.0f + 2.0f * (u(rng) + 1.0f));
    const Vec3 out = normalized(t * std::cos(phi) + b * std::sin(phi) + n * lift);
    if (dot(out, n) < 0.01f) ++grazing;
    const auto again = scene.intersect({hit->point, out}, 0.0f, kInf);
    if (again && again->object == &scene.meshes[0]) {
      // Only a neighbouring facet that the ray dips under, and only at once.
      EXPECT_LT(again->t, 0.05f) << i;
    }
    // Nor does a shadow ray to a light above a point that faces up.
    if (hit->normal.y > 0.2f) {
      EXPECT_FALSE(scene.occluded(hit->point, hit->point + Vec3{0, 50, 0})) << i;
    }
    // Through the surface: the far side, from within (grazing rays near
    // the outline have a short way across).
    const auto through = scene.intersect({hit->point, ray.dir}, kRayEpsilon, kInf);
    ASSERT_TRUE(through) << i;
    EXPECT_TRUE(through->backFacing) << i;
  }
  EXPECT_GT(grazing, 100);
}

// What the ray tracer holds for a mesh is a small multiple of the mesh's
// own arrays (counted by its allocation monitor, not timed or sampled).
TEST(Scene, MemoryForAMeshIsASmallMultipleOfItsTriangles) {
  Scene scene = defaultScene();
  gwst::TriangleMesh mesh = gwst::makeShape(gwst::Shape::kShaderBall);
  const size_t data = mesh.dataBytes();
  placeModel(scene, std::move(mesh));
  std::string error;
  ASSERT_TRUE(scene.commit(error)) << error;
  ASSERT_GT(scene.accel->bytes(), 0u);
  EXPECT_LT(data + scene.accel->bytes(), 4 * data)
      << "mesh " << data << " bytes, ray tracer " << scene.accel->bytes() << " bytes";
}

TEST(Scene, AreaLightSamplesStayInTheirCellsAndRepeatPerPoint) {
  const Scene scene = defaultScene();
  const Light& key = scene.lights[0];
  ASSERT_EQ(key.kind, Light::Kind::kArea);
  const Vec3 p{0.3f, -1.0f, -3.0f};
  const float cellU = length(key.edgeU) / static_cast<float>(key.samplesU);
  for (int i = 0; i < key.sampleCount(); ++i) {
    const Vec3 s = lightSamplePosition(key, p, i);
    const Vec3 local = s - key.position + key.edgeU * 0.5f + key.edgeV * 0.5f;
    const float u = dot(local, normalized(key.edgeU));
    EXPECT_GE(u, static_cast<float>(i % key.samplesU) * cellU - 1e-5f) << i;
    EXPECT_LE(u, static_cast<float>(i % key.samplesU + 1) * cellU + 1e-5f) << i;
    EXPECT_FLOAT_EQ(s.y, key.position.y);
    const Vec3 again = lightSamplePosition(key, p, i);
    EXPECT_EQ(std::memcmp(&s, &again, sizeof s), 0);
  }
}

// The cell of a 4x4 grid over `light` that `p` lies in, or -1 off the light.
int cellOf(const Light& light, Vec3 p) {
  const Vec3 local = p - light.position + light.edgeU * 0.5f + light.edgeV * 0.5f;
  const float u = dot(local, light.edgeU) / dot(light.edgeU, light.edgeU);
  const float v = dot(local, light.edgeV) / dot(light.edgeV, light.edgeV);
  if (!(u >= 0.0f && u < 1.0f && v >= 0.0f && v < 1.0f)) return -1;
  return static_cast<int>(u * 4.0f) + 4 * static_cast<int>(v * 4.0f);
}

LightSampling perHit(int n) {
  LightSampling s;
  s.mode = LightSampling::Mode::kPerHit;
  s.perHit = n;
  return s;
}

LightSampling acrossPixel(int cameraHit, int reflectedHit) {
  LightSampling s;
  s.mode = LightSampling::Mode::kAcrossPixel;
  s.cameraHit = cameraHit;
  s.reflectedHit = reflectedHit;
  return s;
}

// ---- camera orbit and turntables ---------------------------------------------

// Wherever the camera is put, it looks at the object's centre from the asked
// distance, its axes are orthonormal and right-handed, and camera space and
// world space map into each other; the default orbit leaves it untouched.
TEST(Camera, OrbitsLookAtTheObjectFromTheirDistance) {
  const Scene base = defaultScene();
  const Vec3 centre = heroCentre(base);
  EXPECT_NEAR(centre.z, -5.175f, 1e-5f);  // the three spheres' bounds

  Scene same = base;
  orbitCamera(same, CameraOrbit{});
  EXPECT_FALSE(same.camera.turned);
  EXPECT_EQ(std::memcmp(&same.camera.position, &base.camera.position, sizeof(Vec3)), 0);

  const double defaultDistance = length(base.camera.position - centre);
  struct Case {
    double azimuth, elevation;
    std::optional<double> distance;
  };
  for (const Case& c : {Case{0, 0, 9.0}, Case{90, 0, {}}, Case{-135, 30, 4.0}, Case{180, -20, {}},
                        Case{45, 90, 6.0}, Case{360, -90, {}}}) {
    SCOPED_TRACE(::testing::Message() << c.azimuth << " " << c.elevation);
    Scene scene = base;
    orbitCamera(scene, CameraOrbit{c.azimuth, c.elevation, c.distance});
    const Camera& cam = scene.camera;
    EXPECT_NEAR(length(cam.position - centre), c.distance.value_or(defaultDistance), 1e-4);
    for (Vec3 axis : {cam.right, cam.up, cam.back}) EXPECT_NEAR(length(axis), 1.0f, 1e-6f);
    EXPECT_NEAR(dot(cam.right, cam.up), 0.0f, 1e-6f);
    EXPECT_NEAR(length(cross(cam.right, cam.up) - cam.back), 0.0f, 1e-6f);
    EXPECT_GE(cam.up.y, -1e-6f);  // never upside down
    // The image's centre looks at the object's centre.
    const Ray mid = cam.primaryRay(32.0f, 24.0f, 64, 48);
    const Vec3 toCentre = normalized(centre - cam.position);
    EXPECT_NEAR(dot(mid.dir, toCentre), 1.0f, 1e-6f);
    // The Maya side's camera space: the centre straight ahead, down -z.
    const Vec3 inCamera = cam.toCameraPoint(centre);
    EXPECT_NEAR(inCamera.x, 0.0f, 1e-4f);
    EXPECT_NEAR(inCamera.y, 0.0f, 1e-4f);
    EXPECT_LT(inCamera.z, 0.0f);
    const Vec3 p{0.3f, -1.2f, 2.5f};
    EXPECT_NEAR(length(cam.toWorldPoint(cam.toCameraPoint(p)) - p), 0.0f, 1e-5f);
    EXPECT_NEAR(length(cam.toWorldDir(cam.toCameraDir(mid.dir)) - mid.dir), 0.0f, 1e-6f);
  }
  // Positive azimuth moves the camera to its right; a turn ends where it began.
  Scene right = base, full = base;
  orbitCamera(right, CameraOrbit{10, 0, {}});
  EXPECT_GT(right.camera.position.x, 0.0f);
  orbitCamera(full, turntableOrbit(CameraOrbit{0, 20, {}}, 5, 4));  // 360 degrees
  Scene start = base;
  orbitCamera(start, CameraOrbit{0, 20, {}});
  EXPECT_NEAR(length(full.camera.position - start.camera.position), 0.0f, 1e-5f);
}

// A shape or a model orbited as the command line asks: the camera circles
// the shape itself (not the spheres it replaced), so the shape stays whole
// in view with its box's centre in the image's centre, and a shape that is
// round about the vertical axis spans the image's centre evenly left and right.
TEST(Camera, OrbitsOfAShapeKeepItCentredAndInView) {
  struct Case {
    const char* shape;
    const char* azimuth;
    const char* elevation;
    bool round;  // turned about the vertical axis, it looks the same
  };
  for (const Case& c : {Case{"torus", "90", "0", true}, Case{"cylinder", "-135", "30", true},
                        Case{"shaderball", "45", "60", false}, Case{"sphere", "180", "-20", true},
                        Case{"torus", "0", "0", true}}) {
    SCOPED_TRACE(::testing::Message() << c.shape << " " << c.azimuth << " " << c.elevation);
    Options options;
    std::string error;
    ASSERT_TRUE(parseOptions({"--shape", c.shape, "--camera-azimuth", c.azimuth,
                              "--camera-elevation", c.elevation},
                             options, error))
        << error;
    RenderJob job;
    ASSERT_TRUE(planRender(options, {}, job, error)) << error;
    ASSERT_EQ(job.scene.meshes.size(), 1u);
    const gwst::TriangleMesh& mesh = *job.scene.meshes[0].mesh;
    Vec3 lo{kInf, kInf, kInf}, hi{-kInf, -kInf, -kInf};
    for (size_t i = 0; i < mesh.positions.size(); i += 3) {
      const Vec3 p{mesh.positions[i], mesh.positions[i + 1], mesh.positions[i + 2]};
      lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
      hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
    }
    const Camera& cam = job.scene.camera;
    const ImageRays rays = cam.imageRays(job.cellWidth, job.cellHeight);
    const Ray mid = rays.ray(0.5f * rays.width, 0.5f * rays.height);
    EXPECT_NEAR(dot(mid.dir, normalized((lo + hi) * 0.5f - cam.position)), 1.0f, 1e-6f);
    // Every vertex in view: image coordinates within (-1, 1).
    float left = kInf, right = -kInf;
    for (size_t i = 0; i < mesh.positions.size(); i += 3) {
      const Vec3 q =
          cam.toCameraPoint({mesh.positions[i], mesh.positions[i + 1], mesh.positions[i + 2]});
      ASSERT_LT(q.z, 0.0f) << i;
      const float sx = q.x / -q.z / (rays.tanHalf * rays.aspect);
      const float sy = q.y / -q.z / rays.tanHalf;
      ASSERT_LT(std::fabs(sx), 0.9f) << i;
      ASSERT_LT(std::fabs(sy), 0.9f) << i;
      left = std::min(left, sx);
      right = std::max(right, sx);
    }
    // (the tessellation's segments make the outline uneven by far less)
    if (c.round) {
      EXPECT_NEAR(left + right, 0.0f, 0.01f) << left << " " << right;
    }
  }
}

TEST(Camera, FrameNamesFillTheRunOfHashes) {
  struct Case {
    const char* pattern;
    int frame;
    const char* name;  // nullptr: refused, `error` says why
    const char* error;
  };
  for (const Case& c : {
           Case{"turn.####.png", 7, "turn.0007.png", ""},
           Case{"out/t#.exr", 12, "out/t12.exr", ""},
           Case{"a##", 123, "a123", ""},  // wider than the run: written whole
           Case{"my#dir/turn.png", 1, nullptr, "needs a run of #"},
           Case{"turn.png", 1, nullptr, "needs a run of #"},
           Case{"t.##.#.png", 1, nullptr, "more than one run of #"},
       }) {
    SCOPED_TRACE(c.pattern);
    FramePattern pattern;
    std::string error;
    EXPECT_EQ(parseFramePattern(c.pattern, pattern, error), c.name != nullptr);
    if (c.name) {
      EXPECT_EQ(pattern.path(c.frame), c.name);
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

TEST(LightSampling, CountsFollowTheModeAndTheDepth) {
  const Scene scene = defaultScene();
  const Light& key = scene.lights[0];
  const Light& fill = scene.lights[1];
  struct Case {
    LightSampling sampling;
    int depth;
    int count;
  };
  const Case cases[] = {{perHit(16), 0, 16},       {perHit(16), 1, 16},
                        {perHit(3), 1, 3},         {acrossPixel(1, 1), 0, 1},
                        {acrossPixel(4, 2), 0, 4}, {acrossPixel(4, 2), 1, 2},
                        {LightSampling{}, 0, 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(lightSampleCount(c.sampling, key, c.depth), c.count) << c.depth;
    EXPECT_EQ(lightSampleCount(c.sampling, fill, c.depth), 1);  // a point light
  }
  // One sample per cell of the key light's grid reproduces the per-point
  // pattern of earlier versions exactly.
  const Vec3 p{0.3f, -1.0f, -3.0f};
  for (int i = 0; i < 16; ++i) {
    const Vec3 a = lightSamplePosition(perHit(16), key, 0, HitKey{}, p, i);
    const Vec3 b = lightSamplePosition(key, p, i);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << i;
  }
}

TEST(LightSampling, SamplesAreStratifiedWhereTheyMeetAndUniformOnTheirOwn) {
  // The samples that end up in one pixel cover the light's 4x4 cells one
  // each: the 16 of one hit, or, spread across the pixel, one per camera
  // sample over its first 16. Where a pixel may take only some of them (a
  // render of fewer camera samples), each also lies uniformly on the light
  // on its own, so that every sample count estimates the same integral.
  const Scene scene = defaultScene();
  const Light& key = scene.lights[0];
  const Vec3 p{0.3f, -1.0f, -3.0f};
  struct Case {
    const char* name;
    bool eachUniform;
    // The n-th of 16 samples that share one pixel and hit slot.
    std::function<Vec3(const HitKey& pixel, int n)> sample;
  };
  const auto pointOf = [](int x, int y) {
    return Vec3{0.01f * static_cast<float>(x), -1.0f, -3.0f - 0.01f * static_cast<float>(y)};
  };
  const std::vector<Case> cases = {
      {"one hit's 16 cells", false,
       [&](const HitKey& k, int n) {
         return lightSamplePosition(perHit(16), key, 0, k, pointOf(k.pixelX, k.pixelY), n);
       }},
      {"one hit's 16, stratified", false,
       [&](const HitKey& k, int n) {
         LightSampling s = perHit(16);
         Light finer = key;
         finer.samplesU = 8;  // a grid the count does not fill: the sequence places them
         return lightSamplePosition(s, finer, 0, k, pointOf(k.pixelX, k.pixelY), n);
       }},
      {"16 camera samples, one each", true,
       [&](const HitKey& k, int n) {
         HitKey at = k;
         at.sample = n;
         return lightSamplePosition(acrossPixel(1, 1), key, 0, at, p, 0);
       }},
      {"8 camera samples, two each", true,
       [&](const HitKey& k, int n) {
         HitKey at = k;
         at.sample = n / 2;
         return lightSamplePosition(acrossPixel(2, 1), key, 0, at, p, n % 2);
       }},
      {"16 reflected hits of one slot", true,
       [&](const HitKey& k, int n) {
         HitKey at = k;
         at.sample = n;
         at.slot = 3;
         at.depth = 1;
         return lightSamplePosition(acrossPixel(2, 1), key, 0, at, p, 0);
       }},
  };
  for (const Case& c : cases) {
    std::array<int, 16> firstSample{};
    for (int px = 0; px < 256; ++px) {
      const HitKey pixel{px % 16, px / 16, 0, 0, 0};
      std::array<int, 16> cells{};
      for (int n = 0; n < 16; ++n) {
        const int cell = cellOf(key, c.sample(pixel, n));
        ASSERT_GE(cell, 0) << c.name << ": off the light";
        ++cells[static_cast<size_t>(cell)];
        if (n == 0) ++firstSample[static_cast<size_t>(cell)];
      }
      EXPECT_EQ(cells, (std::array<int, 16>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}))
          << c.name << ", pixel " << px;
    }
    if (!c.eachUniform) continue;
    // The first sample of 256 pixels, on its own: uniform over the cells
    // (chi-square with 15 degrees of freedom; 37.7 is its 0.1 % quantile).
    double chi2 = 0.0;
    for (int n : firstSample) chi2 += (n - 16.0) * (n - 16.0) / 16.0;
    EXPECT_LT(chi2, 37.7) << c.name;
  }
}

// The studio environment as first written: every softbox weighed with both
// arc tangents, whatever the direction.
Rgb weighEverySoftbox(const Environment& env, Vec3 dir) {
  Rgb base;
  if (dir.y < 0.0f) {
    base = env.below;
  } else {
    const float s = std::sqrt(std::min(dir.y, 1.0f));
    base = env.horizon * (1.0f - s) + env.zenith * s;
  }
  const auto edge = [](float inside) {
    const float t = std::clamp(inside / 0.02f, 0.0f, 1.0f);
    return t * t * (3.0f - 2.0f * t);
  };
  for (const Softbox& box : env.softboxes) {
    const float facing = dot(dir, box.centre);
    if (facing <= 0.0f) continue;
    const Vec3 across = cross(box.centre, box.longAxis);
    const float along = std::atan2(std::fabs(dot(dir, box.longAxis)), facing);
    const float side = std::atan2(std::fabs(dot(dir, across)), facing);
    base += box.radiance * (edge(box.halfLength - along) * edge(box.halfWidth - side));
  }
  return base;
}

TEST(Scene, EnvironmentSkipsOnlySoftboxesThatAddNothing) {
  // Directions far from a softbox skip its arc tangents; the radiance must
  // come out bit for bit as when every box is weighed, at the edges too.
  const Environment env = defaultScene().environment;
  std::mt19937 rng(7);
  std::normal_distribution<float> g;
  int lit = 0;
  for (int i = 0; i < 20000; ++i) {
    Vec3 d = normalized({g(rng), g(rng), g(rng)});
    if (i % 2) {
      // Around a softbox, out to a little beyond its edges.
      const Softbox& box = env.softboxes[static_cast<size_t>(i / 2) % env.softboxes.size()];
      const Vec3 across = cross(box.centre, box.longAxis);
      const float a = (static_cast<float>(i % 97) / 48.0f - 1.0f) * 1.1f * box.halfLength;
      const float b = (static_cast<float>(i % 89) / 44.0f - 1.0f) * 1.1f * box.halfWidth;
      d = normalized(box.centre + box.longAxis * std::tan(a) + across * std::tan(b));
    }
    const Rgb got = env.radiance(d);
    const Rgb want = weighEverySoftbox(env, d);
    ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << d.x << " " << d.y << " " << d.z;
    lit += got.y > 0.5f;
  }
  EXPECT_GT(lit, 1000);  // the boxes were really visited
}

TEST(Scene, EnvironmentIsFiniteEverywhereAndBrightInTheSoftboxes) {
  const Scene scene = defaultScene();
  const Environment& env = scene.environment;
  for (const Vec3 d : {Vec3{0, 1, 0}, Vec3{0, -1, 0}, Vec3{1, 0, 0}, Vec3{0, 0, 1}}) {
    EXPECT_TRUE(isFinite(env.radiance(d)));
  }
  for (const Softbox& box : env.softboxes) {
    EXPECT_GT(env.radiance(box.centre).y, 10.0f * env.radiance({0, 0, -1}).y);
  }
}

// The irradiance the mental ray host hands the shader: pi L under a uniform
// radiance L, and under a sky (radiance 1 above the horizon, 0 below) the
// known pi (1 + cos t) / 2 for a normal tilted by t, which the average over
// neighbouring pixels, or over one pixel's camera samples, must approach. The
// same directions at every point would repeat one biased estimate (up to 8%
// of pi off at these tilts, drawn as bands); a fixed key repeats bit for bit.
TEST(Scene, IrradianceIsNoiseConvergingToTheIntegral) {
  constexpr float kPi = 3.14159265f;
  constexpr int kRays = 16;
  Scene uniform;
  uniform.environment = Environment{{0.5f, 0.25f, 1.0f}, {0.5f, 0.25f, 1.0f}, {0.5f, 0.25f, 1.0f},
                                    {}, {}};
  const Rgb e = environmentIrradiance(uniform, {}, normalized({0.3f, -0.2f, 0.9f}), {}, kRays);
  EXPECT_NEAR(e.x, kPi * 0.5f, 1e-5f);
  EXPECT_NEAR(e.z, kPi * 1.0f, 1e-5f);

  Scene sky;
  sky.environment = Environment{{1, 1, 1}, {1, 1, 1}, {0, 0, 0}, {}, {}};
  for (const int degrees : {15, 45, 60, 75, 120, 135}) {
    const float t = static_cast<float>(degrees) * kPi / 180.0f;
    for (const Vec3 n : {Vec3{std::sin(t), std::cos(t), 0}, Vec3{0, std::cos(t), std::sin(t)}}) {
      const float want = kPi * (1.0f + std::cos(t)) / 2.0f;
      double overPixels = 0.0, overSamples = 0.0;
      for (int i = 0; i < 256; ++i) {
        overPixels += environmentIrradiance(sky, {}, n, HitKey{i % 16, i / 16, 0, 0, 0}, kRays).y;
        overSamples += environmentIrradiance(sky, {}, n, HitKey{3, 5, i, 0, 0}, kRays).y;
      }
      // 4096 stratified directions: well within 1.5% of pi of the integral.
      EXPECT_NEAR(overPixels / 256.0, want, 0.015 * kPi) << degrees << " degrees";
      EXPECT_NEAR(overSamples / 256.0, want, 0.015 * kPi) << degrees << " degrees";
    }
  }
  const Vec3 n = normalized({0.8f, 0.5f, 0.0f});
  const HitKey key{4, 2, 1, 0, 0};
  const Rgb a = environmentIrradiance(sky, {}, n, key, kRays);
  const Rgb again = environmentIrradiance(sky, {}, n, key, kRays);
  EXPECT_EQ(std::memcmp(&a, &again, sizeof a), 0);
  int differ = 0;
  for (int x = 0; x < 8; ++x) {
    differ += environmentIrradiance(sky, {}, n, HitKey{x, 2, 1, 0, 0}, kRays).y != a.y;
  }
  EXPECT_GE(differ, 4);  // neighbouring pixels draw other directions
  // Blocked directions add nothing: a ground plane just below the point
  // hides the sky's lower half from a normal along the horizon.
  Scene floor = sky;
  floor.environment.below = {1, 1, 1};
  floor.ground = GroundPlane{-0.01f, kFloorSlot};
  double blocked = 0.0;
  for (int i = 0; i < 256; ++i) {
    blocked += environmentIrradiance(floor, {}, {1, 0, 0}, HitKey{i % 16, i / 16, 0, 0, 0}, kRays).y;
  }
  EXPECT_NEAR(blocked / 256.0, kPi / 2.0, 0.015 * kPi);
}

// ---- material inputs -----------------------------------------------------------

TEST(Material, ValuesParseByKindAndRejectWhatTheHostCannotTake) {
  const auto schema = test::builtSchema();
  ASSERT_TRUE(schema);
  auto id = [&](const char* name) {
    const int i = schema->find(name);
    EXPECT_GE(i, 0) << name;
    return static_cast<size_t>(i);
  };
  Value v{};
  std::string why;
  ASSERT_TRUE(parseValue(*schema, id("color"), "0.25", v, why));
  EXPECT_EQ(v, (Value{0.25, 0.25, 0.25}));
  ASSERT_TRUE(parseValue(*schema, id("color"), "1,0.5:0", v, why));
  EXPECT_EQ(v, (Value{1.0, 0.5, 0.0}));
  ASSERT_TRUE(parseValue(*schema, id("indirect"), "on", v, why));
  EXPECT_EQ(v[0], 1.0);
  ASSERT_TRUE(parseValue(*schema, id("reflectSamples"), "12", v, why));
  EXPECT_EQ(v[0], 12.0);
  // Beyond a soft maximum is allowed (it is a slider range only), and a float
  // is stored as the hosts store it.
  ASSERT_TRUE(parseValue(*schema, id("specularU"), "20000.1", v, why));
  EXPECT_EQ(v[0], static_cast<double>(20000.1f));
  ASSERT_TRUE(parseValue(*schema, id("normalOffset"), "-1,0,2.5", v, why));

  const std::pair<const char*, const char*> bad[] = {
      {"diffuse", "abc"},        {"diffuse", ""},           {"diffuse", " 1"},
      {"diffuse", "nan"},        {"diffuse", "inf"},        {"diffuse", "1e40"},
      {"diffuse", "0x10"},       {"specularU", "-1"},       {"color", "1,2"},
      {"normalOffset", "1"},     {"reflectSamples", "0"},   {"reflectSamples", "2.5"},
      {"transparency", "-0.5"},  {"indirect", "maybe"},     {"color", "1,,1"},
      {"reflectSamples", "3000000000"},                     {"indirectIntensity", "-1"},
  };
  for (const auto& [name, text] : bad) {
    why.clear();
    EXPECT_FALSE(parseValue(*schema, id(name), text, v, why)) << name << "=" << text;
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(why.find('\n'), std::string::npos);
  }
}

TEST(Material, SettingsNameTheInputAndEveryPresetApplies) {
  Material m = test::defaultMaterial();
  ASSERT_TRUE(m.bound());
  std::string error;
  EXPECT_FALSE(applySetting(m, "shininess=3", error));
  EXPECT_EQ(error, "unknown material input 'shininess' (see --list)");
  // A misspelt name gets the nearest real one, whatever the case or a
  // swapped pair of letters; a name far from every input gets none.
  const std::pair<const char*, const char*> near[] = {{"specularu", "specularU"},
                                                      {"SPECULARV", "specularV"},
                                                      {"difuse", "diffuse"},
                                                      {"reflectSmaples", "reflectSamples"},
                                                      {"colour", "color"},
                                                      {"xyz", ""},
                                                      {"specularPowerful", "specularPower"},
                                                      {"glossiness", ""}};
  for (const auto& [typed, meant] : near) {
    EXPECT_FALSE(setValue(m, typed, "1", error));
    const std::string hint = *meant ? std::string("did you mean ") + meant + "?" : "did you mean";
    EXPECT_EQ(error.find(hint) != std::string::npos, *meant != '\0') << typed << ": " << error;
  }
  EXPECT_FALSE(applySetting(m, "specularU", error));
  EXPECT_NE(error.find("name=value"), std::string::npos);
  EXPECT_FALSE(applySetting(m, "specularU=-3", error));
  EXPECT_NE(error.find("specularU: -3 is out of range"), std::string::npos);
  ASSERT_TRUE(applySetting(m, "specularU=200", error));
  EXPECT_EQ(m.scalar("specularU"), 200.0f);

  for (const Preset& p : presets()) {
    Material pm = test::defaultMaterial();
    EXPECT_TRUE(applyPreset(pm, p, error)) << p.name << ": " << error;
  }
  EXPECT_NE(findPreset(kDefaultPreset), nullptr);
}

TEST(Material, FloatsPrintInTheFewestDigitsThatReadBackExactly) {
  for (float f : {0.8f, 0.1f, 1e20f, -0.0f, 3.4028235e38f, 1.17549435e-38f, 16777217.0f, 0.3f}) {
    const std::string text = gws::formatFloat(f);
    double back = 0.0;
    ASSERT_TRUE(gws::parseNumber(text, back)) << text;
    EXPECT_EQ(static_cast<float>(back), f) << text;
    EXPECT_EQ(std::signbit(static_cast<float>(back)), std::signbit(f)) << text;
  }
  EXPECT_EQ(gws::formatFloat(0.8f), "0.8");
  // A value typed or read as -0 is kept as 0, so it never prints as -0.
  Material m = test::defaultMaterial();
  std::string error;
  ASSERT_TRUE(applySetting(m, "normalOffset=-0,0,-0.0", error)) << error;
  EXPECT_EQ(formatValue(ValueKind::kVector, m.at("normalOffset")), "0,0,0");
  EXPECT_FALSE(std::signbit(gws::storedValue(ValueKind::kFloat, -0.0)));
  EXPECT_EQ(formatValue(ValueKind::kColor, Value{0.5, 0.25, 1}), "0.5,0.25,1");
}

// ---- command line ---------------------------------------------------------------

struct BadInput {
  std::vector<std::string> args;
  const char* message;
  // Written to DIR/env.hdr before the run, when given.
  std::optional<std::string> envBytes = std::nullopt;
};

// A Radiance image's header, and `pixels` flat RGBE pixels of mid grey.
std::string radiance(int width, int height, int pixels) {
  std::string bytes = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(height) +
                      " +X " + std::to_string(width) + "\n";
  for (int i = 0; i < pixels; ++i) bytes += "\x80\x80\x80\x80";
  return bytes;
}

void PrintTo(const BadInput& b, std::ostream* os) {
  for (const std::string& a : b.args) *os << a << ' ';
}

class CommandLineErrors : public ::testing::TestWithParam<BadInput> {};

// Bad model files for --mesh, made once: the table names them MODELS/NAME.
std::string badModelsDir() {
  static const std::string dir = [] {
    const std::string d = test::makeTempDir();
    const auto put = [&](const char* name, const std::string& bytes) {
      std::ofstream(d + "/" + name, std::ios::binary) << bytes;
    };
    put("empty.obj", "");
    put("points.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\np 1 2 3\n");
    put("lines.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nl 1 2 3\n");
    put("huge.obj", "v 0 0 0\nv 1 0 0\nv 0 1e39 0\nf 1 2 3\n");
    put("noise.glb", std::string("glTF\x02\0\0\0\xff\xff\xff\x7f noise", 17));
    put("cut.gltf", "{\"asset\":{\"version\":\"2.0\"},\"meshes\":[{\"primitives\":[{");
    put("model.txt", "v 0 0 0\n");
    std::filesystem::create_directory(d + "/folder.obj");
    ::mkfifo((d + "/pipe.stl").c_str(), 0600);  // would block a reader that opened it
    return d;
  }();
  return dir;
}

// Every one of these fails before anything is loaded or rendered, with one
// line and status 2, and leaves no file behind.
TEST_P(CommandLineErrors, OneLineAndStatusTwoAndNoFile) {
  const std::string dir = test::makeTempDir();
  std::vector<std::string> args{"-o", dir + "/out.png"};
  for (std::string a : GetParam().args) {
    if (a.rfind("DIR/", 0) == 0) a = dir + a.substr(3);  // a file beside the image
    if (a == "DIR") a = dir;
    if (a.rfind("MODELS/", 0) == 0) a = badModelsDir() + a.substr(6);
    args.push_back(a);
  }
  if (GetParam().envBytes) std::ofstream(dir + "/env.hdr", std::ios::binary) << *GetParam().envBytes;
  const test::RunResult r = test::runTool(args);
  EXPECT_EQ(r.status, kExitError);
  EXPECT_EQ(r.err.rfind("glintweave-preview: error: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(test::listDir(dir),
            GetParam().envBytes ? std::vector<std::string>{"env.hdr"} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Preview, CommandLineErrors,
    ::testing::Values(
        BadInput{{"--size", "4x4"}, "--size width 4 is out of range [8, 8192]"},
        BadInput{{"--size", "64"}, "expected WIDTHxHEIGHT"},
        BadInput{{"--size", "64x9999"}, "--size height 9999 is out of range"},
        BadInput{{"--spp", "0"}, "--spp 0 is out of range [1, 4096]"},
        BadInput{{"--spp", "many"}, "--spp: 'many' is not an integer"},
        BadInput{{"--spp", "99999999999999999999"},
                 "--spp: '99999999999999999999' is not an integer"},
        BadInput{{"--threads", "0"}, "--threads 0 is out of range"},
        BadInput{{"--host", "renderman"}, "unknown host 'renderman'"},
        BadInput{{"--preset", "velvet"}, "unknown preset 'velvet'"},
        BadInput{{"--set", "shininess=2"}, "unknown material input 'shininess'"},
        BadInput{{"--set", "specularU=fast"}, "specularU: 'fast' is not a finite number"},
        BadInput{{"--set", "reflectSamples=0"}, "reflectSamples: 0 is out of range"},
        BadInput{{"--host", "maya", "--set", "normalOffset=0,0,1"},
                 "normalOffset is not an input of maya"},
        BadInput{{"--host", "mentalray", "--sweep", "transparency=0,1"},
                 "transparency is not an input of mentalray"},
        BadInput{{"--sweep", "specularU=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17"},
                 "at most 16 values"},
        BadInput{{"--sweep", "specularU=1", "--sweep", "specularV=1", "--sweep", "diffuse=1"},
                 "at most two parameters"},
        BadInput{{"--sweep", "specularU=1,2", "--sweep", "specularU=3"}, "name the same input"},
        BadInput{{"--sweep", "specularU=1,x"}, "'x' is not a finite number"},
        BadInput{{"--frobnicate"}, "unknown option '--frobnicate'"},
        BadInput{{"stray"}, "unexpected argument 'stray'"},
        BadInput{{"--set", "specularu=5"}, "did you mean specularU?"},
        BadInput{{"--sweep", "Diffuse=0,1"}, "--sweep: unknown material input 'Diffuse' (did you mean diffuse?"},
        BadInput{{"--sweep", "color=1,0 0,0,1"}, "--sweep color: '1,0' needs three components"},
        BadInput{{"--scene", "shot.ma", "--set", "nosuch=1"}, "unknown material input 'nosuch'"},
        BadInput{{"--material", "satin"}, "--material picks a material of a --scene file"},
        BadInput{{"-o", "-", "--export-mi", "-"}, "only one of -o, --export-ma and --export-mi"},
        BadInput{{"--format", "gif"}, "--format: unknown image format 'gif' (use png or exr)"},
        BadInput{{"-o", "DIR/x.png", "--format", "exr"}, "--format exr does not go with -o"},
        BadInput{{"--scene", "shot.mi", "--sweep", "diffuse=1,2"},
                 "--sweep does not go with --scene"},
        BadInput{{"--scene", "shot.mi", "--name", "a b"}, "--name: 'a b' cannot name a node"},
        BadInput{{"--export-ma", "a.ma", "--name", "9lives"}, "--name: '9lives' cannot name a node"},
        BadInput{{"--export-ma", "/nonexistent-dir/a.ma"}, "cannot write to /nonexistent-dir"},
        BadInput{{"--export-mi", "/"}, "names a directory"},
        BadInput{{"--set", "transparency=-0.5"}, "transparency: -0.5 is out of range"},
        BadInput{{"--spp"}, "--spp needs a value"},
        BadInput{{"--light-samples", "0"}, "--light-samples 0 is out of range [1, 256]"},
        BadInput{{"--light-samples", "some"}, "--light-samples: 'some' is not an integer"},
        BadInput{{"--adaptive-threshold", "-1"}, "--adaptive-threshold -1 is out of range"},
        BadInput{{"--adaptive-threshold", "nan"}, "--adaptive-threshold"},
        BadInput{{"--adaptive-min-spp", "1"}, "--adaptive-min-spp 1 is out of range [2, 4096]"},
        BadInput{{"--sweep", "specularU=1,2", "--size", "8192x8"}, "would be larger than"},
        BadInput{{"--export-ma", "DIR/a.ma", "--sweep", "specularU=1,2", "--size", "8192x8"},
                 "would be larger than"},
        // Environments: the image is read after the options, before anything is rendered.
        BadInput{{"--env", "DIR/none.exr"}, "none.exr: cannot open: No such file"},
        BadInput{{"--env", "DIR"}, ": is a folder, not an image file"},
        BadInput{{"--env", "DIR/env.hdr"}, "env.hdr: is empty", ""},
        BadInput{{"--env", "DIR/env.hdr"}, "env.hdr: is truncated", radiance(8, 4, 5)},
        BadInput{{"--env", "DIR/env.hdr"}, "env.hdr: is neither an OpenEXR nor a Radiance",
                 "P3\n1 1\n255\n0 0 0\n"},
        BadInput{{"--env", "DIR/env.hdr"}, "env.hdr: is 3 x 3; a latitude-longitude",
                 radiance(3, 3, 9)},
        BadInput{{"--env", "studio", "--env-rotate", "nan"}, "--env-rotate: 'nan' is not a finite"},
        BadInput{{"--env", "studio", "--env-rotate", "1e9"}, "--env-rotate 1e9 is out of range"},
        BadInput{{"--env", "studio", "--env-intensity", "-1"},
                 "--env-intensity -1 is out of range [0, 1e+06]"},
        BadInput{{"--env-intensity", "2"}, "the softbox studio is fixed"},
        BadInput{{"--env", "softbox", "--env-rotate", "90"}, "the softbox studio is fixed"},
        BadInput{{"--camera-elevation", "91"}, "--camera-elevation 91 is out of range [-90, 90]"},
        BadInput{{"--camera-azimuth", "nan"}, "--camera-azimuth: 'nan' is not a finite number"},
        BadInput{{"--camera-distance", "0"}, "--camera-distance 0 is out of range [0.1, 1000]"},
        BadInput{{"--turntable", "0"}, "--turntable 0 is out of range [1, 10000]"},
        BadInput{{"--turntable", "4"}, "needs a run of # for the frame number"},
        BadInput{{"--turntable", "4", "-o", "DIR/t.#.#.png"}, "more than one run of #"},
        BadInput{{"--frame", "2"}, "--frame needs --turntable N"},
        BadInput{{"--turntable-sheet", "DIR/s.png"}, "--turntable-sheet needs --turntable N"},
        BadInput{{"--turntable", "3", "--frame", "4", "-o", "DIR/t.#.png"},
                 "--frame 4 is out of range [1, 3]"},
        BadInput{{"--turntable", "3", "--frame", "0", "-o", "DIR/t.#.png"},
                 "--frame 0 is out of range"},
        BadInput{{"--turntable", "2", "--frame", "1", "--turntable-sheet", "DIR/s.png", "-o",
                  "DIR/t.#.png"},
                 "does not go with --frame"},
        BadInput{{"--turntable", "2", "--export-ma", "DIR/a.ma", "-o", "DIR/t.#.png"},
                 "does not go with --turntable"},
        BadInput{{"--turntable", "4", "--size", "8x4100", "--turntable-sheet", "DIR/s.png", "-o",
                  "DIR/t.#.png"},
                 "a sheet of 4 frames would be larger than"},
        BadInput{{"--exposure", "31"}, "--exposure 31 is out of range [-30, 30]"},
        BadInput{{"--exposure", "+2stops"}, "--exposure: '+2stops' is not a finite number"},
        BadInput{{"--exposure", "1e39"}, "--exposure: '1e39' is not a finite number"},
        BadInput{{"--ocio", "DIR/none.ocio"}, "cannot read the OpenColorIO config"},
        BadInput{{"--ocio", "/dev/zero"}, "/dev/zero: not a regular file"},
        BadInput{{"--ocio", "/"}, "not a regular file"},
        BadInput{{"--shape", "cube"}, "--shape: unknown shape 'cube' (one of spheres, sphere,"},
        BadInput{{"--shape", "torus", "--mesh", "MODELS/lines.obj"},
                 "--shape and --mesh do not go together"},
        BadInput{{"--mesh", "MODELS/missing.stl"}, "missing.stl: No such file or directory"},
        BadInput{{"--mesh", "MODELS/empty.obj"}, "empty.obj: is empty"},
        BadInput{{"--mesh", "MODELS/folder.obj"}, "folder.obj: is a folder"},
        BadInput{{"--mesh", "MODELS/pipe.stl"}, "pipe.stl: is not a regular file"},
        BadInput{{"--mesh", "/dev/null"}, "/dev/null: is not a regular file"},
        BadInput{{"--mesh", "MODELS/points.obj"}, "points.obj: it holds no triangles"},
        BadInput{{"--mesh", "MODELS/lines.obj"}, "lines.obj: it holds no triangles"},
        BadInput{{"--mesh", "MODELS/huge.obj"}, "huge.obj: it has non-finite vertex coordinates"},
        BadInput{{"--mesh", "MODELS/noise.glb"}, "noise.glb: cannot read the model"},
        BadInput{{"--mesh", "MODELS/cut.gltf"}, "cut.gltf: cannot read the model"},
        BadInput{{"--mesh", "MODELS/model.txt"}, "model.txt: not a model format read here"}));

TEST(CommandLine, HelpAndListDescribeEveryOptionInputAndPreset) {
  const test::RunResult help = test::runTool({"--help"});
  EXPECT_EQ(help.status, kExitOk);
  for (const char* opt : {"--host", "--size", "--spp", "--threads", "--preset", "--set", "--sweep",
                          "--output", "--list", "--point-lights", "--scene", "--export-ma",
                          "--export-mi", "--name", "--maya-plugin", "--mr-shader",
                          "--mr-renderer", "FILE:LINE:COL", "--light-samples", "--material",
                          "--format", "--quiet", "--version", "ETA", "--adaptive-threshold",
                          "--adaptive-min-spp"}) {
    EXPECT_NE(help.out.find(opt), std::string::npos) << opt;
  }
  const test::RunResult list = test::runTool({"--list"});
  EXPECT_EQ(list.status, kExitOk);
  for (const MaterialInput& in : test::builtSchema()->inputs()) {
    EXPECT_NE(list.out.find(in.name), std::string::npos) << in.name;
  }
  for (const Preset& p : presets()) EXPECT_NE(list.out.find(p.name), std::string::npos);

  // With a preset: that preset's values, and nothing of the whole table.
  const test::RunResult satin = test::runTool({"--list", "--preset", "satin"});
  EXPECT_EQ(satin.status, kExitOk);
  EXPECT_EQ(satin.out.rfind("Preset satin: ", 0), 0u) << satin.out;
  EXPECT_NE(satin.out.find("\n  specularV=90\n"), std::string::npos) << satin.out;
  EXPECT_EQ(satin.out.find("brushed-metal"), std::string::npos) << satin.out;

  // --version: the name and the one version both tools print, beside
  // anything else.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--version"}, {"--spp", "0", "--version"}}) {
    const test::RunResult version = test::runTool(args);
    EXPECT_EQ(version.status, kExitOk);
    EXPECT_EQ(version.out, std::string("glintweave-preview ") + gws::toolsVersion() + "\n");
    EXPECT_EQ(version.err, "");
  }
}

TEST(CommandLine, ProgressLineShowsTheTimeLeftOnceItCanBeTold) {
  struct Case {
    size_t done, total;
    double elapsed;
    const char* tail;  // what the line ends with
  };
  const Case cases[] = {
      {0, 10, 5.0, "]   0%"},                       // nothing done: no estimate yet
      {5, 10, 6.0, "]  50% ETA 6 s"},
      {3, 10, 1.0, "]  30% ETA 3 s"},                // 2.33 s left: rounded up
      {1, 100, 2.0, "]   1% ETA 3 min 18 s"},
      {1, 1000, 100.0, "]   0% ETA 27 h 45 min"},
      {10, 10, 9.0, "] 100%"},                       // done: nothing left to tell
      {12, 10, 9.0, "] 100%"},                       // more than the total counts as done
  };
  for (const Case& c : cases) {
    const std::string line = progressLine("rendering", c.done, c.total, c.elapsed);
    EXPECT_EQ(line.rfind("rendering [", 0), 0u) << line;
    EXPECT_EQ(line.substr(line.size() - std::strlen(c.tail)), c.tail)
        << c.done << "/" << c.total << ": " << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '#'),
              static_cast<long>(std::min(c.done, c.total) * 40 / c.total));
  }
}

TEST(CommandLine, PresetThenSettingsInOrderAndSweepCellSize) {
  Options o;
  std::string error;
  ASSERT_TRUE(parseOptions({"--set", "diffuse=0.3", "--preset", "plastic", "--set=diffuse=0.4",
                            "--sweep", "specularV=1,2,3"},
                           o, error))
      << error;
  EXPECT_EQ(o.material.scalar("diffuse"), 0.4f);  // --set wins over the preset
  EXPECT_EQ(o.material.scalar("specularU"), 150.0f);
  EXPECT_EQ(o.width, 128);
  EXPECT_EQ(o.sweeps.at(0).values.size(), 3u);
  EXPECT_EQ(o.output, "glintweave-sweep.png");
  EXPECT_EQ(o.lightSamples, 0);  // auto
  // One colour syntax for --set and --sweep: r,g,b or r:g:b, a sweep's
  // values between commas (r:g:b) or spaces and ';' (either).
  for (const char* sweep : {"color=1:0:0,0:0.5:1", "color=1,0,0 0,0.5,1", "color=1,0,0;0:0.5:1"}) {
    Options c;
    ASSERT_TRUE(parseOptions({"--sweep", sweep, "--set", "ambientColor=0.1:0.2:0.3"}, c, error))
        << sweep << ": " << error;
    EXPECT_EQ(c.sweeps.at(0).values, (std::vector<Value>{{1, 0, 0}, {0, 0.5, 1}})) << sweep;
    EXPECT_EQ(formatValue(ValueKind::kColor, c.material.at("ambientColor")),
              formatValue(ValueKind::kColor, Value{0.1f, 0.2f, 0.3f}));
  }
  ASSERT_TRUE(parseOptions({"--light-samples", "16"}, o, error)) << error;
  EXPECT_EQ(o.lightSamples, 16);
  ASSERT_TRUE(parseOptions({"--light-samples=auto"}, o, error)) << error;
  EXPECT_EQ(o.lightSamples, 0);
  // Adaptive sampling is off unless asked for, and reaches the render's settings.
  EXPECT_EQ(o.adaptiveThreshold, 0.0f);
  ASSERT_TRUE(parseOptions({"--adaptive-threshold", "1.5", "--adaptive-min-spp", "4"}, o, error))
      << error;
  EXPECT_EQ(o.adaptiveThreshold, 1.5f);
  EXPECT_EQ(o.adaptiveMinSamples, 4);
  RenderJob job;
  ASSERT_TRUE(planRender(o, {}, job, error)) << error;
  EXPECT_EQ(job.settings.adaptiveThreshold, 1.5f);
  EXPECT_EQ(job.settings.adaptiveMinSamples, 4);
}

TEST(CommandLine, UnwritableOutputFailsBeforeRendering) {
  const test::RunResult r = test::runTool({"-o", "/nonexistent-dir/x/out.png"});
  EXPECT_EQ(r.status, kExitError);
  EXPECT_NE(r.err.find("cannot write to /nonexistent-dir/x"), std::string::npos) << r.err;
  // A directory cannot be replaced by an image, and the render never starts.
  const std::string dir = test::makeTempDir();
  const test::RunResult d = test::runTool({"-o", dir});
  EXPECT_EQ(d.status, kExitError);
  EXPECT_NE(d.err.find("names a directory"), std::string::npos) << d.err;
  EXPECT_TRUE(test::listDir(dir).empty());
}

// ---- sheet text --------------------------------------------------------------------

TEST(SheetText, Utf8DecodesAndLongLabelsAreCutToFit) {
  EXPECT_EQ(decodeUtf8("a\xc3\xa9\xe2\x86\x92"), (std::vector<char32_t>{'a', 0xE9, 0x2192}));
  // A lone continuation byte, a cut sequence and an impossible lead byte.
  EXPECT_EQ(decodeUtf8("\x80z\xe2\x86\xff"),
            (std::vector<char32_t>{0xFFFD, 'z', 0xFFFD, 0xFFFD, 0xFFFD}));
  std::string error;
  const Font* font = Font::sheetFont(error);
  ASSERT_TRUE(font) << error;
  const std::string name = "aVeryLongMaterialNameFromAProductionScene";
  EXPECT_EQ(font->fit(name, kLabelText, 10000), name);
  for (int width : {200, 80, 30}) {
    const std::string cut = font->fit(name, kLabelText, width);
    EXPECT_LE(font->width(cut, kLabelText), width) << cut;
    EXPECT_EQ(cut.substr(cut.size() - 3), "...") << cut;
    EXPECT_EQ(name.rfind(cut.substr(0, cut.size() - 3), 0), 0u) << cut;
  }
  EXPECT_GT(font->width("WWW", kLabelText), font->width("iii", kLabelText));
}

// ---- image output ------------------------------------------------------------------

TEST(ImageOutput, SrgbCodesRoundTrip) {
  for (int code = 0; code < 256; ++code) {
    EXPECT_EQ(toSrgb8(fromSrgb8(static_cast<unsigned char>(code))), code);
  }
  EXPECT_EQ(toSrgb8(std::nanf("")), 0);
  EXPECT_EQ(toSrgb8(-1.0f), 0);
  EXPECT_EQ(toSrgb8(7.0f), 255);
}

TEST(ImageOutput, CommitRenamesAWholeFileAndAnAbandonedOneLeavesNothing) {
  const std::string dir = test::makeTempDir();
  Image image(5, 3);
  image.at(4, 2) = {1.0f, 0.5f, 0.0f};
  std::string error;
  {
    OutputFile file;
    ASSERT_TRUE(file.open(dir + "/a.png", error)) << error;
    EXPECT_EQ(test::listDir(dir).size(), 1u);  // the temporary file only
    EXPECT_FALSE(test::fileExists(dir + "/a.png"));
  }
  EXPECT_TRUE(test::listDir(dir).empty());

  OutputFile file;
  ASSERT_TRUE(file.open(dir + "/a.png", error));
  ASSERT_TRUE(file.commit(image, error)) << error;
  EXPECT_EQ(test::listDir(dir), std::vector<std::string>{"a.png"});
  Image back;
  ASSERT_TRUE(readPng(dir + "/a.png", back, error)) << error;
  ASSERT_EQ(back.width, 5);
  EXPECT_EQ(toSrgb8(back.at(4, 2).y), toSrgb8(0.5f));
  EXPECT_EQ(back.at(0, 0).x, 0.0f);
}

// A small OpenColorIO config of the tests' own: a display with an identity
// view, a view that halves and one that squares.
std::string writeTestConfig(const std::string& dir) {
  const std::string path = dir + "/test.ocio";
  std::ofstream(path) << R"(ocio_profile_version: 1
search_path: .
roles:
  default: linear
  scene_linear: linear
displays:
  lab:
    - !<View> {name: raw, colorspace: linear}
    - !<View> {name: half, colorspace: halved}
  other:
    - !<View> {name: squared, colorspace: squared}
active_displays: []
active_views: []
colorspaces:
  - !<ColorSpace>
    name: linear
    bitdepth: 32f
    isdata: false
  - !<ColorSpace>
    name: halved
    bitdepth: 32f
    isdata: false
    from_reference: !<MatrixTransform> {matrix: [0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 1]}
  - !<ColorSpace>
    name: squared
    bitdepth: 32f
    isdata: false
    from_reference: !<ExponentTransform> {value: [2, 2, 2, 1]}
)";
  return path;
}

// The default view is the sRGB curve; a config's view replaces it, found in
// any display, the default display's default view when none is named; what
// cannot be used names the file or the views there are.
TEST(ImageOutput, ViewTransformsComeFromTheConfigOrTheSrgbCurve) {
  const std::string dir = test::makeTempDir();
  const Rgb pixels[3] = {{0.5f, 0.25f, 1.0f}, {0.0f, 2.0f, -1.0f}, {0.04f, 0.7f, 0.9f}};
  unsigned char codes[9];
  ViewTransform srgb;
  std::string error;
  ASSERT_TRUE(srgb.open(ViewSettings{}, error)) << error;
  EXPECT_TRUE(srgb.isSrgb());
  srgb.toDisplay(pixels, 3, codes);
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(codes[i], toSrgb8((&pixels[0].x)[i])) << i;
  }
  EXPECT_EQ(exposureScale(0.0), 1.0f);
  EXPECT_EQ(exposureScale(-2.0), 0.25f);

  if (!ocioSupported()) GTEST_SKIP() << "built without OpenColorIO";
  const std::string config = writeTestConfig(dir);
  struct Case {
    const char* view;
    float (*expected)(float);
  };
  for (const Case& c : {Case{"", [](float v) { return v; }},  // the default: lab's first
                        Case{"half", [](float v) { return 0.5f * v; }},
                        Case{"squared", [](float v) { return v > 0.0f ? v * v : 0.0f; }}}) {
    SCOPED_TRACE(c.view);
    ViewTransform view;
    ASSERT_TRUE(view.open(ViewSettings{0.0, config, c.view, false}, error)) << error;
    EXPECT_FALSE(view.isSrgb());
    view.toDisplay(pixels, 3, codes);
    for (int i = 0; i < 9; ++i) {
      const float v = std::clamp(c.expected((&pixels[0].x)[i]), 0.0f, 1.0f);
      EXPECT_NEAR(codes[i], v * 255.0f, 0.51f) << i;
    }
  }
  EXPECT_EQ(
      [&] {
        ViewTransform v;
        v.open(ViewSettings{0.0, config, "squared", false}, error);
        return v.name();
      }(),
      "other / squared");

  const std::string broken = dir + "/broken.ocio";
  std::ofstream(broken) << "ocio_profile_version: 1\nroles: [unclosed\n";
  const std::string noScene = dir + "/noscene.ocio";
  std::ofstream(noScene) << "ocio_profile_version: 1\ndisplays: {}\ncolorspaces: []\n";
  struct Bad {
    ViewSettings settings;
    std::string message;
  };
  for (const Bad& b :
       {Bad{{0.0, config, "filmic", false}, "has no view 'filmic'; its views: raw, half, squared"},
        Bad{{0.0, broken, "", false}, "cannot use the OpenColorIO config " + broken},
        Bad{{0.0, noScene, "", false}, noScene},
        Bad{{0.0, dir, "", false}, dir + ": not a regular file"},
        Bad{{0.0, dir + "/none", "", true}, "(from the OCIO variable)"}}) {
    SCOPED_TRACE(b.message);
    ViewTransform view;
    error.clear();
    EXPECT_FALSE(view.open(b.settings, error));
    EXPECT_NE(error.find(b.message), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

// --view takes its config from --ocio, else from the OCIO variable, as every
// OpenColorIO application does; without either it is refused.
TEST(CommandLine, ViewNeedsAConfigFromTheOptionOrTheEnvironment) {
  const std::string dir = test::makeTempDir();
  const char* saved = std::getenv("OCIO");
  const std::string keep = saved ? saved : "";
  ::unsetenv("OCIO");
  test::RunResult r = test::runTool({"--view", "half", "-o", dir + "/a.png"});
  EXPECT_EQ(r.status, kExitError);
  EXPECT_NE(r.err.find("give --ocio FILE or set the OCIO environment variable"), std::string::npos)
      << r.err;
  ::setenv("OCIO", (dir + "/missing.ocio").c_str(), 1);
  r = test::runTool({"--view", "half", "-o", dir + "/a.png"});
  EXPECT_EQ(r.status, kExitError);
  EXPECT_NE(r.err.find(dir + "/missing.ocio (from the OCIO variable)"), std::string::npos) << r.err;
  if (saved) {
    ::setenv("OCIO", keep.c_str(), 1);
  } else {
    ::unsetenv("OCIO");
  }
  EXPECT_TRUE(test::listDir(dir).empty());
}

TEST(ImageOutput, ExrHoldsLinearFloats) {
  if (!exrSupported()) GTEST_SKIP() << "built without OpenEXR";
  const std::string dir = test::makeTempDir();
  Image image(4, 4);
  image.at(1, 1) = {7.5f, 0.25f, 0.0f};
  std::string error;
  OutputFile file;
  ASSERT_TRUE(file.open(dir + "/a.EXR", error));
  ASSERT_TRUE(file.commit(image, error)) << error;
#ifdef GLINTWEAVE_PREVIEW_EXR
  Imf::InputFile in((dir + "/a.EXR").c_str());
  const Imath::Box2i window = in.header().dataWindow();
  ASSERT_EQ(window.max.x - window.min.x + 1, 4);
  EXPECT_EQ(in.header().channels().findChannel("G")->type, Imf::FLOAT);
  std::vector<float> red(16);
  Imf::FrameBuffer frame;
  frame.insert("R", Imf::Slice(Imf::FLOAT, reinterpret_cast<char*>(red.data()), sizeof(float),
                               4 * sizeof(float)));
  in.setFrameBuffer(frame);
  in.readPixels(window.min.y, window.max.y);
  EXPECT_EQ(red[5], 7.5f);  // linear, above what a PNG can hold
  EXPECT_EQ(red[0], 0.0f);
#endif
}

// ---- the renderer -------------------------------------------------------------------

// Models the deliverables' generator: one per thread, seeded at the thread's
// first draw from a process-wide ticket.
std::atomic<uint32_t> tickets{0};

struct TicketContext : ShadingContext {
  Rgb shadeCameraHit(const Ray&, const Hit& hit, const SlotMaterials& slots) override {
    thread_local std::optional<std::mt19937> generator;
    if (!generator) generator.emplace(5489u + tickets++);
    const float u = std::uniform_real_distribution<float>(0.0f, 1.0f)(*generator);
    return {u, hit.normal.y, static_cast<float>(slots[hit.slot])};
  }
};

struct TicketBackend : Backend {
  const char* name() const override { return "tickets"; }
  std::unique_ptr<ShadingContext> newContext() override {
    return std::make_unique<TicketContext>();
  }
};

Image renderWith(Backend& backend, const Scene& scene, int threads,
                 RenderStats* statsOut = nullptr) {
  Panel panel;
  panel.backend = &backend;
  panel.scene = &scene;
  panel.materialOfSlot = {3, 4};
  panel.width = 40;
  panel.height = 30;
  panel.x0 = 40;  // the right half of the image
  Image image(80, 30);
  RenderSettings settings;
  settings.samplesPerPixel = 2;
  settings.threads = threads;
  settings.tileSize = 8;
  RenderStats stats;
  std::string error;
  EXPECT_TRUE(render({panel}, settings, image, stats, nullptr, error)) << error;
  if (statsOut) *statsOut = stats;
  return image;
}

TEST(Renderer, ImageDoesNotDependOnTheThreadCount) {
  const Scene scene = defaultScene();
  TicketBackend backend;
  tickets = 0;
  const Image one = renderWith(backend, scene, 1);
  tickets = 0;
  const Image three = renderWith(backend, scene, 3);
  ASSERT_EQ(one.pixels.size(), three.pixels.size());
  EXPECT_EQ(std::memcmp(one.pixels.data(), three.pixels.data(), one.pixels.size() * sizeof(Rgb)),
            0);
  // The panel fills the right half only, and surfaces get their slot's material.
  EXPECT_EQ(one.at(10, 10).x, 0.0f);
  EXPECT_EQ(one.at(60, 15).z, 3.0f);  // a sphere: the hero slot
  EXPECT_EQ(one.at(60, 29).z, 4.0f);  // the ground: the floor slot
}

struct FlakyContext : ShadingContext {
  Rgb shadeCameraHit(const Ray&, const Hit& hit, const SlotMaterials&) override {
    if (hit.slot == kFloorSlot) throw std::runtime_error("the host fell over");
    return {std::nanf(""), 0.0f, 0.0f};
  }
};
struct FlakyBackend : Backend {
  const char* name() const override { return "flaky"; }
  std::unique_ptr<ShadingContext> newContext() override { return std::make_unique<FlakyContext>(); }
};

TEST(Renderer, NonFiniteSamplesAreDroppedAndCountedAndFailuresReported) {
  Scene scene = defaultScene();
  scene.ground.reset();
  FlakyBackend backend;
  RenderStats stats;
  const Image image = renderWith(backend, scene, 2, &stats);
  EXPECT_GT(stats.droppedSamples, 0u);
  for (const Rgb& c : image.pixels) EXPECT_TRUE(isFinite(c));

  scene.ground = GroundPlane{};
  Panel panel{&backend, &scene, {0, 0}, 0, 0, 32, 32};
  Image out(32, 32);
  std::string error;
  EXPECT_FALSE(render({panel}, RenderSettings{1, 2, 8}, out, stats, nullptr, error));
  EXPECT_EQ(error, "the host fell over");
}

// Shades with its backend's mark and counts how many threads shade at once;
// the backend can refuse a context after a number of them.
struct CountingBackend;
struct CountingContext : ShadingContext {
  explicit CountingContext(CountingBackend& b) : backend(b) {}
  Rgb shadeCameraHit(const Ray&, const Hit&, const SlotMaterials&) override;
  CountingBackend& backend;
};
struct CountingBackend : Backend {
  CountingBackend(float m, std::atomic<int>& shadingNow, std::atomic<int>& most)
      : mark(m), now(shadingNow), peak(most) {}
  const char* name() const override { return "counting"; }
  std::unique_ptr<ShadingContext> newContext() override {
    if (++made > refuseAfter) throw std::runtime_error("no more contexts");
    return std::make_unique<CountingContext>(*this);
  }
  float mark;
  std::atomic<int>& now;
  std::atomic<int>& peak;
  std::atomic<int> made{0};
  int refuseAfter = 1 << 30;
};
Rgb CountingContext::shadeCameraHit(const Ray&, const Hit&, const SlotMaterials&) {
  const int n = ++backend.now;
  for (int seen = backend.peak.load(); n > seen && !backend.peak.compare_exchange_weak(seen, n);) {
  }
  std::this_thread::yield();  // stay a while, so that overlaps show
  --backend.now;
  return {backend.mark, 0.0f, 0.0f};
}

TEST(Renderer, TilesShadeWithTheirOwnBackendAndNoMoreThanTheThreadCountAtOnce) {
  // Two panels of two backends, as on a contact sheet: each tile's thread
  // starts the next tile's, handing on its context only to a tile of the
  // same backend. A black environment leaves misses at 0.
  Scene scene = defaultScene();
  scene.environment = Environment{{}, {}, {}, {}, {}};
  for (const int threads : {1, 2, 3}) {
    std::atomic<int> now{0};
    std::atomic<int> peak{0};
    CountingBackend left(1.0f, now, peak);
    CountingBackend right(2.0f, now, peak);
    const std::vector<Panel> panels = {{&left, &scene, {0, 0}, 0, 0, 20, 24},
                                       {&right, &scene, {0, 0}, 20, 0, 20, 24}};
    Image image(40, 24);
    RenderSettings settings;
    settings.threads = threads;
    settings.tileSize = 4;
    RenderStats stats;
    std::string error;
    ASSERT_TRUE(render(panels, settings, image, stats, nullptr, error)) << error;
    EXPECT_LE(peak.load(), threads) << threads;
    for (int y = 0; y < 24; ++y) {
      for (int x = 0; x < 40; ++x) {
        const float r = image.at(x, y).x;
        if (r != 0.0f) {
          EXPECT_EQ(r, x < 20 ? 1.0f : 2.0f) << x << "," << y;
        }
      }
    }
    // Contexts are handed on and reused, not made per tile (60 tiles here).
    EXPECT_LE(left.made + right.made, 4 * threads) << threads;

    // A backend that cannot make another context fails the render, whoever
    // asks for it, and the render still returns.
    CountingBackend stingy(3.0f, now, peak);
    stingy.refuseAfter = 0;
    const std::vector<Panel> refused = {panels[0], {&stingy, &scene, {0, 0}, 20, 0, 20, 24}};
    EXPECT_FALSE(render(refused, settings, image, stats, nullptr, error));
    EXPECT_EQ(error, "no more contexts");
  }
}

// Returns where the camera ray points, so that images show the sample positions.
struct RayContext : ShadingContext {
  Rgb shadeCameraHit(const Ray& ray, const Hit&, const SlotMaterials&) override { return ray.dir; }
};
struct RayBackend : Backend {
  const char* name() const override { return "rays"; }
  std::unique_ptr<ShadingContext> newContext() override { return std::make_unique<RayContext>(); }
};

TEST(Renderer, ProgressivePassesAddUpToOneRenderAndACancelStopsIt) {
  const Scene scene = defaultScene();
  RayBackend backend;
  Panel panel{&backend, &scene, {0, 0}, 0, 0, 24, 16};
  auto pass = [&](int first, int spp, const std::atomic<bool>* cancel, RenderStats& stats,
                  std::string& error) {
    Image image(24, 16);
    RenderSettings settings;
    settings.samplesPerPixel = spp;
    settings.firstSample = first;
    settings.threads = 2;
    settings.tileSize = 8;
    settings.cancel = cancel;
    settings.progressive = true;
    EXPECT_EQ(render({panel}, settings, image, stats, nullptr, error), !cancel || !*cancel);
    return image;
  };
  RenderStats stats;
  std::string error;
  const Image whole = pass(0, 4, nullptr, stats, error);
  const Image a = pass(0, 1, nullptr, stats, error);  // a pass: jittered like the rest
  const Image b = pass(1, 3, nullptr, stats, error);
  const Image centre = [&] {
    RenderSettings settings;
    Image image(24, 16);
    render({panel}, settings, image, stats, nullptr, error);
    return image;
  }();
  bool centreDiffers = false;
  for (size_t i = 0; i < whole.pixels.size(); ++i) {
    const Rgb sum = (a.pixels[i] + b.pixels[i] * 3.0f) * 0.25f;
    // The same four samples summed in another order: float rounding only.
    EXPECT_NEAR(sum.x, whole.pixels[i].x, 1e-6f);
    EXPECT_NEAR(sum.y, whole.pixels[i].y, 1e-6f);
    centreDiffers |= centre.pixels[i].x != a.pixels[i].x;
  }
  EXPECT_TRUE(centreDiffers);  // a lone sample at index 0 is the pixel centre

  const std::atomic<bool> stop{true};
  pass(0, 4, &stop, stats, error);
  EXPECT_EQ(error, kCancelled);
  EXPECT_TRUE(stats.cancelled);
}

// Flat in the left half of the image (every sample the same grey), noisy in
// the right half (uniform in [0.3, 0.7], hashed from pixel and sample, so
// repeatable): what adaptive sampling must tell apart.
struct HalfNoisyContext : ShadingContext {
  void setCameraSample(int x, int y, int s) override {
    right = x >= kHalf;
    uint32_t h = static_cast<uint32_t>(x) * 0x9E3779B1u ^ static_cast<uint32_t>(y) * 0x85EBCA77u ^
                 static_cast<uint32_t>(s) * 0xC2B2AE3Du;
    h = (h ^ (h >> 16)) * 0x7FEB352Du;
    h = (h ^ (h >> 15)) * 0x846CA68Bu;
    u = static_cast<float>((h ^ (h >> 16)) >> 8) / 16777216.0f;
  }
  Rgb shadeCameraHit(const Ray&, const Hit&, const SlotMaterials&) override {
    const float v = right ? 0.3f + 0.4f * u : 0.5f;
    return {v, v, v};
  }
  static constexpr int kHalf = 12;
  bool right = false;
  float u = 0.0f;
};
struct HalfNoisyBackend : Backend {
  const char* name() const override { return "half noisy"; }
  std::unique_ptr<ShadingContext> newContext() override {
    return std::make_unique<HalfNoisyContext>();
  }
};

TEST(Renderer, AdaptiveSamplingSpendsSamplesWhereTheNoiseIsAndConvergesToTheSameImage) {
  // Inside a sphere round the camera: every ray hits, every sample is shaded.
  Scene scene = defaultScene();
  scene.spheres = {{scene.camera.position, 50.0f, kHeroSlot}};
  scene.ground.reset();
  HalfNoisyBackend backend;
  constexpr int kWidth = 2 * HalfNoisyContext::kHalf, kHeight = 16, kSpp = 64;
  Panel panel{&backend, &scene, {0, 0}, 0, 0, kWidth, kHeight};
  const auto run = [&](float threshold, int every, RenderStats& stats, int threads = 2) {
    Image image(kWidth, kHeight);
    RenderSettings settings;
    settings.samplesPerPixel = kSpp;
    settings.threads = threads;
    settings.tileSize = 8;
    settings.adaptiveThreshold = threshold;
    settings.adaptiveMinSamples = every;
    std::string error;
    EXPECT_TRUE(render({panel}, settings, image, stats, nullptr, error)) << error;
    return image;
  };
  RenderStats plainStats, otherStats, adaptiveStats;
  const Image plain = run(0.0f, 8, plainStats);
  // Off, its other setting changes nothing: the same bytes, every sample taken.
  const Image other = run(0.0f, 2, otherStats);
  EXPECT_EQ(std::memcmp(plain.pixels.data(), other.pixels.data(), plain.pixels.size() * sizeof(Rgb)),
            0);
  EXPECT_EQ(plainStats.cameraSamples, uint64_t{kWidth} * kHeight * kSpp);

  // 4 codes at a mean of 0.5 is a standard error of about 0.024; the noisy
  // samples' deviation is 0.4 / sqrt(12) = 0.115, so they need about 24.
  const Image adaptive = run(4.0f, 8, adaptiveStats);
  const uint64_t flatPixels = uint64_t{HalfNoisyContext::kHalf} * kHeight;
  const uint64_t noisySamples = adaptiveStats.cameraSamples - 8 * flatPixels;
  EXPECT_GE(adaptiveStats.cameraSamples, 8 * flatPixels + 16 * flatPixels);
  EXPECT_LE(noisySamples, 48 * flatPixels);  // fewer than the 64 each plain takes
  double plainMean = 0.0, adaptiveMean = 0.0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const float a = adaptive.at(x, y).x;
      if (x < HalfNoisyContext::kHalf) {
        EXPECT_NEAR(a, 0.5f, 1e-6f) << x << "," << y;  // flat: its 8 samples, all alike
        continue;
      }
      // Noisy: within five standard errors of the fewest samples a pixel
      // takes (a pixel whose first samples happen to lie close together
      // stops at 8).
      EXPECT_NEAR(a, 0.5f, 5.0f * 0.115f / std::sqrt(8.0f)) << x << "," << y;
      plainMean += plain.at(x, y).x;
      adaptiveMean += a;
    }
  }
  // Over the noisy half both estimate the same mean (192 pixels: the means'
  // own noise is below 0.002).
  EXPECT_NEAR(plainMean / static_cast<double>(flatPixels), 0.5, 0.005);
  EXPECT_NEAR(adaptiveMean / static_cast<double>(flatPixels), 0.5, 0.01);
  // Repeatable: the same samples make the same decisions, on any number of threads.
  RenderStats againStats;
  const Image again = run(4.0f, 8, againStats, 1);
  EXPECT_EQ(againStats.cameraSamples, adaptiveStats.cameraSamples);
  EXPECT_EQ(
      std::memcmp(again.pixels.data(), adaptive.pixels.data(), again.pixels.size() * sizeof(Rgb)),
      0);
}

}  // namespace
}  // namespace gwp
