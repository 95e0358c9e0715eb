#include "display.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "image_io.h"
#include "stage.h"
#include "studio.h"

namespace gwstudio {

using gwp::Host;
using gwp::Image;
using gwp::Rgb;

// The hosts a view needs, in panel order (Maya on the left).
std::vector<Host> hostsOf(View view) {
  switch (view) {
    case View::kMaya:
      return {Host::kMaya};
    case View::kMentalRay:
      return {Host::kMentalRay};
    case View::kSide:
    case View::kDiff:
      break;
  }
  return {Host::kMaya, Host::kMentalRay};
}

// What the view shows of the sums, in linear values.
bool compose(const std::vector<Rgb>& sum, const std::vector<Host>& hosts, int width,
             int height, int samples, View view, float gain, Image& out) {
  const std::vector<Host> want = hostsOf(view);
  auto column = [&](Host h) {
    const auto it = std::find(hosts.begin(), hosts.end(), h);
    return it == hosts.end() ? -1 : static_cast<int>(it - hosts.begin()) * width;
  };
  for (Host h : want) {
    if (column(h) < 0) return false;
  }
  const float inv = samples > 0 ? 1.0f / static_cast<float>(samples) : 0.0f;
  const int rowStride = width * static_cast<int>(hosts.size());
  auto at = [&](int x, int y) {
    return sum[static_cast<size_t>(y) * static_cast<size_t>(rowStride) + static_cast<size_t>(x)];
  };
  if (view == View::kDiff) {
    out = Image(width, height);
    const int m = column(Host::kMaya);
    const int r = column(Host::kMentalRay);
    const float scale = inv * gain;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const Rgb d = at(m + x, y) - at(r + x, y);
        out.at(x, y) = Rgb{std::fabs(d.x), std::fabs(d.y), std::fabs(d.z)} * scale;
      }
    }
    return true;
  }
  out = Image(width * static_cast<int>(want.size()), height);
  for (size_t k = 0; k < want.size(); ++k) {
    const int from = column(want[k]);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        out.at(static_cast<int>(k) * width + x, y) = at(from + x, y) * inv;
      }
    }
  }
  return true;
}

namespace {

// Linear [0, 1] to 8-bit sRGB in steps fine enough that no code is skipped
// where the curve is steepest.
constexpr int kSrgbTableSize = 16384;
const std::array<uint8_t, kSrgbTableSize + 1>& srgbTable() {
  static const auto table = [] {
    std::array<uint8_t, kSrgbTableSize + 1> t{};
    for (int i = 0; i <= kSrgbTableSize; ++i) {
      t[static_cast<size_t>(i)] =
          gwp::toSrgb8(static_cast<float>(i) / static_cast<float>(kSrgbTableSize));
    }
    return t;
  }();
  return table;
}

uint8_t encode(float v, const std::array<uint8_t, kSrgbTableSize + 1>& table) {
  // NaN and negatives go to 0, everything above 1 to 255.
  if (!(v > 0.0f)) return 0;
  if (v >= 1.0f) return 255;
  return table[static_cast<size_t>(v * static_cast<float>(kSrgbTableSize) + 0.5f)];
}

}  // namespace

void encodeRgba(const Rgb* pixels, size_t count, float scale, uint8_t* out) {
  const auto& table = srgbTable();
  for (size_t i = 0; i < count; ++i) {
    out[4 * i + 0] = encode(pixels[i].x * scale, table);
    out[4 * i + 1] = encode(pixels[i].y * scale, table);
    out[4 * i + 2] = encode(pixels[i].z * scale, table);
    out[4 * i + 3] = 255;
  }
}

void toRgba(const Image& shown, View view, const Look& look, const gwp::ViewTransform* transform,
            std::vector<uint8_t>& rgba) {
  const size_t count = shown.pixels.size();
  rgba.resize(count * 4);
  // The difference is shown as it is measured: linear, times the gain.
  if (view == View::kDiff || !transform || transform->isSrgb()) {
    const float scale = view == View::kDiff ? 1.0f : gwp::exposureScale(look.exposure);
    encodeRgba(shown.pixels.data(), count, scale, rgba.data());
    return;
  }
  std::vector<Rgb> exposed(shown.pixels);
  const float scale = gwp::exposureScale(look.exposure);
  for (Rgb& p : exposed) p = p * scale;
  std::vector<unsigned char> rgb(count * 3);
  transform->toDisplay(exposed.data(), count, rgb.data());
  for (size_t i = 0; i < count; ++i) {
    rgba[4 * i + 0] = rgb[3 * i + 0];
    rgba[4 * i + 1] = rgb[3 * i + 1];
    rgba[4 * i + 2] = rgb[3 * i + 2];
    rgba[4 * i + 3] = 255;
  }
}

DiffFigures diffFigures(const std::vector<double>& sum, const std::vector<double>& sumSq,
                        int samples, int passes) {
  DiffFigures f;
  if (sum.empty() || samples <= 0) return f;
  const double n = samples;
  double squares = 0.0;
  double spread = 0.0;
  for (size_t i = 0; i < sum.size(); ++i) {
    const double mean = sum[i] / n;
    if (!std::isfinite(mean)) continue;
    squares += mean * mean;
    f.max = std::max(f.max, std::fabs(mean));
    // Rounding can leave a hair below zero where every pass agreed.
    spread += std::max(0.0, sumSq[i] - sum[i] * mean);
  }
  const double count = static_cast<double>(sum.size());
  f.rmse = std::sqrt(squares / count);
  if (passes >= 2) f.noise = std::sqrt(spread / (static_cast<double>(passes - 1) * n) / count);
  return f;
}

// The config's views, each made ready once: converting is then safe from
// any thread, and a frame costs no lookup in the config.
bool Studio::openLooks(std::string& error) {
  if (options_.ocioConfig.empty()) return true;
  gwp::ViewSettings settings;
  settings.config = options_.ocioConfig;
  settings.configFromEnvironment = options_.ocioFromEnvironment;
  gwp::ViewTransform first;
  if (!first.open(settings, error)) return false;
  for (const std::string& view : first.views()) {
    settings.view = view;
    auto transform = std::make_unique<gwp::ViewTransform>();
    if (!transform->open(settings, error)) return false;
    transformNames_.push_back(view);
    transforms_[view] = std::move(transform);
  }
  if (transformNames_.empty()) {
    error = "the OpenColorIO config " + options_.ocioConfig + " has no view";
    return false;
  }
  return true;
}

float Studio::cameraDistance() const { return stages_->cameraDistance(); }

const gwp::ViewTransform* Studio::transform(const std::string& name) const {
  if (name.empty()) return &srgb_;
  const auto it = transforms_.find(name);
  return it == transforms_.end() ? nullptr : it->second.get();
}

bool Studio::checkRequest(const StudioParams& params, ParamError& error) const {
  if (!transform(params.look.transform)) {
    std::string views;
    for (const std::string& v : transformNames_) views += (views.empty() ? "" : ", ") + v;
    error = {"viewTransform",
             "viewTransform: " +
                 (transformNames_.empty()
                      ? std::string("this studio has no OpenColorIO config (start it with --ocio "
                                    "FILE or the OCIO variable); only the sRGB curve")
                      : "no view '" + params.look.transform + "' in " + options_.ocioConfig +
                            " (its views: " + views + ")")};
    return false;
  }
  return stages_->check(params.stage, error);
}

}  // namespace gwstudio
