#include "request.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace gwstudio {
namespace {

bool parseIntIn(const std::string& text, int lo, int hi, int& out, std::string& why) {
  char* end = nullptr;
  errno = 0;
  const long v = text.empty() ? 0 : std::strtol(text.c_str(), &end, 10);
  if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE) {
    why = "'" + text + "' is not an integer";
    return false;
  }
  if (v < lo || v > hi) {
    why = text + " is out of range [" + std::to_string(lo) + ", " + std::to_string(hi) + "]";
    return false;
  }
  out = static_cast<int>(v);
  return true;
}

bool parseFloatIn(const std::string& text, float lo, float hi, float& out, std::string& why) {
  char* end = nullptr;
  errno = 0;
  const float v = text.empty() ? 0.0f : std::strtof(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(v)) {
    why = "'" + text + "' is not a finite number";
    return false;
  }
  if (v < lo || v > hi) {
    char buf[96];
    std::snprintf(buf, sizeof buf, " is out of range [%g, %g]", static_cast<double>(lo),
                  static_cast<double>(hi));
    why = text + buf;
    return false;
  }
  out = v;
  return true;
}

bool isIdChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// What is shown back in a message: printable ASCII only, and not too long.
std::string shown(const std::string& text) {
  std::string s;
  for (char c : text.substr(0, 40)) s += (c >= 0x20 && c < 0x7f) ? c : '?';
  if (text.size() > 40) s += "...";
  return s;
}

}  // namespace

const char* viewName(View view) {
  switch (view) {
    case View::kMaya:
      return "maya";
    case View::kMentalRay:
      return "mentalray";
    case View::kSide:
      return "side";
    case View::kDiff:
      return "diff";
  }
  return "side";
}

bool parseParams(const Query& query, const std::shared_ptr<const gws::MaterialSchema>& schema,
                 StudioParams& out, ParamError& error) {
  // Messages quote what was sent, which may be any bytes: what goes back is
  // one line of printable ASCII (the page shows it, JSON carries it).
  auto fail = [&](const std::string& field, const std::string& message) {
    error.field = field;
    error.message = message;
    for (char& c : error.message) {
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
    }
    return false;
  };
  std::set<std::string> seen;
  std::vector<std::pair<std::string, std::string>> inputs;
  for (const auto& [key, value] : query) {
    if (!seen.insert(key).second) return fail(key, shown(key) + " is given more than once");
    std::string why;
    if (key == "client") {
      if (value.empty() || value.size() > Limits::kMaxClientId) {
        return fail(key, "client: expected 1 to 64 letters, digits, '-' or '_'");
      }
      for (char c : value) {
        if (!isIdChar(c)) return fail(key, "client: expected 1 to 64 letters, digits, '-' or '_'");
      }
      out.client = value;
    } else if (key == "view") {
      if (value == "maya") {
        out.view = View::kMaya;
      } else if (value == "mentalray") {
        out.view = View::kMentalRay;
      } else if (value == "side") {
        out.view = View::kSide;
      } else if (value == "diff") {
        out.view = View::kDiff;
      } else {
        return fail(key, "view: unknown view '" + shown(value) +
                             "' (use maya, mentalray, side or diff)");
      }
    } else if (key == "w") {
      if (!parseIntIn(value, Limits::kMinSize, Limits::kMaxWidth, out.width, why)) {
        return fail(key, "width: " + why);
      }
    } else if (key == "h") {
      if (!parseIntIn(value, Limits::kMinSize, Limits::kMaxHeight, out.height, why)) {
        return fail(key, "height: " + why);
      }
    } else if (key == "spp") {
      if (!parseIntIn(value, 1, Limits::kMaxTarget, out.target, why)) {
        return fail(key, "sample target: " + why);
      }
    } else if (key == "gain") {
      if (!parseFloatIn(value, Limits::kMinGain, Limits::kMaxGain, out.gain, why)) {
        return fail(key, "gain: " + why);
      }
    } else if (key == "vt") {
      if (!parseFloatIn(value, 0.0f, 89.0f, out.viewTheta, why)) {
        return fail(key, "view angle: " + why);
      }
    } else if (key == "vp") {
      if (!parseFloatIn(value, -360.0f, 360.0f, out.viewPhi, why)) {
        return fail(key, "view azimuth: " + why);
      }
    } else if (key == "preset") {
      if (!gws::findPreset(value)) {
        std::string names;
        for (const gws::Preset& p : gws::presets()) {
          names += (names.empty() ? "" : ", ") + std::string(p.name);
        }
        return fail(key, "preset: unknown preset '" + shown(value) + "' (one of " + names + ")");
      }
      out.preset = value;
    } else if (key == "name") {
      bool ok = !value.empty() && value.size() <= Limits::kMaxName &&
                !(value[0] >= '0' && value[0] <= '9');
      for (char c : value) ok = ok && isIdChar(c) && c != '-';
      if (!ok) {
        return fail(key,
                    "name: expected up to 64 letters, digits or '_', not starting with a digit");
      }
      out.name = value;
    } else if (schema && schema->find(key) >= 0) {
      inputs.emplace_back(key, value);
    } else {
      // A misspelt input gets the nearest real one.
      std::vector<std::string> names;
      if (schema) {
        for (const gws::MaterialInput& in : schema->inputs()) names.push_back(in.name);
      }
      const std::string near = gws::nearestName(key, names);
      return fail(key, "unknown parameter '" + shown(key) + "'" +
                           (near.empty() ? "" : " (did you mean " + near + "?)"));
    }
  }

  out.material = gws::Material(schema);
  if (!out.preset.empty()) {
    std::string why;
    if (!gws::applyPreset(out.material, *gws::findPreset(out.preset), why)) {
      return fail("preset", why);
    }
  }
  for (const auto& [key, value] : inputs) {
    std::string why;
    if (!gws::setValue(out.material, key, value, why)) return fail(key, why);
  }
  return true;
}

namespace {

// A query value as a page's URLSearchParams writes it, so that it reads back
// the same there and here: '+' (as in "1e+20") would otherwise read back
// as a space.
std::string encodeQueryValue(const std::string& value) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~' || c == ',') {
      out += c;
    } else {
      out += '%';
      out += hex[u >> 4];
      out += hex[u & 15];
    }
  }
  return out;
}

}  // namespace

std::string materialQuery(const gws::Material& material) {
  std::string q;
  if (!material.bound()) return q;
  const gws::MaterialSchema& schema = material.schema();
  for (size_t i = 0; i < schema.size(); ++i) {
    // Skipped only when bit for bit the default: a value that equals its
    // default only as a number would read back as another material. (The
    // value rules keep -0 as 0, so none is written as -0.)
    if (std::memcmp(material[i].data(), schema[i].defaultValue.data(), sizeof(gws::Value)) == 0) {
      continue;
    }
    q += (q.empty() ? "" : "&") + schema[i].name + "=" +
         encodeQueryValue(gws::formatValue(schema[i].kind, material[i]));
  }
  return q;
}

}  // namespace gwstudio
