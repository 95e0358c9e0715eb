// Material inputs as the user names them: the long names of the Maya node's
// attributes and of the mental ray shader's parameters, merged by name, read
// from the deliverables themselves (see tools/scene/schema.h). A Material
// holds one value per input; each host backend hands over the inputs its
// deliverable has and leaves out the others.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "schema.h"
#include "schemas.h"

namespace gwp {

using gws::applySetting;
using gws::formatValue;
using gws::MaterialInput;
using gws::MaterialSchema;
using gws::parseValue;
using gws::Value;
using gws::ValueKind;

// This build's deliverables' schema (both hosts, as far as they are built),
// loaded on first use. Null when neither deliverable could be read; `error`
// (if given) then says why.
std::shared_ptr<const MaterialSchema> buildSchema(std::string* error = nullptr);

// A material of the preview: a gws::Material that, made without a schema,
// takes this build's schema with every input at its default.
class Material : public gws::Material {
 public:
  Material();
  explicit Material(std::shared_ptr<const MaterialSchema> schema)
      : gws::Material(std::move(schema)) {}
  Material(const gws::Material& m) : gws::Material(m) {}  // NOLINT: a scene's material as is
};

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
bool applyPreset(gws::Material& material, const Preset& preset, std::string& error);

// The ground's material: a matte grey floor, the same on every render, in
// `schema` (this build's when not given).
Material floorMaterial(std::shared_ptr<const MaterialSchema> schema = nullptr);

}  // namespace gwp
