// What a PNG shows of the linear image: exposure, then a view transform.
// The default view is the sRGB standard curve (toSrgb8); an OpenColorIO
// config's view, through Debian's OpenColorIO library, replaces it on
// request. OpenEXR output is neither exposed nor transformed: it keeps the
// rendered linear values.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "vec3.h"

namespace gwp {

struct ViewSettings {
  double exposure = 0.0;  // stops: the image is scaled by 2^exposure
  // An OpenColorIO config file, and a view of it: the first display (the
  // default display first) that has that view. Without a config the view is
  // the sRGB curve; a config without a view gives its default display's
  // default view.
  std::string config;
  std::string view;
  bool configFromEnvironment = false;  // `config` is the OCIO variable's

  bool usesConfig() const { return !config.empty(); }
};

// The view transform of one run, made ready once: the config read and
// checked, the processor built. Converting is then safe from any thread.
class ViewTransform {
 public:
  ViewTransform();  // the sRGB curve
  ~ViewTransform();
  ViewTransform(const ViewTransform&) = delete;
  ViewTransform& operator=(const ViewTransform&) = delete;

  // Reads the config of `settings`, if any. False with a one-line `error`
  // that names the file (an unreadable or invalid config, a build without
  // OpenColorIO) or the config's views (an unknown view).
  bool open(const ViewSettings& settings, std::string& error);

  // 8-bit display codes (r, g, b per pixel) of `count` linear pixels,
  // exposure not included.
  void toDisplay(const Rgb* pixels, size_t count, unsigned char* out) const;

  // Whether the codes are sRGB (the default view), which a PNG may declare.
  bool isSrgb() const { return impl_ == nullptr; }
  // "display / view" of the config, or "sRGB".
  const std::string& name() const { return name_; }
  // Every view of the config's displays, the default display's first, each
  // once: what open() takes as a view. Empty without a config.
  const std::vector<std::string>& views() const { return views_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string name_ = "sRGB";
  std::vector<std::string> views_;
};

// Whether this build can read OpenColorIO configs.
bool ocioSupported();

// 2^ev as a float factor.
float exposureScale(double ev);

}  // namespace gwp
