// The camera moved round the object, and turntables: a full turn of the
// camera about the vertical axis through the object, in equal steps, the
// environment staying fixed to the world.
#pragma once

#include <optional>
#include <string>

#include "scene.h"

namespace gwp {

// Where the camera looks from, relative to the centre of the hero objects.
// Azimuth turns the camera about the vertical axis through that centre
// (positive: towards the camera's right, +x seen from the default camera),
// elevation raises it (positive: from above, looking down), distance is
// measured from the centre. The default camera is azimuth 0, elevation 0, at
// its own distance.
struct CameraOrbit {
  double azimuth = 0.0;    // degrees
  double elevation = 0.0;  // degrees, -90 to 90
  std::optional<double> distance;

  bool isDefault() const { return azimuth == 0.0 && elevation == 0.0 && !distance; }
};

// The centre of the bounds of the surfaces that wear the hero slot (spheres,
// and the vertices of a shape or model): what the camera orbits. The origin
// when there are none.
Vec3 heroCentre(const Scene& scene);

// Places `scene`'s camera on `orbit`, looking at heroCentre(). The default
// orbit leaves the camera of the spheres as it is, bit for bit (it looks at
// their centre already), and brings it level with a shape's or a model's
// centre; without a turn (azimuth and elevation 0) the camera keeps the
// world's axes and only moves.
void orbitCamera(Scene& scene, const CameraOrbit& orbit);

// The orbit of frame `frame` (1-based) of a turntable of `frames` frames that
// starts at `start`: its azimuth advances by 360 / frames degrees a frame.
CameraOrbit turntableOrbit(const CameraOrbit& start, int frame, int frames);

// Frame names: `pattern` with its run of '#' in the file name (after the
// last '/') replaced by the frame number, zero-padded to the run's length
// (wider numbers are written whole).
struct FramePattern {
  std::string before;
  std::string after;
  size_t width = 0;

  std::string path(int frame) const;
};

// False with a one-line `error` unless the file name of `pattern` has
// exactly one run of '#'.
bool parseFramePattern(const std::string& pattern, FramePattern& out, std::string& error);

}  // namespace gwp
