// The stage's environments: reading lat-long maps (OpenEXR and Radiance
// files the tests write themselves), radiance by direction, and the two ways
// a map lights a surface (a fixed median-cut light set, and one light drawn
// per sample), checked against the analytic irradiance.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "environment.h"

#ifdef GLINTWEAVE_STAGE_EXR
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#endif

namespace gwst {
namespace {

constexpr double kPi = 3.14159265358979323846;

Vec3f unit(float x, float y, float z) {
  const float len = std::sqrt(x * x + y * y + z * z);
  return {x / len, y / len, z / len};
}
float angleBetween(Vec3f a, Vec3f b) { return std::acos(std::clamp(dot(a, b), -1.0f, 1.0f)); }

LatLongImage filled(int height, Rgb value) {
  LatLongImage image;
  image.height = height;
  image.width = 2 * height;
  image.pixels.assign(static_cast<size_t>(image.width) * height, value);
  return image;
}

// A map whose texels all differ, so a swapped row or channel shows.
LatLongImage ramp(int height) {
  LatLongImage image = filled(height, {});
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      image.pixels[static_cast<size_t>(y) * image.width + x] = {
          0.25f + 0.5f * static_cast<float>(x), 1.0f + 3.0f * static_cast<float>(y),
          0.125f * static_cast<float>(x + y)};
    }
  }
  return image;
}

// The irradiance the lights deliver to a surface with normal n.
Rgb lightsIrradiance(const std::vector<DirectionalLight>& lights, Vec3f n) {
  Rgb e;
  for (const DirectionalLight& l : lights) {
    const float c = std::max(0.0f, dot(n, l.direction));
    e = {e.x + l.irradiance.x * c, e.y + l.irradiance.y * c, e.z + l.irradiance.z * c};
  }
  return e;
}

// The per-sample estimate of the irradiance on a surface with normal n.
double sampledIrradiance(const Environment& env, Vec3f n, int count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
  double sum = 0.0;
  for (int i = 0; i < count; ++i) {
    const float u1 = uniform(rng);
    const float u2 = uniform(rng);
    const EnvironmentSample s = env.sample(u1, u2);
    if (s.pdf <= 0.0f) continue;
    sum += static_cast<double>(s.radiance.y) * std::max(0.0f, dot(n, s.direction)) / s.pdf;
  }
  return sum / count;
}

std::string tempDir() {
  static std::string dir = [] {
    char name[] = "/tmp/gw-stage-XXXXXX";
    return std::string(mkdtemp(name) ? name : "/tmp");
  }();
  return dir;
}

std::string writeBytes(const std::string& name, const std::string& bytes) {
  const std::string path = tempDir() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// Radiance's shared-exponent pixels, written flat (unencoded) or with each
// scanline's channels run-length encoded (as literal runs).
std::string radianceHeader(int width, int height) {
  return "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(height) + " +X " +
         std::to_string(width) + "\n";
}

std::string encodeRadiance(const LatLongImage& image, bool runLength = false) {
  std::vector<unsigned char> rgbe(image.pixels.size() * 4, 0);
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    const Rgb& p = image.pixels[i];
    const float peak = std::max({p.x, p.y, p.z});
    if (peak > 1e-32f) {
      int exponent = 0;
      const float scale = std::frexp(peak, &exponent) * 256.0f / peak;
      rgbe[4 * i] = static_cast<unsigned char>(p.x * scale);
      rgbe[4 * i + 1] = static_cast<unsigned char>(p.y * scale);
      rgbe[4 * i + 2] = static_cast<unsigned char>(p.z * scale);
      rgbe[4 * i + 3] = static_cast<unsigned char>(exponent + 128);
    }
  }
  std::string out = radianceHeader(image.width, image.height);
  if (!runLength) return out + std::string(rgbe.begin(), rgbe.end());
  const int w = image.width;
  for (int y = 0; y < image.height; ++y) {
    out += {2, 2, static_cast<char>(w >> 8), static_cast<char>(w & 255)};
    for (int k = 0; k < 4; ++k) {
      for (int x = 0; x < w; x += 128) {
        const int count = std::min(128, w - x);
        out += static_cast<char>(count);
        for (int i = x; i < x + count; ++i) {
          out += static_cast<char>(rgbe[4 * (static_cast<size_t>(y) * w + i) + k]);
        }
      }
    }
  }
  return out;
}

#ifdef GLINTWEAVE_STAGE_EXR
std::string writeExr(const std::string& name, const LatLongImage& image) {
  const std::string path = tempDir() + "/" + name;
  Imf::Header header(image.width, image.height);
  for (const char* c : {"R", "G", "B"}) header.channels().insert(c, Imf::Channel(Imf::FLOAT));
  Imf::OutputFile file(path.c_str(), header);
  Imf::FrameBuffer frame;
  char* base = const_cast<char*>(reinterpret_cast<const char*>(image.pixels.data()));
  const size_t row = sizeof(Rgb) * static_cast<size_t>(image.width);
  frame.insert("R", Imf::Slice(Imf::FLOAT, base + offsetof(Rgb, x), sizeof(Rgb), row));
  frame.insert("G", Imf::Slice(Imf::FLOAT, base + offsetof(Rgb, y), sizeof(Rgb), row));
  frame.insert("B", Imf::Slice(Imf::FLOAT, base + offsetof(Rgb, z), sizeof(Rgb), row));
  file.setFrameBuffer(frame);
  file.writePixels(image.height);
  return path;
}
#endif

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// --- lighting ---------------------------------------------------------------

// A uniform environment of radiance L gives every surface the irradiance
// pi L (the cosine integrated over the hemisphere), whichever way it faces
// and however the map is turned, through both the fixed light set and the
// per-sample draw.
TEST(EnvironmentLighting, UniformEnvironmentGivesPiTimesRadiance) {
  const Rgb radiance{0.5f, 2.0f, 1.25f};
  const Vec3f normals[] = {unit(0, 1, 0), unit(0, -1, 0), unit(1, 0, 0),          unit(0, 0, -1),
                           unit(0, 0, 1), unit(1, 1, 1),  unit(-0.3f, 0.2f, 0.9f)};
  for (const float rotate : {0.0f, 37.0f}) {
    const Environment env(filled(64, radiance), {rotate, 1.0f});
    const std::vector<DirectionalLight> lights = env.medianCutLights(256);
    ASSERT_EQ(lights.size(), 256u);
    // All the map's power is in the lights: 4 pi L.
    Rgb total;
    for (const DirectionalLight& l : lights) {
      total = {total.x + l.irradiance.x, total.y + l.irradiance.y, total.z + l.irradiance.z};
    }
    // Sums of 8192 float texels: rounding stays far below 1e-4.
    EXPECT_NEAR(total.y, 4.0 * kPi * radiance.y, 1e-4 * 4.0 * kPi * radiance.y);
    EXPECT_NEAR(total.x / total.y, radiance.x / radiance.y, 1e-5);

    for (const Vec3f n : normals) {
      SCOPED_TRACE("rotate " + std::to_string(rotate) + ", normal (" + std::to_string(n.x) + ", " +
                   std::to_string(n.y) + ", " + std::to_string(n.z) + ")");
      const double expected = kPi * radiance.y;
      // 256 lights quantise the cosine: the lights straddling the surface's
      // horizon are counted whole or not at all, a couple of percent at most.
      EXPECT_NEAR(lightsIrradiance(lights, n).y, expected, 0.03 * expected);
      // 100000 draws: the estimate's standard error is 1.3 pi L / sqrt(N),
      // 0.41 %, so 2 % is about five of them.
      EXPECT_NEAR(sampledIrradiance(env, n, 100000, 5489u), expected, 0.02 * expected);
    }
  }
}

// One bright texel: its power lands in one light at its direction, turned
// by the rotation the documented way and scaled by the intensity; the draws
// land on it, and radiance() sees it there.
TEST(EnvironmentLighting, BrightTexelFollowsRotationAndIntensity) {
  constexpr int kHeight = 33;  // odd: a row's centre lies on the horizon
  // Texel (32, 16) is straight ahead (-z) to within half a texel.
  constexpr int kX = 32;
  constexpr int kY = 16;
  const float halfTexel = static_cast<float>(kPi / kHeight);  // generous: a texel is pi / 33 tall
  struct Case {
    float rotate;
    float intensity;
    Vec3f expected;  // where the texel's light ends up
  };
  const Case cases[] = {
      {0.0f, 1.0f, unit(0, 0, -1)},   {90.0f, 1.0f, unit(-1, 0, 0)},
      {-90.0f, 2.5f, unit(1, 0, 0)},  {180.0f, 1.0f, unit(0, 0, 1)},
      {45.0f, 0.5f, unit(-1, 0, -1)}, {360.0f + 90.0f, 1.0f, unit(-1, 0, 0)},
  };
  LatLongImage image = filled(kHeight, {});
  const Rgb bright{1000.0f, 500.0f, 250.0f};
  image.pixels[static_cast<size_t>(kY) * image.width + kX] = bright;
  const double cosTop = std::cos(kPi * kY / kHeight);
  const double cosBottom = std::cos(kPi * (kY + 1) / kHeight);
  const double solidAngle = (cosTop - cosBottom) * 2.0 * kPi / image.width;

  for (const Case& c : cases) {
    SCOPED_TRACE("rotate " + std::to_string(c.rotate) + ", intensity " +
                 std::to_string(c.intensity));
    const Environment env(image, {c.rotate, c.intensity});
    const std::vector<DirectionalLight> lights = env.medianCutLights(8);
    ASSERT_EQ(lights.size(), 1u);
    EXPECT_LT(angleBetween(lights[0].direction, c.expected), halfTexel);
    const double power = bright.x * solidAngle * c.intensity;
    EXPECT_NEAR(lights[0].irradiance.x, power, 1e-5 * power);  // float rounding only
    EXPECT_NEAR(lights[0].irradiance.z / lights[0].irradiance.x, 0.25, 1e-6);

    // The texel is seen where its light is, scaled by the intensity.
    EXPECT_NEAR(env.radiance(lights[0].direction).x, bright.x * c.intensity,
                1e-3 * bright.x * c.intensity);  // at the texel's centre: no blending
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    for (int i = 0; i < 200; ++i) {
      const EnvironmentSample s = env.sample(uniform(rng), uniform(rng));
      ASSERT_GT(s.pdf, 0.0f);
      // Draws fall on the texel or the neighbours its light blends into.
      EXPECT_LT(angleBetween(s.direction, c.expected), 3.0f * halfTexel);
      EXPECT_NEAR(env.pdf(s.direction), s.pdf, 1e-3f * s.pdf);
    }
  }
}

TEST(EnvironmentLighting, BlackOrMalformedMapGivesNoLight) {
  LatLongImage wrongAspect = filled(8, {1, 1, 1});
  wrongAspect.width = 8;
  for (const LatLongImage& image : {filled(8, {}), wrongAspect, LatLongImage{}}) {
    const Environment env(image, {});
    EXPECT_TRUE(env.medianCutLights(16).empty());
    EXPECT_EQ(env.sample(0.5f, 0.5f).pdf, 0.0f);
    EXPECT_EQ(env.radiance(unit(0, 1, 0)).x, 0.0f);
  }
  // A direction of NaN sees nothing instead of indexing with it.
  const Environment lit(filled(8, {1, 1, 1}), {});
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(lit.radiance({nan, 0, 0}).x, 0.0f);
  EXPECT_EQ(lit.pdf({nan, 0, 0}), 0.0f);
}

// Radiance between texel centres is interpolated, across the seam behind
// the camera too, and the map's columns run the documented way.
TEST(EnvironmentLighting, RadianceIsBilinearAndOriented) {
  const LatLongImage image = ramp(8);
  const Environment env(image, {});
  const auto at = [&](float u, float v) { return env.radiance(directionFromLatLong(u, v)); };
  // Texel centres give the texel (single-precision angles: 1e-3).
  EXPECT_NEAR(at(3.5f / 16, 2.5f / 8).x, image.at(3, 2).x, 1e-3);
  EXPECT_NEAR(at(3.5f / 16, 2.5f / 8).y, image.at(3, 2).y, 1e-3);
  // Half way between two columns and two rows: the mean of the four.
  const float mean =
      0.25f * (image.at(3, 2).x + image.at(4, 2).x + image.at(3, 3).x + image.at(4, 3).x);
  EXPECT_NEAR(at(4.0f / 16, 3.0f / 8).x, mean, 1e-3);
  // The seam: between the last column and the first.
  EXPECT_NEAR(at(0.0f, 2.5f / 8).x, 0.5f * (image.at(15, 2).x + image.at(0, 2).x), 1e-3);
  // The centre column looks ahead (-z), three quarters across looks right (+x).
  float u = 0.0f;
  float v = 0.0f;
  latLongFromDirection(unit(0, 0, -1), u, v);
  EXPECT_NEAR(u, 0.5f, 1e-6);
  EXPECT_NEAR(v, 0.5f, 1e-6);
  latLongFromDirection(unit(1, 0, 0), u, v);
  EXPECT_NEAR(u, 0.75f, 1e-6);
  latLongFromDirection(unit(0, 1, 0), u, v);
  EXPECT_NEAR(v, 0.0f, 1e-6);
}

TEST(EnvironmentLighting, StudioHasSoftboxesOverDimGradient) {
  const LatLongImage studio = studioEnvironment(64);
  ASSERT_EQ(studio.width, 128);
  const Environment env(studio, {});
  float peak = 0.0f;
  for (const Rgb& p : studio.pixels) {
    ASSERT_TRUE(std::isfinite(p.x) && p.x >= 0.0f);
    peak = std::max(peak, p.x);
  }
  EXPECT_GT(peak, 1.0f);  // the boxes
  EXPECT_LT(env.radiance(unit(0, -1, 0)).y, env.radiance(unit(0, 1, 0.05f)).y);
  // Most of the light comes from behind the camera, where the strips are.
  Rgb behind;
  Rgb ahead;
  for (const DirectionalLight& l : env.medianCutLights(32)) {
    (l.direction.z > 0.0f ? behind : ahead).y += l.irradiance.y;
  }
  EXPECT_GT(behind.y, ahead.y);
}

// --- reading ----------------------------------------------------------------

TEST(EnvironmentFiles, RoundTripsThroughOpenExrAndRadiance) {
  const LatLongImage image = ramp(8);
  struct Case {
    std::string name;
    std::string path;
    float tolerance;  // relative
  };
  std::vector<Case> cases;
#ifdef GLINTWEAVE_STAGE_EXR
  cases.push_back({"exr", writeExr("ramp.exr", image), 0.0f});  // float channels: exact
#endif
  // Radiance keeps 8 mantissa bits shared by the three channels: a channel
  // far below the brightest loses more, but 4 % bounds this ramp's.
  cases.push_back({"hdr", writeBytes("ramp.hdr", encodeRadiance(image)), 0.04f});
  cases.push_back({"hdr run-length", writeBytes("rle.hdr", encodeRadiance(image, true)), 0.04f});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool memory : {false, true}) {
      LatLongImage read;
      std::string error;
      ASSERT_TRUE(memory ? LatLongImage::fromMemory(readAll(c.path), c.name, read, error)
                         : LatLongImage::fromFile(c.path, read, error))
          << error;
      ASSERT_EQ(read.width, image.width);
      ASSERT_EQ(read.height, image.height);
      for (size_t i = 0; i < image.pixels.size(); ++i) {
        const Rgb a = image.pixels[i];
        const Rgb b = read.pixels[i];
        const float peak = std::max({a.x, a.y, a.z});
        ASSERT_NEAR(b.x, a.x, c.tolerance * peak) << "pixel " << i;
        ASSERT_NEAR(b.y, a.y, c.tolerance * peak) << "pixel " << i;
        ASSERT_NEAR(b.z, a.z, c.tolerance * peak) << "pixel " << i;
      }
    }
  }
}

TEST(EnvironmentFiles, BadInputIsOneLineNamingTheFile) {
  const std::string hdr = encodeRadiance(filled(4, {1, 2, 3}));
  const std::string rle = encodeRadiance(filled(8, {1, 2, 3}), true);
  struct Case {
    std::string label;
    std::string path;
    std::string problem;  // part of the message after "PATH: "
  };
  std::vector<Case> cases = {
      {"missing", tempDir() + "/no-such.hdr", "cannot open: No such file"},
      {"empty", writeBytes("empty.hdr", ""), "is empty"},
      {"folder", tempDir(), "is a folder"},
      {"device", "/dev/zero", "not a regular file"},
      {"garbage", writeBytes("garbage.exr", "P6\n2 1\n255\n\1\2\3\4\5\6"), "neither"},
      {"truncated hdr", writeBytes("cut.hdr", hdr.substr(0, hdr.size() - 5)), "truncated"},
      // Cut before a run's count: the decoder alone would read zero counts
      // for ever.
      {"truncated run-length hdr", writeBytes("cut-rle.hdr", rle.substr(0, rle.size() - 17)),
       "truncated"},
      {"header only", writeBytes("header.hdr", "#?RADIANCE\n"), "not a readable Radiance"},
      {"wrong aspect", writeBytes("square.hdr", radianceHeader(4, 4) + std::string(64, '\1')),
       "is 4 x 4; a latitude-longitude environment is twice as wide"},
      // The header alone claims 32768 x 16384: refused before any decoding.
      {"too large", writeBytes("huge.hdr", radianceHeader(32768, 16384)),
       "environments are limited to 33554432 pixels"},
  };
#ifdef GLINTWEAVE_STAGE_EXR
  LatLongImage withNan = filled(4, {1, 1, 1});
  withNan.pixels[3 * 8 + 5].y = std::numeric_limits<float>::quiet_NaN();
  cases.push_back({"nan", writeExr("nan.exr", withNan), "NaN or infinite value at pixel (5, 3)"});
  LatLongImage withInf = filled(4, {1, 1, 1});
  withInf.pixels[1].z = std::numeric_limits<float>::infinity();
  cases.push_back({"inf", writeExr("inf.exr", withInf), "NaN or infinite value at pixel (1, 0)"});
  const std::string exr = readAll(writeExr("whole.exr", filled(16, {1, 1, 1})));
  cases.push_back({"truncated exr", writeBytes("cut.exr", exr.substr(0, exr.size() / 2)),
                   "not a readable OpenEXR image"});
  // The first attribute (after the magic and version, "channels" "chlist")
  // claims 2 GB: refused before the library allocates it.
  std::string forged = exr;
  ASSERT_EQ(forged.compare(8, 16, std::string("channels\0chlist\0", 16)), 0);
  forged.replace(24, 4, "\xff\xff\xff\x7f");
  cases.push_back({"exr forged attribute size", writeBytes("forged.exr", forged),
                   "its header runs past the end of the file"});
  cases.push_back({"exr header only", writeBytes("head.exr", exr.substr(0, 4)),
                   "not a readable OpenEXR image"});
  cases.push_back({"exr wrong aspect",
                   writeExr("square.exr",
                            [] {
                              LatLongImage square = filled(4, {1, 1, 1});
                              square.width = 4;
                              square.pixels.resize(16);
                              return square;
                            }()),
                   "is 4 x 4; a latitude-longitude"});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    LatLongImage image;
    std::string error;
    EXPECT_FALSE(LatLongImage::fromFile(c.path, image, error));
    EXPECT_EQ(error.rfind(c.path + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(c.problem), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_TRUE(image.pixels.empty());
  }
}

// Negative components (left by filtering) are clamped to 0 rather than
// refused, so the lights never carry negative power.
TEST(EnvironmentFiles, NegativeComponentsAreClampedToZero) {
#ifdef GLINTWEAVE_STAGE_EXR
  LatLongImage image = filled(4, {1, 1, 1});
  image.pixels[2] = {-0.5f, 1.0f, -1e30f};
  LatLongImage read;
  std::string error;
  ASSERT_TRUE(LatLongImage::fromFile(writeExr("negative.exr", image), read, error)) << error;
  EXPECT_EQ(read.pixels[2].x, 0.0f);
  EXPECT_EQ(read.pixels[2].y, 1.0f);
  EXPECT_EQ(read.pixels[2].z, 0.0f);
#else
  GTEST_SKIP() << "this build reads no OpenEXR";
#endif
}

}  // namespace
}  // namespace gwst
