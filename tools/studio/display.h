// What the page is shown of a client's sums: the view's panels (or their
// difference) in linear values, then 8-bit codes through the look: the
// exposure, then the sRGB curve or a view of the studio's OpenColorIO config.
#pragma once

#include <cstdint>
#include <vector>

#include "render.h"
#include "request.h"
#include "view_transform.h"

namespace gwstudio {

// The hosts a view needs, in panel order (Maya on the left).
std::vector<gwp::Host> hostsOf(View view);

// What `view` shows of `sum` (`hosts` side by side, `width` each, over
// `samples` samples), in linear values; the difference times `gain`. False
// when the sums lack a host the view needs.
bool compose(const std::vector<gwp::Rgb>& sum, const std::vector<gwp::Host>& hosts, int width,
             int height, int samples, View view, float gain, gwp::Image& out);

// RGBA codes (alpha 255) of `shown` under `look`, through `transform` (null
// or sRGB: the sRGB curve). The difference view takes no look.
void toRgba(const gwp::Image& shown, View view, const Look& look, const gwp::ViewTransform* transform,
            std::vector<uint8_t>& rgba);

}  // namespace gwstudio
