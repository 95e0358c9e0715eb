#include "request.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <type_traits>
#include <utility>

#include "mesh.h"

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

namespace {

constexpr std::pair<View, const char*> kViews[] = {
    {View::kMaya, "maya"}, {View::kMentalRay, "mentalray"}, {View::kSide, "side"},
    {View::kDiff, "diff"}};

// A parameter's value read into the request; false with the whole message.
using FieldParser = bool (*)(const std::string& value, StudioParams& out, std::string& message);

template <class T>
bool numberField(const char* what, const std::string& value, T lo, T hi, T& out,
                 std::string& message) {
  std::string why;
  bool ok = false;
  if constexpr (std::is_same_v<T, int>) {
    ok = parseIntIn(value, lo, hi, out, why);
  } else {
    ok = parseFloatIn(value, lo, hi, out, why);
  }
  if (!ok) message = std::string(what) + ": " + why;
  return ok;
}
constexpr auto floatField = numberField<float>;
constexpr auto intField = numberField<int>;

bool parseClient(const std::string& value, StudioParams& out, std::string& message) {
  bool ok = !value.empty() && value.size() <= Limits::kMaxClientId;
  for (char c : value) ok = ok && isIdChar(c);
  if (!ok) message = "client: expected 1 to 64 letters, digits, '-' or '_'";
  out.client = value;
  return ok;
}

bool parseViewField(const std::string& value, StudioParams& out, std::string& message) {
  if (parseView(value, out.view)) return true;
  message = "view: unknown view '" + shown(value) + "' (use maya, mentalray, side or diff)";
  return false;
}

bool parsePreset(const std::string& value, StudioParams& out, std::string& message) {
  if (gws::findPreset(value)) {
    out.preset = value;
    return true;
  }
  std::string names;
  for (const gws::Preset& p : gws::presets()) names += (names.empty() ? "" : ", ") + std::string(p.name);
  message = "preset: unknown preset '" + shown(value) + "' (one of " + names + ")";
  return false;
}

bool parseName(const std::string& value, StudioParams& out, std::string& message) {
  bool ok = !value.empty() && value.size() <= Limits::kMaxName && !(value[0] >= '0' && value[0] <= '9');
  for (char c : value) ok = ok && isIdChar(c) && c != '-';
  if (!ok) message = "name: expected up to 64 letters, digits or '_', not starting with a digit";
  out.name = value;
  return ok;
}

bool parseShapeField(const std::string& value, StudioParams& out, std::string& message) {
  gwst::Shape shape;
  if (gwst::parseShape(value, shape) || isUploadId(value)) {
    out.stage.shape = value;
    return true;
  }
  message = "shape: unknown shape '" + shown(value) + "' (one of " + gwst::shapeNames() +
            ", or an uploaded model)";
  return false;
}

bool parseEnvField(const std::string& value, StudioParams& out, std::string& message) {
  if (value == "softbox" || value == "studio" || isUploadId(value)) {
    out.stage.env = value;
    return true;
  }
  message = "env: unknown environment '" + shown(value) +
            "' (softbox, studio, or an uploaded image)";
  return false;
}

bool parseDistance(const std::string& value, StudioParams& out, std::string& message) {
  // 0 is the scene's own distance.
  if (value == "0") {
    out.stage.distance = 0.0f;
    return true;
  }
  return floatField("camera distance", value, Limits::kMinDistance, Limits::kMaxDistance,
                    out.stage.distance, message);
}

bool parseTransform(const std::string& value, StudioParams& out, std::string& message) {
  // Which views exist is the studio's config's to say; here only the form.
  bool ok = value.size() <= Limits::kMaxTransformName;
  for (char c : value) ok = ok && c >= 0x20 && c < 0x7f;
  if (!ok) message = "viewTransform: expected the name of a view of the studio's config";
  out.look.transform = value;
  return ok;
}

// Every parameter but the material's inputs, by its key in the query.
const std::map<std::string, FieldParser>& fieldParsers() {
  static const std::map<std::string, FieldParser> parsers{
      {"client", parseClient},
      {"view", parseViewField},
      {"w", [](const std::string& v, StudioParams& o, std::string& m) {
         return intField("width", v, Limits::kMinSize, Limits::kMaxWidth, o.width, m);
       }},
      {"h", [](const std::string& v, StudioParams& o, std::string& m) {
         return intField("height", v, Limits::kMinSize, Limits::kMaxHeight, o.height, m);
       }},
      {"spp", [](const std::string& v, StudioParams& o, std::string& m) {
         return intField("sample target", v, 1, Limits::kMaxTarget, o.target, m);
       }},
      {"gain", [](const std::string& v, StudioParams& o, std::string& m) {
         return floatField("gain", v, Limits::kMinGain, Limits::kMaxGain, o.gain, m);
       }},
      {"vt", [](const std::string& v, StudioParams& o, std::string& m) {
         return floatField("view angle", v, 0.0f, 89.0f, o.viewTheta, m);
       }},
      {"vp", [](const std::string& v, StudioParams& o, std::string& m) {
         return floatField("view azimuth", v, -360.0f, 360.0f, o.viewPhi, m);
       }},
      {"preset", parsePreset},
      {"name", parseName},
      {"shape", parseShapeField},
      {"env", parseEnvField},
      {"envRotate", [](const std::string& v, StudioParams& o, std::string& m) {
         return floatField("envRotate", v, -Limits::kMaxEnvRotate, Limits::kMaxEnvRotate,
                           o.stage.envRotate, m);
       }},
      {"envIntensity", [](const std::string& v, StudioParams& o, std::string& m) {
         return floatField("envIntensity", v, 0.0f, Limits::kMaxEnvIntensity,
                           o.stage.envIntensity, m);
       }},
      {"azimuth", [](const std::string& v, StudioParams& o, std::string& m) {
         return floatField("camera azimuth", v, -Limits::kMaxAzimuth, Limits::kMaxAzimuth,
                           o.stage.azimuth, m);
       }},
      {"elevation", [](const std::string& v, StudioParams& o, std::string& m) {
         return floatField("camera elevation", v, -Limits::kMaxElevation, Limits::kMaxElevation,
                           o.stage.elevation, m);
       }},
      {"distance", parseDistance},
      {"turntable", [](const std::string& v, StudioParams& o, std::string& m) {
         return intField("turntable", v, 0, Limits::kMaxTurntable, o.stage.turntable, m);
       }},
      {"frame", [](const std::string& v, StudioParams& o, std::string& m) {
         return intField("turntable frame", v, 1, Limits::kMaxTurntable, o.stage.frame, m);
       }},
      {"exposure", [](const std::string& v, StudioParams& o, std::string& m) {
         return floatField("exposure", v, -Limits::kMaxExposure, Limits::kMaxExposure,
                           o.look.exposure, m);
       }},
      {"viewTransform", parseTransform},
  };
  return parsers;
}

}  // namespace

const char* viewName(View view) { return nameIn(kViews, view); }

bool parseView(const std::string& text, View& out) { return valueIn(kViews, text, out); }

bool isUploadId(const std::string& text) {
  constexpr size_t kPrefix = 7;  // "upload-"
  if (text.size() != kPrefix + 16 || text.compare(0, kPrefix, "upload-") != 0) return false;
  for (size_t i = kPrefix; i < text.size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i])) || std::isupper(static_cast<unsigned char>(text[i]))) {
      return false;
    }
  }
  return true;
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
  const auto& parsers = fieldParsers();
  std::set<std::string> seen;
  std::vector<std::pair<std::string, std::string>> inputs;
  for (const auto& [key, value] : query) {
    if (!seen.insert(key).second) return fail(key, shown(key) + " is given more than once");
    if (const auto it = parsers.find(key); it != parsers.end()) {
      std::string message;
      if (!it->second(value, out, message)) return fail(key, message);
    } else if (schema && schema->find(key) >= 0) {
      inputs.emplace_back(key, value);
    } else {
      // A misspelt input or parameter gets the nearest real one.
      std::vector<std::string> names;
      for (const auto& [name, parser] : parsers) names.push_back(name);
      if (schema) {
        for (const gws::MaterialInput& in : schema->inputs()) names.push_back(in.name);
      }
      const std::string near = gws::nearestName(key, names);
      return fail(key, "unknown parameter '" + shown(key) + "'" +
                           (near.empty() ? "" : " (did you mean " + near + "?)"));
    }
  }
  // A frame is checked against the turntable given with it (alone, as the
  // page checks each field, it stands for itself).
  if (query.count("turntable") && out.stage.frame > out.stage.turntable) {
    return fail(query.count("frame") ? "frame" : "turntable",
                "turntable frame " + std::to_string(out.stage.frame) + " is past the turntable's " +
                    std::to_string(out.stage.turntable) + " frames");
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

bool parseUploadRequest(const Query& query, UploadRequest& out, ParamError& error) {
  for (const auto& [key, value] : query) {
    if (key != "kind" && key != "file") {
      error = {key, "unknown parameter '" + shown(key) + "' (an upload takes kind and file)"};
      return false;
    }
    if (query.count(key) > 1) {
      error = {key, shown(key) + " is given more than once"};
      return false;
    }
  }
  const auto kind = query.find("kind");
  if (kind == query.end() || (kind->second != "model" && kind->second != "environment")) {
    error = {"kind", "kind: expected model or environment"};
    return false;
  }
  out.kind = kind->second == "model" ? UploadRequest::Kind::kModel : UploadRequest::Kind::kEnvironment;
  const auto file = query.find("file");
  const std::string name = file == query.end() ? "" : file->second;
  bool ok = !name.empty() && name.size() <= 255 && name.find('/') == std::string::npos;
  for (char c : name) ok = ok && static_cast<unsigned char>(c) >= 0x20 && c != 0x7f;
  const size_t dot = name.rfind('.');
  if (!ok || dot == std::string::npos || dot == 0 || dot + 1 == name.size()) {
    error = {"file", "file: expected the file's name, with its extension ('" + shown(name) + "')"};
    return false;
  }
  out.file = name;
  out.format = name.substr(dot + 1);
  for (char& c : out.format) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
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
