#include "environment.h"

#include <algorithm>
#include <cmath>

namespace gwst {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kPiF = static_cast<float>(kPi);

// Rec. 709 luminance: how bright a texel looks, which is what the lights are
// balanced by.
float luminance(Rgb c) { return 0.2126f * c.x + 0.7152f * c.y + 0.0722f * c.z; }

bool validShape(const LatLongImage& image) {
  return image.height >= 2 && image.width == 2 * image.height &&
         image.pixels.size() == static_cast<size_t>(image.width) * image.height;
}

// The solid angle of one texel of row y: the band between the row's two
// polar angles, shared by its texels.
double texelSolidAngle(int y, int width, int height) {
  const double cosTop = std::cos(kPi * y / height);
  const double cosBottom = std::cos(kPi * (y + 1) / height);
  return (cosTop - cosBottom) * (2.0 * kPi / width);
}

// The index of the cell of a cumulative table `cdf` (cells + 1 entries,
// non-decreasing, cdf[0] = 0) that `target` in [0, cdf.back()) falls in,
// never a cell of zero weight.
size_t findCell(const double* cdf, size_t cells, double target) {
  const double* it = std::upper_bound(cdf, cdf + cells + 1, target);
  size_t cell = static_cast<size_t>(it - cdf);
  cell = cell == 0 ? 0 : cell - 1;
  cell = std::min(cell, cells - 1);
  // Rounding can leave target at the very top: step back over empty cells.
  while (cell > 0 && cdf[cell + 1] <= cdf[cell]) --cell;
  return cell;
}

struct Region {
  int x0, y0, x1, y1;  // half-open texel ranges
  double energy;       // luminance times solid angle
};

// Cuts `r` in two across its longer side as seen on the sphere (a row's
// width shrinks by sin(theta) towards the poles), at the line nearest its
// median power, leaving at least one line on each side.
template <class Energy>
void cutAtMedian(const Region& r, int w, int h, const Energy& energy, std::vector<double>& sums,
                 Region& first, Region& second) {
  const double midSin = std::sin(kPi * 0.5 * (r.y0 + r.y1) / h);
  const double angularWidth = (r.x1 - r.x0) * (2.0 * kPi / w) * midSin;
  const double angularHeight = (r.y1 - r.y0) * (kPi / h);
  const bool cutColumns = r.y1 - r.y0 == 1 || (r.x1 - r.x0 > 1 && angularWidth >= angularHeight);
  const int lo = cutColumns ? r.x0 : r.y0;
  const int hi = cutColumns ? r.x1 : r.y1;
  sums.assign(static_cast<size_t>(hi - lo), 0.0);
  for (int y = r.y0; y < r.y1; ++y) {
    for (int x = r.x0; x < r.x1; ++x)
      sums[static_cast<size_t>((cutColumns ? x : y) - lo)] += energy(x, y);
  }
  // The cut nearest the median, leaving at least one line on each side.
  double below = sums[0];
  int cut = lo + 1;
  double bestGap = std::fabs(2.0 * below - r.energy);
  double belowAtCut = below;
  for (int c = lo + 2; c < hi; ++c) {
    below += sums[static_cast<size_t>(c - 1 - lo)];
    const double gap = std::fabs(2.0 * below - r.energy);
    if (gap < bestGap) {
      bestGap = gap;
      cut = c;
      belowAtCut = below;
    }
  }
  if (cutColumns) {
    first.x1 = second.x0 = cut;
  } else {
    first.y1 = second.y0 = cut;
  }
  first.energy = belowAtCut;
  second.energy = std::max(0.0, r.energy - belowAtCut);
}

// --- the studio -----------------------------------------------------------

struct StudioBox {
  Vec3f centre;  // unit direction
  Vec3f longAxis;
  Vec3f across;
  float halfLength;  // radians along longAxis
  float halfWidth;   // radians across it
  Rgb radiance;
};

StudioBox studioBox(Vec3f centre, Vec3f longHint, float halfLength, float halfWidth, Rgb radiance) {
  const Vec3f c = normalized(centre);
  const Vec3f a = normalized(longHint + c * -dot(longHint, c));
  return {c, a, cross(c, a), halfLength, halfWidth, radiance};
}

float smoothEdge(float inside) {
  constexpr float kSoftness = 0.02f;  // radians over which a box's edge fades
  const float s = std::clamp(inside / kSoftness, 0.0f, 1.0f);
  return s * s * (3.0f - 2.0f * s);
}

Rgb studioRadiance(Vec3f dir, const StudioBox* boxes, size_t count) {
  const Rgb horizon{0.05f, 0.05f, 0.055f};
  const Rgb zenith{0.11f, 0.115f, 0.13f};
  const Rgb below{0.025f, 0.025f, 0.025f};
  Rgb base = below;
  if (dir.y >= 0.0f) {
    const float s = std::sqrt(std::min(dir.y, 1.0f));
    base = horizon * (1.0f - s) + zenith * s;
  }
  for (size_t i = 0; i < count; ++i) {
    const StudioBox& box = boxes[i];
    const float facing = dot(dir, box.centre);
    if (facing <= 0.0f) continue;
    const float along = std::atan2(std::fabs(dot(dir, box.longAxis)), facing);
    const float side = std::atan2(std::fabs(dot(dir, box.across)), facing);
    base = base +
           box.radiance * (smoothEdge(box.halfLength - along) * smoothEdge(box.halfWidth - side));
  }
  return base;
}

}  // namespace

Vec3f directionFromLatLong(float u, float v) {
  const float theta = kPiF * v;
  const float phi = 2.0f * kPiF * (u - 0.5f);
  const float sinTheta = std::sin(theta);
  return {sinTheta * std::sin(phi), std::cos(theta), -sinTheta * std::cos(phi)};
}

void latLongFromDirection(Vec3f dir, float& u, float& v) {
  const Vec3f d = normalized(dir);
  v = std::acos(std::clamp(d.y, -1.0f, 1.0f)) / kPiF;
  u = std::atan2(d.x, -d.z) / (2.0f * kPiF) + 0.5f;
  if (u >= 1.0f) u -= 1.0f;  // atan2 reaches +pi exactly behind the camera
}

Environment::Environment(LatLongImage image, EnvironmentParams params)
    : image_(std::move(image)), params_(params) {
  if (!validShape(image_)) image_ = LatLongImage{};
  const double angle = static_cast<double>(params_.rotateDegrees) * kPi / 180.0;
  cosRotate_ = static_cast<float>(std::cos(angle));
  sinRotate_ = static_cast<float>(std::sin(angle));
  if (!std::isfinite(params_.intensity) || params_.intensity < 0.0f) params_.intensity = 0.0f;
  if (image_.pixels.empty()) return;

  // Each texel is drawn in proportion to the brightest luminance among it
  // and its eight neighbours: radiance() interpolates between neighbours, so
  // a black texel beside a bright one still sees light, and must be drawn.
  // Times sin(theta) at the row's centre: the texel's share of solid angle.
  const int w = image_.width;
  const int h = image_.height;
  std::vector<float> lum(image_.pixels.size());
  for (size_t i = 0; i < lum.size(); ++i) lum[i] = luminance(image_.pixels[i]);
  rowCdf_.assign(static_cast<size_t>(h) + 1, 0.0);
  columnCdf_.assign(static_cast<size_t>(h) * (w + 1), 0.0);
  texelPdf_.assign(image_.pixels.size(), 0.0f);
  std::vector<double> weight(image_.pixels.size());
  for (int y = 0; y < h; ++y) {
    const double sinTheta = std::sin(kPi * (y + 0.5) / h);
    double* row = &columnCdf_[static_cast<size_t>(y) * (w + 1)];
    for (int x = 0; x < w; ++x) {
      float peak = 0.0f;
      for (int dy = -1; dy <= 1; ++dy) {
        const int yy = std::clamp(y + dy, 0, h - 1);
        for (int dx = -1; dx <= 1; ++dx) {
          const int xx = (x + dx + w) % w;
          peak = std::max(peak, lum[static_cast<size_t>(yy) * w + xx]);
        }
      }
      const double wt = static_cast<double>(peak) * sinTheta;
      weight[static_cast<size_t>(y) * w + x] = wt;
      row[x + 1] = row[x] + wt;
    }
    rowCdf_[y + 1] = rowCdf_[y] + row[w];
  }
  const double total = rowCdf_[h];
  if (!(total > 0.0)) {
    rowCdf_.clear();
    columnCdf_.clear();
    texelPdf_.clear();
    return;
  }
  // Density per unit (u, v) area: a texel covers 1 / (w h) of it.
  const double scale = static_cast<double>(w) * h / total;
  for (size_t i = 0; i < weight.size(); ++i) texelPdf_[i] = static_cast<float>(weight[i] * scale);
}

Vec3f Environment::toMap(Vec3f d) const {
  return {d.x * cosRotate_ - d.z * sinRotate_, d.y, d.x * sinRotate_ + d.z * cosRotate_};
}

Vec3f Environment::fromMap(Vec3f d) const {
  return {d.x * cosRotate_ + d.z * sinRotate_, d.y, -d.x * sinRotate_ + d.z * cosRotate_};
}

Rgb Environment::radiance(Vec3f dir) const {
  if (image_.pixels.empty()) return {};
  float u = 0.0f;
  float v = 0.0f;
  latLongFromDirection(toMap(dir), u, v);
  // A NaN direction looks at nothing (and must not reach the casts below).
  if (!(u >= 0.0f && u <= 1.0f && v >= 0.0f && v <= 1.0f)) return {};
  const int w = image_.width;
  const int h = image_.height;
  const float fx = u * static_cast<float>(w) - 0.5f;
  const float fy = v * static_cast<float>(h) - 0.5f;
  const float floorX = std::floor(fx);
  const float floorY = std::floor(fy);
  const float tx = fx - floorX;
  const float ty = fy - floorY;
  const int x0 = (static_cast<int>(floorX) % w + w) % w;
  const int x1 = (x0 + 1) % w;
  const int y0 = std::clamp(static_cast<int>(floorY), 0, h - 1);
  const int y1 = std::clamp(static_cast<int>(floorY) + 1, 0, h - 1);
  const Rgb top = image_.at(x0, y0) * (1.0f - tx) + image_.at(x1, y0) * tx;
  const Rgb bottom = image_.at(x0, y1) * (1.0f - tx) + image_.at(x1, y1) * tx;
  return (top * (1.0f - ty) + bottom * ty) * params_.intensity;
}

EnvironmentSample Environment::sample(float u1, float u2) const {
  if (texelPdf_.empty()) return {{0.0f, 1.0f, 0.0f}, {}, 0.0f};
  const int w = image_.width;
  const int h = image_.height;
  const double r1 = std::clamp(static_cast<double>(u1), 0.0, 1.0) * rowCdf_[h];
  const size_t y = findCell(rowCdf_.data(), static_cast<size_t>(h), r1);
  const double* row = &columnCdf_[y * (w + 1)];
  const double r2 = std::clamp(static_cast<double>(u2), 0.0, 1.0) * row[w];
  const size_t x = findCell(row, static_cast<size_t>(w), r2);
  // Where within the texel: the numbers' remainders, uniform in the cell.
  const double fy = std::clamp((r1 - rowCdf_[y]) / (rowCdf_[y + 1] - rowCdf_[y]), 0.0, 1.0);
  const double fx = std::clamp((r2 - row[x]) / (row[x + 1] - row[x]), 0.0, 1.0);
  const float u = static_cast<float>((static_cast<double>(x) + fx) / w);
  const float v = static_cast<float>((static_cast<double>(y) + fy) / h);
  const Vec3f dir = fromMap(directionFromLatLong(u, v));
  const float sinTheta = std::sin(kPiF * v);
  // At the poles the lat-long patch has no area: nothing is drawn there.
  if (!(sinTheta > 0.0f)) return {dir, {}, 0.0f};
  const float pdf = texelPdf_[y * static_cast<size_t>(w) + x] / (2.0f * kPiF * kPiF * sinTheta);
  return {dir, radiance(dir), pdf};
}

float Environment::pdf(Vec3f dir) const {
  if (texelPdf_.empty()) return 0.0f;
  float u = 0.0f;
  float v = 0.0f;
  latLongFromDirection(toMap(dir), u, v);
  if (!(u >= 0.0f && u <= 1.0f && v >= 0.0f && v <= 1.0f)) return 0.0f;
  const float sinTheta = std::sin(kPiF * v);
  if (!(sinTheta > 0.0f)) return 0.0f;
  const int x = std::min(static_cast<int>(u * static_cast<float>(image_.width)), image_.width - 1);
  const int y =
      std::min(static_cast<int>(v * static_cast<float>(image_.height)), image_.height - 1);
  return texelPdf_[static_cast<size_t>(y) * image_.width + x] / (2.0f * kPiF * kPiF * sinTheta);
}

std::vector<DirectionalLight> Environment::medianCutLights(int count) const {
  std::vector<DirectionalLight> lights;
  if (image_.pixels.empty() || count < 1) return lights;
  const int w = image_.width;
  const int h = image_.height;
  const float wf = static_cast<float>(w);
  const float hf = static_cast<float>(h);
  std::vector<double> omega(static_cast<size_t>(h));
  for (int y = 0; y < h; ++y) omega[y] = texelSolidAngle(y, w, h);
  const auto energy = [&](int x, int y) {
    return static_cast<double>(luminance(image_.at(x, y))) * omega[y];
  };

  double total = 0.0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) total += energy(x, y);
  }
  if (!(total > 0.0)) return lights;

  std::vector<Region> regions{{0, 0, w, h, total}};
  std::vector<double> sums;
  while (static_cast<int>(regions.size()) < count) {
    // The region with the most power that can still be cut (the first one
    // on a tie, so the result does not depend on anything but the map).
    size_t pick = regions.size();
    for (size_t i = 0; i < regions.size(); ++i) {
      const Region& r = regions[i];
      const bool cuttable = r.energy > 0.0 && (r.x1 - r.x0 > 1 || r.y1 - r.y0 > 1);
      if (cuttable && (pick == regions.size() || r.energy > regions[pick].energy)) pick = i;
    }
    if (pick == regions.size()) break;
    const Region r = regions[pick];
    Region first = r;
    Region second = r;
    cutAtMedian(r, w, h, energy, sums, first, second);
    regions[pick] = first;
    regions.insert(regions.begin() + static_cast<std::ptrdiff_t>(pick) + 1, second);
  }

  for (const Region& r : regions) {
    if (!(r.energy > 0.0)) continue;
    double power[3] = {0.0, 0.0, 0.0};
    double mean[3] = {0.0, 0.0, 0.0};
    for (int y = r.y0; y < r.y1; ++y) {
      const float v = (static_cast<float>(y) + 0.5f) / hf;
      for (int x = r.x0; x < r.x1; ++x) {
        const Rgb& p = image_.at(x, y);
        power[0] += static_cast<double>(p.x) * omega[y];
        power[1] += static_cast<double>(p.y) * omega[y];
        power[2] += static_cast<double>(p.z) * omega[y];
        const double e = energy(x, y);
        if (e > 0.0) {
          const Vec3f d = directionFromLatLong((static_cast<float>(x) + 0.5f) / wf, v);
          mean[0] += e * d.x;
          mean[1] += e * d.y;
          mean[2] += e * d.z;
        }
      }
    }
    Vec3f dir = normalized(Vec3f{static_cast<float>(mean[0]), static_cast<float>(mean[1]),
                                 static_cast<float>(mean[2])});
    // A region whose directions cancel out (a whole band around the axis)
    // has no mean direction: its centre stands for it.
    if (dot(dir, dir) < 0.5f) {
      dir = directionFromLatLong(0.5f * static_cast<float>(r.x0 + r.x1) / wf,
                                 0.5f * static_cast<float>(r.y0 + r.y1) / hf);
    }
    const float k = params_.intensity;
    lights.push_back(
        {fromMap(dir), Rgb{static_cast<float>(power[0]) * k, static_cast<float>(power[1]) * k,
                           static_cast<float>(power[2]) * k}});
  }
  return lights;
}

LatLongImage studioEnvironment(int height) {
  constexpr float kDeg = kPiF / 180.0f;
  // Two tall strips behind the camera, either side, and a long one overhead:
  // a sphere mirrors them, so an anisotropic lobe smears them visibly.
  const StudioBox boxes[] = {
      studioBox({0.65f, 0.25f, 1.0f}, {0, 1, 0}, 38 * kDeg, 4.5f * kDeg, {2.6f, 2.5f, 2.3f}),
      studioBox({-0.75f, 0.2f, 1.0f}, {0, 1, 0}, 32 * kDeg, 3.5f * kDeg, {1.4f, 1.6f, 1.9f}),
      studioBox({0.0f, 1.0f, -0.35f}, {1, 0, 0}, 45 * kDeg, 3.0f * kDeg, {1.8f, 1.8f, 1.8f}),
  };
  LatLongImage image;
  image.height = std::max(height, 2);
  image.width = 2 * image.height;
  image.pixels.resize(static_cast<size_t>(image.width) * image.height);
  // Each texel averages a 2 x 2 grid of directions, so the boxes' soft edges
  // do not alias at small sizes.
  constexpr int kGrid = 2;
  constexpr float kStep = 1.0f / kGrid;
  const float wf = static_cast<float>(image.width);
  const float hf = static_cast<float>(image.height);
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      Rgb sum;
      for (int sy = 0; sy < kGrid; ++sy) {
        for (int sx = 0; sx < kGrid; ++sx) {
          const float u = (static_cast<float>(x) + (static_cast<float>(sx) + 0.5f) * kStep) / wf;
          const float v = (static_cast<float>(y) + (static_cast<float>(sy) + 0.5f) * kStep) / hf;
          sum = sum + studioRadiance(directionFromLatLong(u, v), boxes, std::size(boxes));
        }
      }
      image.pixels[static_cast<size_t>(y) * image.width + x] = sum * (kStep * kStep);
    }
  }
  return image;
}

}  // namespace gwst
