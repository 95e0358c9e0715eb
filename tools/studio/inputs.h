// What the page is told when it starts (GET /api/inputs): every input of
// both hosts as the deliverables define them, with the guide's one-line
// descriptions; the presets; the stage's choices (shapes, environments, the
// config's views) and the upload bound; the request limits.
#pragma once

#include <nlohmann/json.hpp>

#include "studio.h"

namespace gwstudio {

nlohmann::json controlsJson(const Studio& studio);

}  // namespace gwstudio
