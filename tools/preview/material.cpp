#include "material.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace gwp {
namespace {

constexpr float kHuge = 1e6f;  // beyond any useful value, still far from overflow

bool parseFloat(std::string_view text, float& out) {
  const std::string s(text);
  if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const float v = std::strtof(s.c_str(), &end);
  if (end != s.c_str() + s.size() || errno == ERANGE || !std::isfinite(v)) return false;
  out = v;
  return true;
}

std::vector<std::string_view> splitComponents(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ',' || text[i] == ':') {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

std::string formatFloat(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", static_cast<double>(v));
  return buf;
}

}  // namespace

const std::array<MaterialInput, kInputCount>& materialInputs() {
  static const std::array<MaterialInput, kInputCount> inputs = {{
      {"color", InputKind::kColor, true, true, {0.5f, 0.5f, 0.5f}, 0, kHuge, "surface colour"},
      {"transparency", InputKind::kColor, true, false, {0, 0, 0}, 0, 1, "transparency (Maya only)"},
      {"ambientColor", InputKind::kColor, true, true, {0, 0, 0}, 0, kHuge, "ambient colour"},
      {"incandescence", InputKind::kColor, true, true, {0, 0, 0}, 0, kHuge, "self-illumination"},
      {"diffuse", InputKind::kFloat, true, true, {0.8f, 0, 0}, 0, kHuge, "diffuse reflectance"},
      {"specularU",
       InputKind::kFloat,
       true,
       true,
       {10, 0, 0},
       0,
       kHuge,
       "lobe exponent along the first tangent"},
      {"specularV",
       InputKind::kFloat,
       true,
       true,
       {10, 0, 0},
       0,
       kHuge,
       "lobe exponent along the second tangent"},
      {"specularPower",
       InputKind::kFloat,
       true,
       true,
       {0.5f, 0, 0},
       0,
       1,
       "specular reflectance at normal incidence"},
      {"reflectivity",
       InputKind::kFloat,
       true,
       true,
       {0.5f, 0, 0},
       0,
       kHuge,
       "strength of the glossy reflection"},
      {"reflectSamples",
       InputKind::kInt,
       true,
       true,
       {1, 0, 0},
       1,
       1024,
       "glossy reflection rays per shading sample"},
      {"normalOffset",
       InputKind::kVector,
       false,
       true,
       {0, 0, 0},
       -kHuge,
       kHuge,
       "added to the normal (mental ray only)"},
      {"indirect",
       InputKind::kBool,
       false,
       true,
       {0, 0, 0},
       0,
       1,
       "add the irradiance term (mental ray only)"},
      {"indirectColor",
       InputKind::kColor,
       false,
       true,
       {1, 1, 1},
       0,
       kHuge,
       "tint of the irradiance term (mental ray only)"},
      {"indirectIntensity",
       InputKind::kFloat,
       false,
       true,
       {1, 0, 0},
       0,
       kHuge,
       "scale of the irradiance term (mental ray only)"},
  }};
  return inputs;
}

int findInput(std::string_view name) {
  const auto& inputs = materialInputs();
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (name == inputs[i].name) return static_cast<int>(i);
  }
  return -1;
}

Material::Material() {
  const auto& inputs = materialInputs();
  for (size_t i = 0; i < inputs.size(); ++i) value[i] = inputs[i].defaultValue;
}

bool parseInputValue(InputId id, std::string_view text, std::array<float, 3>& out,
                     std::string& error) {
  const MaterialInput& input = materialInputs()[static_cast<size_t>(id)];
  std::array<float, 3> v{0, 0, 0};
  switch (input.kind) {
    case InputKind::kBool:
      if (text == "1" || text == "true" || text == "on" || text == "yes") {
        v[0] = 1;
      } else if (text == "0" || text == "false" || text == "off" || text == "no") {
        v[0] = 0;
      } else {
        error = "'" + std::string(text) + "' is not a boolean (use 1/0, true/false, on/off)";
        return false;
      }
      out = v;
      return true;
    case InputKind::kInt: {
      const std::string s(text);
      char* end = nullptr;
      errno = 0;
      const long n = s.empty() ? 0 : std::strtol(s.c_str(), &end, 10);
      if (s.empty() || end != s.c_str() + s.size() || errno == ERANGE) {
        error = "'" + s + "' is not an integer";
        return false;
      }
      if (n < static_cast<long>(input.min) || n > static_cast<long>(input.max)) {
        error =
            s + " is out of range [" + formatFloat(input.min) + ", " + formatFloat(input.max) + "]";
        return false;
      }
      v[0] = static_cast<float>(n);
      break;
    }
    case InputKind::kFloat:
      if (!parseFloat(text, v[0])) {
        error = "'" + std::string(text) + "' is not a finite number";
        return false;
      }
      break;
    case InputKind::kColor:
    case InputKind::kVector: {
      const auto parts = splitComponents(text);
      const bool grey = parts.size() == 1 && input.kind == InputKind::kColor;
      if (parts.size() != 3 && !grey) {
        error = "'" + std::string(text) + "' needs three components r,g,b" +
                (input.kind == InputKind::kColor ? " (or one grey value)" : "");
        return false;
      }
      for (size_t i = 0; i < parts.size(); ++i) {
        if (!parseFloat(parts[i], v[i])) {
          error = "'" + std::string(parts[i]) + "' is not a finite number";
          return false;
        }
      }
      if (grey) v[1] = v[2] = v[0];
      break;
    }
  }
  for (float c : v) {
    if (input.kind != InputKind::kBool && (c < input.min || c > input.max)) {
      error = formatFloat(c) + " is out of range [" + formatFloat(input.min) + ", " +
              formatFloat(input.max) + "]";
      return false;
    }
    if (input.kind == InputKind::kFloat || input.kind == InputKind::kInt) break;
  }
  out = v;
  return true;
}

bool applySetting(Material& material, std::string_view assignment, std::string& error) {
  const size_t eq = assignment.find('=');
  if (eq == std::string_view::npos) {
    error = "expected name=value, got '" + std::string(assignment) + "'";
    return false;
  }
  const std::string_view name = assignment.substr(0, eq);
  const int id = findInput(name);
  if (id < 0) {
    error = "unknown material input '" + std::string(name) + "' (see --list)";
    return false;
  }
  std::string why;
  if (!parseInputValue(static_cast<InputId>(id), assignment.substr(eq + 1),
                       material.value[static_cast<size_t>(id)], why)) {
    error = std::string(name) + ": " + why;
    return false;
  }
  return true;
}

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

Material floorMaterial() {
  Material m;
  m.value[kColor] = {0.42f, 0.42f, 0.44f};
  m.value[kAmbientColor] = {0.12f, 0.12f, 0.12f};  // keeps the far floor from going black
  m.value[kDiffuse][0] = 0.9f;
  m.value[kSpecularU][0] = 30.0f;
  m.value[kSpecularV][0] = 30.0f;
  m.value[kSpecularPower][0] = 0.08f;
  m.value[kReflectivity][0] = 0.25f;
  m.value[kReflectSamples][0] = 1.0f;
  return m;
}

std::string formatValue(InputId id, const std::array<float, 3>& v) {
  const MaterialInput& input = materialInputs()[static_cast<size_t>(id)];
  switch (input.kind) {
    case InputKind::kBool:
      return v[0] != 0 ? "1" : "0";
    case InputKind::kInt:
    case InputKind::kFloat:
      return formatFloat(v[0]);
    case InputKind::kColor:
    case InputKind::kVector:
      break;
  }
  return formatFloat(v[0]) + "," + formatFloat(v[1]) + "," + formatFloat(v[2]);
}

}  // namespace gwp
