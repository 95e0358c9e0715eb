#include "presets.h"

namespace gws {

const std::vector<Preset>& presets() {
  static const std::vector<Preset> list = {
      {"brushed-metal",
       "brushed steel: a bright highlight drawn out across the brushing",
       {{"color", "0.78,0.78,0.8"},
        {"diffuse", "0.12"},
        {"specularU", "600"},
        {"specularV", "12"},
        {"specularPower", "0.85"},
        {"reflectivity", "0.5"},
        {"reflectSamples", "6"}}},
      {"satin",
       "red satin: a soft sheen stretched along the weave",
       {{"color", "0.6,0.1,0.16"},
        {"diffuse", "0.7"},
        {"specularU", "6"},
        {"specularV", "90"},
        {"specularPower", "0.22"},
        {"reflectivity", "0.2"},
        {"reflectSamples", "4"}}},
      {"plastic",
       "blue plastic: isotropic, a tight white highlight",
       {{"color", "0.08,0.25,0.7"},
        {"diffuse", "0.85"},
        {"specularU", "150"},
        {"specularV", "150"},
        {"specularPower", "0.06"},
        {"reflectivity", "0.15"},
        {"reflectSamples", "4"}}},
      {"default", "the node's own defaults (isotropic, exponents 10)", {}},
  };
  return list;
}

const Preset* findPreset(std::string_view name) {
  for (const Preset& p : presets()) {
    if (name == p.name) return &p;
  }
  return nullptr;
}

bool applyPreset(Material& material, const Preset& preset, std::string& error) {
  for (const auto& [name, value] : preset.settings) {
    if (!setValue(material, name, value, error)) {
      error = "preset " + std::string(preset.name) + ": " + error;
      return false;
    }
  }
  return true;
}

Material floorMaterial(std::shared_ptr<const MaterialSchema> schema) {
  static const Preset floor{"floor",
                            "a matte grey floor",
                            {{"color", "0.42,0.42,0.44"},
                             {"ambientColor", "0.12"},  // keeps the far floor from going black
                             {"diffuse", "0.9"},
                             {"specularU", "30"},
                             {"specularV", "30"},
                             {"specularPower", "0.08"},
                             {"reflectivity", "0.25"},
                             {"reflectSamples", "1"}}};
  Material m(std::move(schema));
  std::string error;
  if (m.bound()) applyPreset(m, floor, error);  // every host has these inputs
  return m;
}

}  // namespace gws
