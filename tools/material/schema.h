// The material's inputs as the two deliverables define them, and nowhere
// else: the Maya side's names, short names, kinds, defaults and limits are
// what the plug-in registers when the stand-in Maya host loads it; the mental
// ray side's are what kl4v_glintWeave.mi declares, parsed when it is read.
// Readers, writers, the preview's command line and the studio's controls all
// ask these schemas, never a copy of them.
//
//   Host            the two hosts; every tool names them with this one enum
//   HostSchema      one host's material inputs (and the other names a scene
//                   may use on the node), see maya_schema.h / mi_schema.h
//   MaterialSchema  both hosts' inputs merged by long name
//   Material        one value per merged input
//   parseValue / valueProblem / applySetting
//                   the one set of rules for a value a person types
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gws {

enum class Host { kMaya, kMentalRay };
constexpr std::array<Host, 2> kHosts{Host::kMaya, Host::kMentalRay};
constexpr size_t hostIndex(Host h) { return h == Host::kMaya ? 0 : 1; }
// "maya" or "mentalray", the names the command line uses.
const char* hostName(Host host);

enum class ValueKind { kColor, kVector, kFloat, kInt, kBool };
// "colour", "vector", "float", "int" or "bool".
const char* kindName(ValueKind kind);
// Components a value of the kind has: 3 for colours and vectors, else 1.
constexpr int componentCount(ValueKind k) {
  return k == ValueKind::kColor || k == ValueKind::kVector ? 3 : 1;
}

// A value of any kind. Unused components are 0. Floats hold values exactly
// representable as single precision (the hosts store floats), integers and
// booleans whole numbers (booleans 0 or 1).
using Value = std::array<double, 3>;

// One material input of one host.
struct InputSpec {
  std::string longName;
  std::string shortName;  // Maya's short name; a mental ray `#: shortname` hint, or empty
  ValueKind kind = ValueKind::kFloat;
  // Colours and vectors on the Maya side: the three children's names.
  std::array<std::string, 3> childLong;
  std::array<std::string, 3> childShort;
  Value defaultValue{0, 0, 0};
  std::optional<double> min, max;          // hard limits: the host refuses values beyond
  std::optional<double> softMin, softMax;  // slider range; values beyond are allowed
};

// A name a scene may use on the node that is not a material input: an output
// or render-state attribute (and its children), an attribute every Maya node
// has, or the mental ray shader's light array.
struct OtherName {
  std::string longName;
  std::string shortName;
};

// One parameter of a mental ray declaration, as written: its type ("color",
// "scalar", "array light", "struct", ...) and its name.
struct DeclaredParameter {
  std::string type;
  std::string name;
};

// Where a name used on a node leads.
struct Resolved {
  enum class What { kUnknown, kInput, kOther };
  What what = What::kUnknown;
  int input = -1;      // index into HostSchema::inputs
  int component = -1;  // a child of a colour or vector (0..2), or -1 for the whole input
};

struct HostSchema {
  Host host = Host::kMaya;
  std::string source;    // the plug-in or the .mi file the schema was read from
  std::string nodeType;  // "glintWeave" / "kl4v_glintWeave"
  // Maya: the plug-in's file stem and version, for `requires`. mental ray:
  // the declaration's version and result type.
  std::string pluginName;
  std::string version;
  std::string resultType;
  std::vector<InputSpec> inputs;  // in the host's order
  std::vector<OtherName> others;
  std::vector<DeclaredParameter> declaration;  // mental ray: every parameter, in order

  // By long or short name, of an input, an input's child, or another name.
  Resolved resolve(std::string_view name) const;
  int findInput(std::string_view longName) const;
};

// ---- both hosts ----------------------------------------------------------------

struct MaterialInput {
  std::string name;  // the long name both hosts share
  ValueKind kind = ValueKind::kFloat;
  Value defaultValue{0, 0, 0};
  // Index into each host's HostSchema::inputs, or -1 when the host lacks it.
  std::array<int, 2> hostInput{-1, -1};

  bool in(Host h) const { return hostInput[hostIndex(h)] >= 0; }
};

class MaterialSchema {
 public:
  // Merges the hosts' inputs by long name: Maya's first in its order, then
  // the inputs only mental ray has, in its order. Either schema may be
  // missing (a build or a run without that host). An input both hosts have
  // must have the same kind in both; a default that differs is taken from
  // Maya. Null with a one-line `error` when the kinds disagree or neither
  // schema is given.
  static std::shared_ptr<const MaterialSchema> merge(std::shared_ptr<const HostSchema> maya,
                                                     std::shared_ptr<const HostSchema> mentalray,
                                                     std::string& error);

  const std::vector<MaterialInput>& inputs() const { return inputs_; }
  size_t size() const { return inputs_.size(); }
  const MaterialInput& operator[](size_t i) const { return inputs_[i]; }
  // Index of the input with that long name, or -1.
  int find(std::string_view name) const;
  // Null when the host's schema was not loaded.
  const HostSchema* host(Host h) const { return hosts_[hostIndex(h)].get(); }
  bool has(Host h) const { return host(h) != nullptr; }
  // The host's spec of merged input `i` (null when the host lacks it).
  const InputSpec* spec(Host h, size_t i) const;
  // The merged index of the host's input `hostInput`.
  int mergedIndex(Host h, size_t hostInput) const { return merged_[hostIndex(h)][hostInput]; }

 private:
  std::array<std::shared_ptr<const HostSchema>, 2> hosts_;
  std::vector<MaterialInput> inputs_;
  std::array<std::vector<int>, 2> merged_;
};

// One value per input of a MaterialSchema.
class Material {
 public:
  Material() = default;  // bound to no schema; holds nothing
  explicit Material(std::shared_ptr<const MaterialSchema> schema);  // every input at its default

  bool bound() const { return schema_ != nullptr; }
  const MaterialSchema& schema() const { return *schema_; }
  const std::shared_ptr<const MaterialSchema>& schemaPtr() const { return schema_; }
  size_t size() const { return values_.size(); }
  Value& operator[](size_t i) { return values_[i]; }
  const Value& operator[](size_t i) const { return values_[i]; }
  // By long name; throws std::out_of_range for a name the schema lacks.
  Value& at(std::string_view name);
  const Value& at(std::string_view name) const;
  // The first component as a float (floats, ints, booleans).
  float scalar(std::string_view name) const { return static_cast<float>(at(name)[0]); }
  // Same inputs (the same schema) and the same values, bit for bit: what
  // decides whether a render of one can stand for the other.
  // (-0 and 0 differ, as they may in a render; every value is finite.)
  bool operator==(const Material& o) const;
  bool operator!=(const Material& o) const { return !(*this == o); }

 private:
  std::shared_ptr<const MaterialSchema> schema_;
  std::vector<Value> values_;
};

// ---- values -------------------------------------------------------------------------

// The rules for a value a person gives, on the command line or in the studio.
// `text` takes the command line's forms: a number; "r,g,b" (or "r:g:b") for
// colours and vectors, or one number for a grey colour; 1/0, true/false,
// on/off, yes/no for booleans. On success `out` holds the value as the host
// stores it and valueProblem() found nothing. False with a one-line `error`
// that does not name the input.
bool parseValue(const MaterialSchema& schema, size_t input, std::string_view text, Value& out,
                std::string& error);

// Empty when `v` is acceptable for input `input`, otherwise why not (one
// line, without the input's name). The rules, in this order:
//  - every component is finite and fits the host's type (single-precision
//    float, 32-bit integer, boolean 0 or 1);
//  - no component lies beyond a hard limit of a host that has the input;
//  - no component lies below a soft minimum: every soft minimum the
//    deliverables declare marks where the shading model stops making sense
//    (negative reflectance, negative lobe exponents, fewer than one sample),
//    and below it the shader returns negative or non-finite light. Soft
//    maxima are slider ranges only and are not enforced;
//  - colour components are not negative.
std::string valueProblem(const MaterialSchema& schema, size_t input, const Value& v);

// The part of valueProblem() a host itself enforces: finite, the type's
// range, hard limits. What a scene file of `host` may hold. Without a host,
// the limits of every host that has the input apply.
std::string hostValueProblem(const MaterialSchema& schema, size_t input, const Value& v,
                             std::optional<Host> host = std::nullopt);

// Sets input `name` from `text` by the rules above. False with a one-line
// `error` of the form "NAME: why", or unknownInputMessage().
bool setValue(Material& material, std::string_view name, std::string_view text,
              std::string& error);

// The candidate nearest to `name` by edit distance, letters compared
// without case, or "" when none is near enough to be what was meant.
std::string nearestName(std::string_view name, const std::vector<std::string>& candidates);
// "unknown material input 'NAME' (did you mean NEAR? see --list)", without
// the suggestion when no input is near.
std::string unknownInputMessage(const MaterialSchema* schema, std::string_view name);

// The version of the glintWeave tools, the one both command lines print.
const char* toolsVersion();
// "name=value" with setValue's rules.
bool applySetting(Material& material, std::string_view assignment, std::string& error);

// A value as the command line takes it back ("0.2,0.4,0.8", "200", "1"). Floats
// are written in the fewest digits that read back to the same float.
std::string formatValue(ValueKind kind, const Value& v);
// One float in the fewest digits that read back to it exactly.
std::string formatFloat(float f);

// One component of a value of `kind` as scene files and the command line
// write it: a float (rounded once to single precision) for colours, vectors
// and floats, a whole number for ints, and for booleans 1/0, true/false,
// on/off, yes/no. False for anything else (ranges are not checked here).
bool parseComponent(ValueKind kind, std::string_view text, double& out);

// `d` as the host stores a value of `kind`: rounded to single precision
// (beyond its range: an infinity), cut to a whole number within 32 bits, or
// 0/1. Never undefined, whatever `d` is.
double storedValue(ValueKind kind, double d);
// `d` rounded to single precision; beyond its range, an infinity of d's sign.
float toFloat(double d);

// Reads a number as the hosts write them: optional sign, digits, optional
// fraction and exponent ("1e+20", "-0", ".5", "7"). The whole of `text`
// must be the number. No locale.
bool parseNumber(std::string_view text, double& out);

}  // namespace gws
