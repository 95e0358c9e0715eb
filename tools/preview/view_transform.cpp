#include "view_transform.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "image_io.h"

#ifdef GLINTWEAVE_PREVIEW_OCIO
#include <OpenColorIO/OpenColorIO.h>
namespace OCIO = OCIO_NAMESPACE;
#endif

namespace gwp {
namespace {

// A config is a small text file; anything far larger is not one (and a
// device such as /dev/zero would never end).
constexpr off_t kMaxConfigBytes = 16 << 20;

unsigned char toCode(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 1.0f) return 255;
  return static_cast<unsigned char>(std::lround(v * 255.0f));
}

}  // namespace

#ifdef GLINTWEAVE_PREVIEW_OCIO
struct ViewTransform::Impl {
  OCIO::ConstCPUProcessorRcPtr cpu;
};
#else
struct ViewTransform::Impl {};
#endif

ViewTransform::ViewTransform() = default;
ViewTransform::~ViewTransform() = default;

bool ocioSupported() {
#ifdef GLINTWEAVE_PREVIEW_OCIO
  return true;
#else
  return false;
#endif
}

float exposureScale(double ev) { return static_cast<float>(std::exp2(ev)); }

bool ViewTransform::open(const ViewSettings& settings, std::string& error) {
  impl_.reset();
  name_ = "sRGB";
  views_.clear();
  if (!settings.usesConfig()) return true;
  const std::string& path = settings.config;
  const std::string from = settings.configFromEnvironment ? " (from the OCIO variable)" : "";
  const std::string what = "the OpenColorIO config " + path + from;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    error = "cannot read " + what + ": no such file";
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "cannot read " + what + ": not a regular file";
    return false;
  }
  if (st.st_size > kMaxConfigBytes) {
    error = "cannot read " + what + ": larger than 16 MiB, not a config";
    return false;
  }
#ifdef GLINTWEAVE_PREVIEW_OCIO
  try {
    // The library's own messages would add lines to the one this tool
    // prints; what fails is reported through the exception.
    OCIO::SetLoggingLevel(OCIO::LOGGING_LEVEL_NONE);
    OCIO::ConstConfigRcPtr config = OCIO::Config::CreateFromFile(path.c_str());
    config->validate();
    std::string display = config->getDefaultDisplay();
    std::string view = settings.view;
    // The default display first, then the others in the config's order.
    std::vector<std::string> displays{display};
    for (int i = 0; i < config->getNumDisplays(); ++i) {
      const std::string d = config->getDisplay(i);
      if (d != display) displays.push_back(d);
    }
    std::vector<std::string> views;
    std::string viewDisplay;
    for (const std::string& d : displays) {
      for (int i = 0; i < config->getNumViews(d.c_str()); ++i) {
        const std::string v = config->getView(d.c_str(), i);
        if (v == view && viewDisplay.empty()) viewDisplay = d;
        if (std::find(views.begin(), views.end(), v) == views.end()) views.push_back(v);
      }
    }
    views_ = views;
    if (view.empty()) {
      view = config->getDefaultView(display.c_str());
    } else {
      display = viewDisplay;
      if (display.empty()) {
        std::string list;
        for (const std::string& v : views) list += (list.empty() ? "" : ", ") + v;
        error = "--view: " + what + " has no view '" + view +
                "'; its views: " + (list.empty() ? "none" : list);
        return false;
      }
    }
    if (view.empty()) {
      error = "cannot use " + what + ": it has no display with a view";
      return false;
    }
    auto transform = OCIO::DisplayViewTransform::Create();
    transform->setSrc(OCIO::ROLE_SCENE_LINEAR);
    transform->setDisplay(display.c_str());
    transform->setView(view.c_str());
    auto impl = std::make_unique<Impl>();
    impl->cpu = config->getProcessor(transform)->getDefaultCPUProcessor();
    impl_ = std::move(impl);
    name_ = display + " / " + view;
  } catch (const std::exception& e) {
    std::string why = e.what();
    std::replace(why.begin(), why.end(), '\n', ' ');
    error = "cannot use " + what + ": " + why;
    return false;
  }
  return true;
#else
  error = "cannot use " + what +
          ": this build has no OpenColorIO (install libopencolorio-dev "
          "and rebuild)";
  return false;
#endif
}

void ViewTransform::toDisplay(const Rgb* pixels, size_t count, unsigned char* out) const {
#ifdef GLINTWEAVE_PREVIEW_OCIO
  if (impl_) {
    std::vector<float> row(count * 3);
    for (size_t i = 0; i < count; ++i) {
      row[i * 3] = pixels[i].x;
      row[i * 3 + 1] = pixels[i].y;
      row[i * 3 + 2] = pixels[i].z;
    }
    OCIO::PackedImageDesc desc(row.data(), static_cast<long>(count), 1, 3);
    impl_->cpu->apply(desc);
    for (size_t i = 0; i < count * 3; ++i) out[i] = toCode(row[i]);
    return;
  }
#endif
  for (size_t i = 0; i < count; ++i) {
    out[i * 3] = toSrgb8(pixels[i].x);
    out[i * 3 + 1] = toSrgb8(pixels[i].y);
    out[i * 3 + 2] = toSrgb8(pixels[i].z);
  }
}

}  // namespace gwp
