#include "orbit.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "mesh.h"

namespace gwp {

Vec3 heroCentre(const Scene& scene) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  Vec3 lo{kInf, kInf, kInf};
  Vec3 hi{-kInf, -kInf, -kInf};
  bool any = false;
  for (const Sphere& s : scene.spheres) {
    if (s.slot != kHeroSlot) continue;
    any = true;
    lo = {std::min(lo.x, s.centre.x - s.radius), std::min(lo.y, s.centre.y - s.radius),
          std::min(lo.z, s.centre.z - s.radius)};
    hi = {std::max(hi.x, s.centre.x + s.radius), std::max(hi.y, s.centre.y + s.radius),
          std::max(hi.z, s.centre.z + s.radius)};
  }
  // A shape or a model in the spheres' place: the box of its vertices.
  for (const MeshObject& m : scene.meshes) {
    if (m.slot != kHeroSlot || !m.mesh) continue;
    const std::vector<float>& p = m.mesh->positions;
    for (size_t i = 0; i + 2 < p.size(); i += 3) {
      any = true;
      lo = {std::min(lo.x, p[i]), std::min(lo.y, p[i + 1]), std::min(lo.z, p[i + 2])};
      hi = {std::max(hi.x, p[i]), std::max(hi.y, p[i + 1]), std::max(hi.z, p[i + 2])};
    }
  }
  return any ? (lo + hi) * 0.5f : Vec3{};
}

namespace {

bool hasHeroMesh(const Scene& scene) {
  return std::any_of(scene.meshes.begin(), scene.meshes.end(), [](const MeshObject& m) {
    return m.slot == kHeroSlot && m.mesh && !m.mesh->positions.empty();
  });
}

}  // namespace

void orbitCamera(Scene& scene, const CameraOrbit& orbit) {
  // The default camera already looks at the spheres' centre. A shape or a
  // model stands lower, on the ground, so even the default orbit brings the
  // camera level with its centre: the shape is centred in frame, and a
  // turntable's first frame is framed like the others.
  if (orbit.isDefault() && !hasHeroMesh(scene)) return;
  Camera& camera = scene.camera;
  const Vec3 centre = heroCentre(scene);
  const double distance = orbit.distance ? *orbit.distance : length(camera.position - centre);
  constexpr double kRadians = 3.14159265358979323846 / 180.0;
  const double az = orbit.azimuth * kRadians;
  const double el = orbit.elevation * kRadians;
  // Worked in double and rounded once, so that a full turn's frames lie on
  // one circle to float precision. The right axis comes from the azimuth
  // alone, so looking straight down or up (elevation +-90) is well defined.
  const double back[3] = {std::sin(az) * std::cos(el), std::sin(el), std::cos(az) * std::cos(el)};
  const double right[3] = {std::cos(az), 0.0, -std::sin(az)};
  const double up[3] = {back[1] * right[2] - back[2] * right[1],
                        back[2] * right[0] - back[0] * right[2],
                        back[0] * right[1] - back[1] * right[0]};
  const auto f = [](const double* v) {
    return Vec3{static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
  };
  const double offset[3] = {back[0] * distance, back[1] * distance, back[2] * distance};
  camera.position = centre + f(offset);
  camera.turned = orbit.azimuth != 0.0 || orbit.elevation != 0.0;
  if (camera.turned) {
    camera.right = f(right);
    camera.up = f(up);
    camera.back = f(back);
  }
}

CameraOrbit turntableOrbit(const CameraOrbit& start, int frame, int frames) {
  CameraOrbit o = start;
  if (frames > 0) o.azimuth += 360.0 * static_cast<double>(frame - 1) / static_cast<double>(frames);
  return o;
}

std::string FramePattern::path(int frame) const {
  std::string number = std::to_string(frame);
  if (number.size() < width) number.insert(0, width - number.size(), '0');
  return before + number + after;
}

bool parseFramePattern(const std::string& pattern, FramePattern& out, std::string& error) {
  const size_t slash = pattern.rfind('/');
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  const size_t first = pattern.find('#', name);
  if (first == std::string::npos) {
    error = "--turntable: the output name " + pattern +
            " needs a run of # for the frame number (e.g. turn.####.png)";
    return false;
  }
  const size_t end = std::min(pattern.find_first_not_of('#', first), pattern.size());
  if (pattern.find('#', end) != std::string::npos) {
    error = "--turntable: the output name " + pattern +
            " has more than one run of #; the frame number takes one";
    return false;
  }
  out.before = pattern.substr(0, first);
  out.after = pattern.substr(end);
  out.width = end - first;
  return true;
}

}  // namespace gwp
