// Material inputs as the user names them: the Maya node's attribute long names,
// which the mental ray shader's parameters share where they play the same
// role. A Material holds one value per input; each host backend hands over
// the inputs its deliverable has and leaves out the others.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gwp {

enum class InputKind { kColor, kVector, kFloat, kInt, kBool };

struct MaterialInput {
  const char* name;
  InputKind kind;
  bool maya;       // an attribute of the Maya node
  bool mentalray;  // a parameter of the mental ray shader
  std::array<float, 3> defaultValue;
  float min;  // accepted range of every component
  float max;
  const char* description;
};

// Indices into materialInputs(), in its order.
enum InputId : int {
  kColor,
  kTransparency,
  kAmbientColor,
  kIncandescence,
  kDiffuse,
  kSpecularU,
  kSpecularV,
  kSpecularPower,
  kReflectivity,
  kReflectSamples,
  kNormalOffset,
  kIndirect,
  kIndirectColor,
  kIndirectIntensity,
  kInputCount
};

const std::array<MaterialInput, kInputCount>& materialInputs();

// The index of the input called `name`, or -1.
int findInput(std::string_view name);

struct Material {
  std::array<std::array<float, 3>, kInputCount> value;

  Material();  // every input at its default
  float scalar(InputId id) const { return value[static_cast<size_t>(id)][0]; }
  const std::array<float, 3>& triple(InputId id) const { return value[static_cast<size_t>(id)]; }
};

// Parses `text` as a value of input `id` into `out`; on failure returns false
// and says why in `error` (one line, without the input's name).
bool parseInputValue(InputId id, std::string_view text, std::array<float, 3>& out,
                     std::string& error);

// Applies "name=value"; on failure returns false with a one-line `error`.
bool applySetting(Material& material, std::string_view assignment, std::string& error);

struct Preset {
  const char* name;
  const char* description;
  std::vector<std::pair<const char*, const char*>> settings;  // name, value
};

const std::vector<Preset>& presets();
const Preset* findPreset(std::string_view name);
constexpr const char* kDefaultPreset = "brushed-metal";

// The ground's material: a matte grey floor, the same on every render.
Material floorMaterial();

// The node's value of a bool or int input, as the host stores it.
inline int asInt(float v) { return static_cast<int>(v); }

std::string formatValue(InputId id, const std::array<float, 3>& v);

}  // namespace gwp
