// Fuzz target for the environment reader: the input is an image file's
// bytes (OpenEXR or Radiance .hdr), as an upload hands them over. A read
// either fails with one line naming the image, or gives a 2:1 map within
// the size bound whose every pixel is finite and in range; such a map then
// makes lights and draws without NaN.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "environment.h"
#include "fuzzCommon.h"

namespace {

bool finite(gwst::Vec3f v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name = "upload.exr";
  gwst::LatLongImage image;
  std::string error;
  if (!gwst::LatLongImage::fromMemory({reinterpret_cast<const char*>(data), size}, name, image,
                                      error)) {
    if (error.rfind(name + ": ", 0) != 0) gwfuzz::fail("an error that does not name the image");
    if (error.find('\n') != std::string::npos) gwfuzz::fail("an error of more than one line");
    return 0;
  }
  if (image.height < 1 || image.width != 2 * image.height) gwfuzz::fail("a map that is not 2:1");
  if (int64_t{image.width} * image.height > gwst::kMaxEnvironmentPixels) {
    gwfuzz::fail("a map beyond the pixel bound");
  }
  if (image.pixels.size() != static_cast<size_t>(image.width) * image.height) {
    gwfuzz::fail("a pixel count that does not match the size");
  }
  for (const gwst::Rgb& p : image.pixels) {
    for (const float c : {p.x, p.y, p.z}) {
      if (!(c >= 0.0f && c <= gwst::kMaxRadiance)) gwfuzz::fail("a pixel out of range");
    }
  }
  // Lights from the map: cheap for the small maps the fuzzer makes.
  if (image.pixels.size() <= 4096) {
    const gwst::Environment env(image, {30.0f, 1.0f});
    for (const gwst::DirectionalLight& l : env.medianCutLights(8)) {
      if (!finite(l.direction) || !finite(l.irradiance)) gwfuzz::fail("a light with NaN");
    }
    const gwst::EnvironmentSample s = env.sample(0.3f, 0.7f);
    if (!finite(s.direction) || !finite(s.radiance) || !std::isfinite(s.pdf) || s.pdf < 0.0f) {
      gwfuzz::fail("a draw with NaN");
    }
  }
  return 0;
}
