// Named looks: a preset is a list of settings in the --set form, applied in
// order through the value rules (so a preset can never hold a value the
// rules refuse). The command line's --preset, the studio's preset menu and
// the preview's floor all take them from here.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "schema.h"

namespace gws {

struct Preset {
  const char* name;
  const char* description;
  std::vector<std::pair<const char*, const char*>> settings;  // name, value
};

const std::vector<Preset>& presets();
const Preset* findPreset(std::string_view name);
constexpr const char* kDefaultPreset = "brushed-metal";

// Applies the preset's settings in order. False with a one-line `error` when
// the schema lacks one of its inputs or refuses a value.
bool applyPreset(Material& material, const Preset& preset, std::string& error);

// The ground's material: a matte grey floor, the same on every render, in
// `schema` (unbound when `schema` is null).
Material floorMaterial(std::shared_ptr<const MaterialSchema> schema);

}  // namespace gws
