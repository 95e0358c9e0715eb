// Environments for the stage: a latitude-longitude radiance map read from an
// OpenEXR or Radiance .hdr image (or made by our own code, the studio), its
// rotation and intensity, radiance by direction, and the two ways the hosts
// light a scene with it.
//
// Axes are the camera's (x right, y up, the camera looking down -z), as in
// the preview's scene. The image's top row is the zenith (+y), its bottom row
// the nadir; its centre column looks along -z (straight ahead of the
// camera), and columns to the right of the centre turn towards +x, so from
// inside the sphere the image is seen the right way round.
//
// How the environment lights a surface. Both hosts do it the same way:
//  - medianCutLights(K): a fixed set of K directional lights, each carrying
//    the power of one region of the map (regions of about equal power, cut
//    by the median-cut method). This is what the hosts hand a surface shader:
//    a fixed light set is the simplest fit for the Maya side's light data
//    array and for mental ray's light list (each light is just a direction
//    and a colour, and shadows are a ray along it), and it is deterministic
//    per frame, so the two hosts see the same lights.
//  - sample(u1, u2): one direction drawn per shading sample in proportion to
//    the map's power, with its pdf. Averaged over samples it converges to the
//    environment's irradiance with no banding, where a fixed set shows K
//    hard-edged shadows and highlights; it is the choice for a host that
//    draws a fresh light per sample, and the one to combine with the BRDF's
//    own sampling.
// Both are pure functions of an immutable Environment: no global state, safe
// to call from any number of threads at once, and deterministic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vec3f.h"

namespace gwst {

// Limits on an environment image from a file or an upload: beyond them the
// image is refused before its pixels are decoded. 8192 x 4096 is the
// largest lat-long map lookdev needs (a 16k map is for backplates, not
// lighting) and takes 400 MB as float RGB.
constexpr int64_t kMaxEnvironmentPixels = int64_t{8192} * 4096;
constexpr uint64_t kMaxEnvironmentFileBytes = uint64_t{512} << 20;
// Radiance above this is clamped: larger finite values (a Radiance file can
// hold up to about 1e38) would overflow the map's power sums.
constexpr float kMaxRadiance = 1e20f;

// A latitude-longitude radiance map: width = 2 x height, row-major, row 0 at
// the zenith. Every pixel finite and non-negative.
struct LatLongImage {
  int width = 0;
  int height = 0;
  std::vector<Rgb> pixels;

  const Rgb& at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }

  // Reads an OpenEXR (any channel types, scanline or tiled; R, G, B or a
  // lone Y channel) or Radiance .hdr file, told apart by their first bytes.
  // Refused, false with a one-line `error` that starts with the file's name:
  // a missing, unreadable, empty or too large file, a folder or device, a
  // truncated or garbled image, an aspect other than 2:1, more than
  // kMaxEnvironmentPixels, or a NaN or infinite pixel (an image with one is
  // broken, and lighting with it would spread NaN over the frame). Negative
  // components (filtering and colour conversions leave small ones) are
  // clamped to 0, and components above kMaxRadiance to it.
  static bool fromFile(const std::string& path, LatLongImage& out, std::string& error);
  // The same for an image in memory (an upload); `name` is what the error
  // calls it.
  static bool fromMemory(std::string_view bytes, const std::string& name, LatLongImage& out,
                         std::string& error);
};

// The default studio environment, made by our own code: three soft
// rectangular lights (two tall strips behind the camera, either side, and a
// long one overhead) over a dim gradient from a dark floor to a brighter
// zenith. `height` rows (at least 2), twice as many columns.
LatLongImage studioEnvironment(int height = 256);

struct EnvironmentParams {
  // About the vertical axis (+y), in degrees. A positive angle turns the
  // environment counter-clockwise seen from above (right-handed about +y):
  // what was straight ahead (-z) moves to the left (-x), what was on the
  // right (+x) moves straight ahead.
  float rotateDegrees = 0.0f;
  // Scales every radiance, and so every light made from the map.
  float intensity = 1.0f;
};

// A light infinitely far away: `direction` (unit) points from the surface
// towards the light; `irradiance` is what it delivers to a surface facing
// it, so a surface with normal n receives irradiance * max(0, dot(n, direction)).
struct DirectionalLight {
  Vec3f direction;
  Rgb irradiance;
};

// One direction drawn from the environment: its radiance and the density it
// was drawn with, per unit solid angle. radiance / pdf is the sample's
// estimate of the light arriving from the whole sphere.
struct EnvironmentSample {
  Vec3f direction;  // unit, from the surface towards the environment
  Rgb radiance;
  float pdf = 0.0f;
};

class Environment {
 public:
  // Builds the sampling tables (the cost of a few passes over the image).
  // An image that is not 2:1 with at least 2 rows, or whose pixel count
  // does not match, makes an environment that is black everywhere.
  Environment(LatLongImage image, EnvironmentParams params);

  const LatLongImage& image() const { return image_; }
  const EnvironmentParams& params() const { return params_; }

  // What a ray leaving in `dir` (any length but zero) sees: the map
  // bilinearly interpolated between texel centres (wrapping around the
  // vertical axis), rotated and scaled.
  Rgb radiance(Vec3f dir) const;

  // One direction from two uniform numbers in [0, 1), drawn in proportion to
  // the map's power (its luminance per solid angle). Black where the map is
  // black everywhere: pdf 0, and the caller adds nothing.
  EnvironmentSample sample(float u1, float u2) const;
  // The density sample() draws `dir` with, per unit solid angle.
  float pdf(Vec3f dir) const;

  // At most `count` directional lights standing for the whole map: the map
  // cut, each time at the median of its power, into regions of about equal
  // power (the region with the most power is cut next), and each region
  // becomes one light at its power-weighted mean direction carrying all of
  // its power (radiance times solid angle, in RGB). The lights' irradiance
  // sums to the map's, so a surface facing any way receives about what the
  // map delivers. Fewer lights when the map has fewer texels with power;
  // none for a black map.
  std::vector<DirectionalLight> medianCutLights(int count) const;

 private:
  Vec3f toMap(Vec3f dir) const;
  Vec3f fromMap(Vec3f dir) const;

  LatLongImage image_;
  EnvironmentParams params_;
  float cosRotate_ = 1.0f;
  float sinRotate_ = 0.0f;
  // Piecewise-constant sampling over the texels: the cumulative weights of
  // the rows (marginal), and of the texels within each row (conditional).
  std::vector<double> rowCdf_;     // height + 1 entries
  std::vector<double> columnCdf_;  // height rows of width + 1 entries
  std::vector<float> texelPdf_;    // density per unit (u, v) area of each texel
};

// Directions and lat-long coordinates: u in [0, 1) around the vertical axis
// (0.5 looking along -z), v in [0, 1] from the zenith down.
Vec3f directionFromLatLong(float u, float v);
void latLongFromDirection(Vec3f dir, float& u, float& v);

}  // namespace gwst
