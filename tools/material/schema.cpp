#include "schema.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "scan.h"  // wellFormedNumber

namespace gws {
namespace {

std::string_view withoutPlus(std::string_view t) {
  return !t.empty() && t[0] == '+' ? t.substr(1) : t;
}

// One component of kind `kind` from `text`, rounded once to the host's type.
// False with `why` (one line).
bool parseComponentWhy(ValueKind kind, std::string_view text, double& out, std::string& why) {
  const std::string_view t = withoutPlus(text);
  if (kind == ValueKind::kInt) {
    int64_t n = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), n);
    if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size() ||
        (text.size() > 1 && text[0] == '+' && (text[1] == '+' || text[1] == '-'))) {
      why = "'" + std::string(text) + "' is not an integer";
      return false;
    }
    out = static_cast<double>(n);  // beyond 32 bits: refused by the range rules
    return true;
  }
  float f = 0.0f;
  if (!wellFormedNumber(text)) {
    why = "'" + std::string(text) + "' is not a finite number";
    return false;
  }
  const auto r = std::from_chars(t.data(), t.data() + t.size(), f);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size() || !std::isfinite(f)) {
    why = "'" + std::string(text) + "' is not a finite number";
    return false;
  }
  out = static_cast<double>(f) + 0.0;  // -0 is kept as 0: no value prints as -0
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

std::string formatNumber(double v, ValueKind kind) {
  if (kind == ValueKind::kFloat || kind == ValueKind::kColor || kind == ValueKind::kVector ||
      !(std::fabs(v) < 9e18)) {
    return formatFloat(toFloat(v));
  }
  return std::to_string(static_cast<long long>(v));
}

}  // namespace

const char* hostName(Host host) { return host == Host::kMaya ? "maya" : "mentalray"; }

const char* kindName(ValueKind kind) {
  switch (kind) {
    case ValueKind::kColor:
      return "colour";
    case ValueKind::kVector:
      return "vector";
    case ValueKind::kFloat:
      return "float";
    case ValueKind::kInt:
      return "int";
    case ValueKind::kBool:
      return "bool";
  }
  return "?";
}

Resolved HostSchema::resolve(std::string_view name) const {
  Resolved r;
  if (name.empty()) return r;
  for (size_t i = 0; i < inputs.size(); ++i) {
    const InputSpec& in = inputs[i];
    if (name == in.longName || (!in.shortName.empty() && name == in.shortName)) {
      r.what = Resolved::What::kInput;
      r.input = static_cast<int>(i);
      return r;
    }
    for (int c = 0; c < 3; ++c) {
      if ((!in.childLong[c].empty() && name == in.childLong[c]) ||
          (!in.childShort[c].empty() && name == in.childShort[c])) {
        r.what = Resolved::What::kInput;
        r.input = static_cast<int>(i);
        r.component = c;
        return r;
      }
    }
  }
  for (const OtherName& o : others) {
    if (name == o.longName || (!o.shortName.empty() && name == o.shortName)) {
      r.what = Resolved::What::kOther;
      return r;
    }
  }
  return r;
}

int HostSchema::findInput(std::string_view longName) const {
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (inputs[i].longName == longName) return static_cast<int>(i);
  }
  return -1;
}

std::shared_ptr<const MaterialSchema> MaterialSchema::merge(
    std::shared_ptr<const HostSchema> maya, std::shared_ptr<const HostSchema> mentalray,
    std::string& error) {
  if (!maya && !mentalray) {
    error = "no material schema: neither the Maya plug-in nor the mental ray declaration was read";
    return nullptr;
  }
  auto s = std::make_shared<MaterialSchema>();
  s->hosts_ = {std::move(maya), std::move(mentalray)};
  for (Host h : kHosts) {
    const HostSchema* hs = s->hosts_[hostIndex(h)].get();
    if (!hs) continue;
    auto& merged = s->merged_[hostIndex(h)];
    for (size_t i = 0; i < hs->inputs.size(); ++i) {
      const InputSpec& spec = hs->inputs[i];
      int at = s->find(spec.longName);
      if (at < 0) {
        MaterialInput in;
        in.name = spec.longName;
        in.kind = spec.kind;
        in.defaultValue = spec.defaultValue;
        s->inputs_.push_back(in);
        at = static_cast<int>(s->inputs_.size() - 1);
      } else if (s->inputs_[static_cast<size_t>(at)].kind != spec.kind) {
        error = "the hosts disagree on " + spec.longName + ": a " +
                kindName(s->inputs_[static_cast<size_t>(at)].kind) + " on the Maya node, a " +
                kindName(spec.kind) + " in the mental ray declaration";
        return nullptr;
      }
      s->inputs_[static_cast<size_t>(at)].hostInput[hostIndex(h)] = static_cast<int>(i);
      merged.push_back(at);
    }
  }
  return s;
}

int MaterialSchema::find(std::string_view name) const {
  for (size_t i = 0; i < inputs_.size(); ++i) {
    if (inputs_[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

const InputSpec* MaterialSchema::spec(Host h, size_t i) const {
  const int at = inputs_[i].hostInput[hostIndex(h)];
  if (at < 0 || !host(h)) return nullptr;
  return &host(h)->inputs[static_cast<size_t>(at)];
}

Material::Material(std::shared_ptr<const MaterialSchema> schema) : schema_(std::move(schema)) {
  if (!schema_) return;
  for (const MaterialInput& in : schema_->inputs()) values_.push_back(in.defaultValue);
}

bool Material::operator==(const Material& o) const {
  return schema_ == o.schema_ && values_.size() == o.values_.size() &&
         (values_.empty() ||
          std::memcmp(values_.data(), o.values_.data(), values_.size() * sizeof(Value)) == 0);
}

Value& Material::at(std::string_view name) {
  const int i = schema_ ? schema_->find(name) : -1;
  if (i < 0) throw std::out_of_range("no material input " + std::string(name));
  return values_[static_cast<size_t>(i)];
}

const Value& Material::at(std::string_view name) const {
  return const_cast<Material*>(this)->at(name);
}

// ---- values ---------------------------------------------------------------------------

float toFloat(double d) {
  if (std::isnan(d)) return std::numeric_limits<float>::quiet_NaN();
  if (std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max())) {
    return std::copysign(std::numeric_limits<float>::infinity(), static_cast<float>(d > 0 ? 1 : -1));
  }
  return static_cast<float>(d);
}

double storedValue(ValueKind kind, double d) {
  switch (kind) {
    case ValueKind::kBool:
      return d != 0.0 ? 1.0 : 0.0;
    case ValueKind::kInt:
      if (std::isnan(d)) return 0.0;
      return std::trunc(std::clamp(d, static_cast<double>(std::numeric_limits<int32_t>::min()),
                                   static_cast<double>(std::numeric_limits<int32_t>::max())));
    default:
      // + 0.0 turns -0 into 0 (and leaves every other value alone): a value
      // read from a scene or typed never comes back as -0.
      return static_cast<double>(toFloat(d)) + 0.0;
  }
}

std::string formatFloat(float f) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, f);
  return std::string(buf, r.ptr);
}

bool parseComponent(ValueKind kind, std::string_view text, double& out) {
  if (kind == ValueKind::kBool) {
    if (text == "1" || text == "true" || text == "on" || text == "yes") {
      out = 1.0;
    } else if (text == "0" || text == "false" || text == "off" || text == "no") {
      out = 0.0;
    } else {
      return false;
    }
    return true;
  }
  std::string why;
  return parseComponentWhy(kind, text, out, why);
}

bool parseNumber(std::string_view text, double& out) {
  if (!wellFormedNumber(text)) return false;
  const std::string_view t = withoutPlus(text);
  const auto r = std::from_chars(t.data(), t.data() + t.size(), out);
  return r.ec == std::errc() && r.ptr == t.data() + t.size();
}

std::string hostValueProblem(const MaterialSchema& schema, size_t input, const Value& v,
                             std::optional<Host> only) {
  const MaterialInput& in = schema[input];
  const int n = componentCount(in.kind);
  for (int c = 0; c < n; ++c) {
    const double x = v[static_cast<size_t>(c)];
    const std::string shown = formatNumber(x, in.kind);
    switch (in.kind) {
      case ValueKind::kBool:
        if (x != 0.0 && x != 1.0) return shown + " is not a boolean (use 1/0, true/false, on/off)";
        break;
      case ValueKind::kInt:
        if (x != std::floor(x) || x < std::numeric_limits<int32_t>::min() ||
            x > std::numeric_limits<int32_t>::max()) {
          return shown + " is not a 32-bit integer";
        }
        break;
      default:
        if (!std::isfinite(x) || std::fabs(x) > std::numeric_limits<float>::max()) {
          return shown + " is not a finite number";
        }
        break;
    }
    for (Host h : kHosts) {
      const InputSpec* spec = schema.spec(h, input);
      if (!spec || (only && *only != h)) continue;
      if (spec->min && x < *spec->min) {
        return shown + " is out of range: below " + hostName(h) + "'s minimum " +
               formatNumber(*spec->min, in.kind);
      }
      if (spec->max && x > *spec->max) {
        return shown + " is out of range: above " + hostName(h) + "'s maximum " +
               formatNumber(*spec->max, in.kind);
      }
    }
  }
  return {};
}

std::string valueProblem(const MaterialSchema& schema, size_t input, const Value& v) {
  if (std::string why = hostValueProblem(schema, input, v); !why.empty()) return why;
  const MaterialInput& in = schema[input];
  const int n = componentCount(in.kind);
  for (int c = 0; c < n; ++c) {
    const double x = v[static_cast<size_t>(c)];
    for (Host h : kHosts) {
      const InputSpec* spec = schema.spec(h, input);
      if (spec && spec->softMin && x < *spec->softMin) {
        return formatNumber(x, in.kind) + " is out of range: below " +
               formatNumber(*spec->softMin, in.kind) + ", where the shading stops making sense";
      }
    }
    if (in.kind == ValueKind::kColor && x < 0.0) {
      return formatNumber(x, in.kind) + " is out of range: colours take values from 0 up";
    }
  }
  return {};
}

bool parseValue(const MaterialSchema& schema, size_t input, std::string_view text, Value& out,
                std::string& error) {
  const MaterialInput& in = schema[input];
  Value v{0, 0, 0};
  switch (in.kind) {
    case ValueKind::kBool:
      if (text == "1" || text == "true" || text == "on" || text == "yes") {
        v[0] = 1;
      } else if (text == "0" || text == "false" || text == "off" || text == "no") {
        v[0] = 0;
      } else {
        error = "'" + std::string(text) + "' is not a boolean (use 1/0, true/false, on/off)";
        return false;
      }
      break;
    case ValueKind::kInt:
    case ValueKind::kFloat:
      if (!parseComponentWhy(in.kind, text, v[0], error)) return false;
      break;
    case ValueKind::kColor:
    case ValueKind::kVector: {
      const auto parts = splitComponents(text);
      const bool grey = parts.size() == 1 && in.kind == ValueKind::kColor;
      if (parts.size() != 3 && !grey) {
        error = "'" + std::string(text) + "' needs three components " +
                (in.kind == ValueKind::kColor ? "r,g,b (or one grey value)" : "x,y,z");
        return false;
      }
      for (size_t i = 0; i < parts.size(); ++i) {
        if (!parseComponentWhy(in.kind, parts[i], v[i], error)) return false;
      }
      if (grey) v[1] = v[2] = v[0];
      break;
    }
  }
  if (std::string why = valueProblem(schema, input, v); !why.empty()) {
    error = why;
    return false;
  }
  out = v;
  return true;
}

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Edits (insert, delete, substitute, swap two neighbours) that turn `a`
// into `b`, letters compared without case.
size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
          lower(a[i - 2]) == lower(b[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

std::string nearestName(std::string_view name, const std::vector<std::string>& candidates) {
  // No input name is this long; a longer one is no misspelling.
  constexpr size_t kLongest = 64;
  if (name.size() > kLongest) return {};
  // A suggestion that changes more than about a third of the name is a guess.
  const size_t limit = std::max<size_t>(2, name.size() / 3);
  std::string best;
  size_t bestDistance = limit + 1;
  for (const std::string& c : candidates) {
    const size_t d = editDistance(name, c);
    if (d < bestDistance) {
      best = c;
      bestDistance = d;
    }
  }
  return best;
}

std::string unknownInputMessage(const MaterialSchema* schema, std::string_view name) {
  std::string message = "unknown material input '" + std::string(name) + "'";
  std::vector<std::string> names;
  if (schema) {
    for (const MaterialInput& in : schema->inputs()) names.push_back(in.name);
  }
  const std::string near = nearestName(name, names);
  return message + (near.empty() ? " (see --list)" : " (did you mean " + near + "? see --list)");
}

bool setValue(Material& material, std::string_view name, std::string_view text,
              std::string& error) {
  const int id = material.bound() ? material.schema().find(name) : -1;
  if (id < 0) {
    error = unknownInputMessage(material.bound() ? &material.schema() : nullptr, name);
    return false;
  }
  std::string why;
  if (!parseValue(material.schema(), static_cast<size_t>(id), text,
                  material[static_cast<size_t>(id)], why)) {
    error = std::string(name) + ": " + why;
    return false;
  }
  return true;
}

bool applySetting(Material& material, std::string_view assignment, std::string& error) {
  const size_t eq = assignment.find('=');
  if (eq == std::string_view::npos) {
    error = "expected name=value, got '" + std::string(assignment) + "'";
    return false;
  }
  return setValue(material, assignment.substr(0, eq), assignment.substr(eq + 1), error);
}

std::string formatValue(ValueKind kind, const Value& v) {
  switch (kind) {
    case ValueKind::kBool:
      return v[0] != 0 ? "1" : "0";
    case ValueKind::kInt:
    case ValueKind::kFloat:
      return formatNumber(v[0], kind);
    case ValueKind::kColor:
    case ValueKind::kVector:
      break;
  }
  return formatNumber(v[0], kind) + "," + formatNumber(v[1], kind) + "," +
         formatNumber(v[2], kind);
}

}  // namespace gws

namespace gws {

const char* toolsVersion() { return GLINTWEAVE_TOOLS_VERSION; }

}  // namespace gws
