#include "accel.h"

#include <embree3/rtcore.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

#include "mesh.h"
#include "primitives.h"

namespace gwp {

namespace {

// Whether valgrind runs us: it cannot execute AVX-512, which Embree would
// otherwise pick on a CPU that has it. The memcheck script also says so in
// the environment (a build without valgrind's header still listens to it).
bool underValgrind() {
#ifdef RUNNING_ON_VALGRIND
  if (RUNNING_ON_VALGRIND) return true;
#endif
  return std::getenv("GLINTWEAVE_UNDER_VALGRIND") != nullptr;
}

// ThreadSanitizer cannot see the synchronisation of the thread pool Embree
// builds with (TBB, not instrumented), so it would take the pool's reads of
// what the caller wrote for races: under it the hierarchy is built on the
// calling thread alone. Tracing rays is the callers' own threads either way.
#if defined(__SANITIZE_THREAD__)
#define GLINTWEAVE_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define GLINTWEAVE_TSAN 1
#endif
#endif
#ifdef GLINTWEAVE_TSAN
constexpr const char* kBuildThreads = ",threads=1";
#else
constexpr const char* kBuildThreads = "";
#endif

// How far the ground plane's user geometry reaches across: a box of this
// half size. Rays meet the plane within it except at directions within
// about 1e-15 of the horizon, where the plane is infinitely far anyway.
constexpr float kGroundReach = 1e16f;

// How close to a triangle's plane, relative to the coordinates' magnitude,
// a ray's origin is taken to lie on it: well above the rounding of a point
// interpolated on the triangle (a few units in the last place, about 1e-7),
// well below any gap between two surfaces that matters in a picture.
constexpr float kOnPlane = 1.0f / 65536.0f;

// Self-intersection on triangle meshes. A ray that leaves a point on a
// triangle can meet that triangle's plane again only at t = 0, so every
// triangle whose plane holds the ray's origin is skipped: the triangle just
// left (and coplanar neighbours), whatever the direction, reflected,
// transmitted or grazing, without moving the point the hosts shade and
// without an identity for the host to carry. An origin off the surface is
// not affected.
//
// The origin's distance from the plane comes from the candidate hit itself
// (Embree hands the filter the hit's distance in tfar, and the hit point
// lies on the plane): t |dir . Ng|. Reading the triangle's vertices instead
// would cost two cache misses per candidate on a mesh larger than the cache.
void skipOwnPlane(const RTCFilterFunctionNArguments* args) {
  for (unsigned k = 0; k < args->N; ++k) {
    if (args->valid[k] == 0) continue;
    const Vec3 org{RTCRayN_org_x(args->ray, args->N, k), RTCRayN_org_y(args->ray, args->N, k),
                   RTCRayN_org_z(args->ray, args->N, k)};
    const Vec3 dir{RTCRayN_dir_x(args->ray, args->N, k), RTCRayN_dir_y(args->ray, args->N, k),
                   RTCRayN_dir_z(args->ray, args->N, k)};
    const float t = RTCRayN_tfar(args->ray, args->N, k);
    const Vec3 ng{RTCHitN_Ng_x(args->hit, args->N, k), RTCHitN_Ng_y(args->hit, args->N, k),
                  RTCHitN_Ng_z(args->hit, args->N, k)};
    const Vec3 at = org + dir * t;
    const float magnitude = std::max({std::fabs(org.x), std::fabs(org.y), std::fabs(org.z),
                                      std::fabs(at.x), std::fabs(at.y), std::fabs(at.z), 1.0f});
    const float distance = std::fabs(t * dot(dir, ng));
    if (distance <= kOnPlane * magnitude * length(ng)) args->valid[k] = 0;
  }
}

}  // namespace

struct Accel::Impl {
  RTCDevice device = nullptr;
  RTCScene scene = nullptr;
  std::vector<Sphere> spheres;
  GroundPlane ground;
  // By Embree geometry id: what it is and its index in the scene's vectors.
  std::vector<AccelHit::Kind> kinds;
  std::vector<unsigned> indices;
  std::atomic<long long> allocated{0};

  ~Impl() {
    if (scene) rtcReleaseScene(scene);
    if (device) rtcReleaseDevice(device);
  }

  static bool monitor(void* user, ssize_t bytes, bool) {
    static_cast<Impl*>(user)->allocated += bytes;
    return true;
  }

  // The user geometry's callbacks. Only rtcIntersect1 / rtcOccluded1 are
  // called, so one ray at a time.
  static void sphereBounds(const RTCBoundsFunctionArguments* args) {
    const Sphere& s = static_cast<const Impl*>(args->geometryUserPtr)->spheres[args->primID];
    // A little larger than the sphere: Embree's box test must not cut off a
    // grazing hit that the exact test below finds.
    const float r = s.radius * 1.0001f + 1e-6f;
    *args->bounds_o = {s.centre.x - r, s.centre.y - r, s.centre.z - r, 0.0f,
                       s.centre.x + r, s.centre.y + r, s.centre.z + r, 0.0f};
  }
  static void groundBounds(const RTCBoundsFunctionArguments* args) {
    const float h = static_cast<const Impl*>(args->geometryUserPtr)->ground.height;
    const float pad = std::max(1e-6f, std::fabs(h) * 1e-6f);
    *args->bounds_o = {-kGroundReach, h - pad, -kGroundReach, 0.0f,
                       kGroundReach,  h + pad, kGroundReach,  0.0f};
  }

  static Ray rayOf(const RTCRay& r) { return {{r.org_x, r.org_y, r.org_z}, {r.dir_x, r.dir_y, r.dir_z}}; }

  template <bool kSphere>
  static void intersect(const RTCIntersectFunctionNArguments* args) {
    if (args->N != 1 || !args->valid[0]) return;
    const Impl& self = *static_cast<const Impl*>(args->geometryUserPtr);
    auto* rh = reinterpret_cast<RTCRayHit*>(args->rayhit);
    const Ray ray = rayOf(rh->ray);
    const std::optional<float> t =
        kSphere ? hitSphere(self.spheres[args->primID], ray, rh->ray.tnear, rh->ray.tfar)
                : hitGround(self.ground, ray, rh->ray.tnear, rh->ray.tfar);
    if (!t) return;
    rh->ray.tfar = *t;
    rh->hit.geomID = args->geomID;
    rh->hit.primID = args->primID;
    rh->hit.instID[0] = args->context->instID[0];
    rh->hit.u = 0.0f;
    rh->hit.v = 0.0f;
  }

  template <bool kSphere>
  static void occluded(const RTCOccludedFunctionNArguments* args) {
    if (args->N != 1 || !args->valid[0]) return;
    const Impl& self = *static_cast<const Impl*>(args->geometryUserPtr);
    auto* r = reinterpret_cast<RTCRay*>(args->ray);
    const Ray ray = rayOf(*r);
    const bool hit = kSphere
                         ? hitSphere(self.spheres[args->primID], ray, r->tnear, r->tfar).has_value()
                         : hitGround(self.ground, ray, r->tnear, r->tfar).has_value();
    if (hit) r->tfar = -std::numeric_limits<float>::infinity();
  }

  void attach(RTCGeometry geometry, AccelHit::Kind kind, unsigned index) {
    rtcCommitGeometry(geometry);
    rtcAttachGeometry(scene, geometry);
    rtcReleaseGeometry(geometry);
    kinds.push_back(kind);
    indices.push_back(index);
  }
};

Accel::~Accel() = default;

std::shared_ptr<const Accel> Accel::build(const Scene& scene, std::string& error) {
  std::shared_ptr<Accel> accel(new Accel);
  accel->impl_ = std::make_unique<Impl>();
  Impl& impl = *accel->impl_;
  // One device per structure: its memory counter is this structure's alone.
  const std::string config =
      std::string("verbose=0") + (underValgrind() ? ",max_isa=avx2" : "") + kBuildThreads;
  impl.device = rtcNewDevice(config.c_str());
  if (!impl.device) {
    error = "the ray tracer (Embree) could not start: error " +
            std::to_string(static_cast<int>(rtcGetDeviceError(nullptr)));
    return nullptr;
  }
  rtcSetDeviceMemoryMonitorFunction(impl.device, &Impl::monitor, &impl);
  impl.scene = rtcNewScene(impl.device);
  // Robust: triangles that share an edge leave no crack for a ray to slip
  // through, and rays along an axis are handled exactly. Compact: the
  // hierarchy takes less memory for a little speed.
  rtcSetSceneFlags(impl.scene, RTC_SCENE_FLAG_ROBUST | RTC_SCENE_FLAG_COMPACT);

  impl.spheres = scene.spheres;
  if (!impl.spheres.empty()) {
    RTCGeometry g = rtcNewGeometry(impl.device, RTC_GEOMETRY_TYPE_USER);
    rtcSetGeometryUserPrimitiveCount(g, static_cast<unsigned>(impl.spheres.size()));
    rtcSetGeometryUserData(g, &impl);
    rtcSetGeometryBoundsFunction(g, &Impl::sphereBounds, nullptr);
    rtcSetGeometryIntersectFunction(g, &Impl::intersect<true>);
    rtcSetGeometryOccludedFunction(g, &Impl::occluded<true>);
    impl.attach(g, AccelHit::Kind::kSphere, 0);
  }
  if (scene.ground) {
    impl.ground = *scene.ground;
    RTCGeometry g = rtcNewGeometry(impl.device, RTC_GEOMETRY_TYPE_USER);
    rtcSetGeometryUserPrimitiveCount(g, 1);
    rtcSetGeometryUserData(g, &impl);
    rtcSetGeometryBoundsFunction(g, &Impl::groundBounds, nullptr);
    rtcSetGeometryIntersectFunction(g, &Impl::intersect<false>);
    rtcSetGeometryOccludedFunction(g, &Impl::occluded<false>);
    impl.attach(g, AccelHit::Kind::kGround, 0);
  }
  for (size_t i = 0; i < scene.meshes.size(); ++i) {
    const gwst::TriangleMesh* m = scene.meshes[i].mesh.get();
    if (!m || m->triangleCount() == 0) continue;
    RTCGeometry g = rtcNewGeometry(impl.device, RTC_GEOMETRY_TYPE_TRIANGLE);
    // The vertices are copied into a buffer of Embree's own, which pads its
    // end for the 16-byte loads Embree reads vertices with; the indices are
    // shared, read where the mesh keeps them.
    auto* vertices = static_cast<float*>(rtcSetNewGeometryBuffer(
        g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 3 * sizeof(float), m->vertexCount()));
    if (vertices) std::copy(m->positions.begin(), m->positions.end(), vertices);
    rtcSetSharedGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, m->indices.data(), 0,
                               3 * sizeof(uint32_t), m->triangleCount());
    rtcSetGeometryIntersectFilterFunction(g, &skipOwnPlane);
    rtcSetGeometryOccludedFilterFunction(g, &skipOwnPlane);
    impl.attach(g, AccelHit::Kind::kTriangle, static_cast<unsigned>(i));
  }
  rtcCommitScene(impl.scene);
  const RTCError e = rtcGetDeviceError(impl.device);
  if (e != RTC_ERROR_NONE) {
    error = e == RTC_ERROR_OUT_OF_MEMORY
                ? "the ray tracer (Embree) ran out of memory building the scene"
                : "the ray tracer (Embree) refused the scene: error " +
                      std::to_string(static_cast<int>(e));
    return nullptr;
  }
  accel->bytes_ = static_cast<size_t>(std::max(0LL, impl.allocated.load()));
  return accel;
}

namespace {

RTCRay embreeRay(const Ray& ray, float tMin, float tMax) {
  RTCRay r;
  r.org_x = ray.origin.x;
  r.org_y = ray.origin.y;
  r.org_z = ray.origin.z;
  r.tnear = tMin;
  r.dir_x = ray.dir.x;
  r.dir_y = ray.dir.y;
  r.dir_z = ray.dir.z;
  r.time = 0.0f;
  r.tfar = tMax;
  r.mask = ~0u;
  r.id = 0;
  r.flags = 0;
  return r;
}

}  // namespace

bool Accel::intersect(const Ray& ray, float tMin, float tMax, AccelHit& hit) const {
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  RTCRayHit rh;
  rh.ray = embreeRay(ray, tMin, tMax);
  rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
  rh.hit.primID = RTC_INVALID_GEOMETRY_ID;
  rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
  rtcIntersect1(impl_->scene, &context, &rh);
  if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) return false;
  hit.kind = impl_->kinds[rh.hit.geomID];
  hit.index = hit.kind == AccelHit::Kind::kSphere ? rh.hit.primID : impl_->indices[rh.hit.geomID];
  hit.prim = rh.hit.primID;
  hit.t = rh.ray.tfar;
  hit.u = rh.hit.u;
  hit.v = rh.hit.v;
  return true;
}

bool Accel::occluded(const Ray& ray, float tMin, float tMax) const {
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  RTCRay r = embreeRay(ray, tMin, tMax);
  rtcOccluded1(impl_->scene, &context, &r);
  return r.tfar < 0.0f;
}

}  // namespace gwp
