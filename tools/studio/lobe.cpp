// The measured lobe: one light swept over the hemisphere above a point,
// shaded by each host's deliverable through its own entry point.
#include <atomic>
#include <cmath>

#include "studio.h"

namespace gwstudio {

using gwp::Host;
using gwp::Rgb;
using gwp::Vec3;

namespace {

constexpr float kDegrees = 3.14159265f / 180.0f;

float luminance(const Rgb& c) { return 0.2126f * c.x + 0.7152f * c.y + 0.0722f * c.z; }

}  // namespace

Outcome Studio::lobe(const StudioParams& params, Lobe& out, std::string& error) {
  // Cheap (a few thousand shading calls per host), but bounded all the same.
  constexpr int kMaxLobes = 4;
  if (lobesRunning_.fetch_add(1) >= kMaxLobes) {
    --lobesRunning_;
    error = "too many lobe measurements at once; try again shortly";
    return Outcome::kBusy;
  }
  struct Done {
    std::atomic<int>& n;
    ~Done() { --n; }
  } done{lobesRunning_};

  const float vt = params.viewTheta * kDegrees;
  const float vp = params.viewPhi * kDegrees;
  const Vec3 view{std::sin(vt) * std::cos(vp), std::cos(vt), std::sin(vt) * std::sin(vp)};
  std::vector<Vec3> lights;
  lights.reserve(Lobe::kAzimuthSteps * Lobe::kElevationSteps + Lobe::kPlaneSteps);
  for (int j = 0; j < Lobe::kElevationSteps; ++j) {
    const float theta = (static_cast<float>(j) + 0.5f) * 2.0f * kDegrees;
    for (int i = 0; i < Lobe::kAzimuthSteps; ++i) {
      const float phi = (static_cast<float>(i) + 0.5f) * 4.0f * kDegrees;
      lights.push_back({std::sin(theta) * std::cos(phi), std::cos(theta),
                        std::sin(theta) * std::sin(phi)});
    }
  }
  // Across the plane of incidence: positive angles on the mirror side,
  // away from the viewer's azimuth.
  for (int k = 0; k < Lobe::kPlaneSteps; ++k) {
    const float a = static_cast<float>(k - 90) * kDegrees;
    lights.push_back(
        {-std::sin(a) * std::cos(vp), std::cos(a), -std::sin(a) * std::sin(vp)});
  }
  const size_t mapSize = static_cast<size_t>(Lobe::kAzimuthSteps * Lobe::kElevationSteps);
  for (Host h : {Host::kMaya, Host::kMentalRay}) {
    const size_t index = hostIndex(h);
    if (!backends_[index]) continue;
    std::vector<Rgb> values;
    if (!backends_[index]->measureLobe(params.material, view, lights, values, error)) {
      return Outcome::kFailed;
    }
    out.has[index] = true;
    out.map[index].resize(mapSize);
    out.plane[index].resize(Lobe::kPlaneSteps);
    for (size_t i = 0; i < values.size(); ++i) {
      const float v = std::isfinite(luminance(values[i])) ? luminance(values[i]) : 0.0f;
      if (i < mapSize) {
        out.map[index][i] = v;
      } else {
        out.plane[index][i - mapSize] = v;
      }
    }
  }
  return Outcome::kOk;
}

}  // namespace gwstudio
