#include "inputs.h"

#include <algorithm>
#include <map>
#include <optional>
#include <sstream>

#include "assets.h"
#include "environment_setup.h"
#include "image_io.h"
#include "mesh.h"
#include "sceneio.h"

namespace gwstudio {

using nlohmann::json;

namespace {

// The page's names for the kinds of value.
const char* pageKind(gws::ValueKind kind) {
  switch (kind) {
    case gws::ValueKind::kColor:
      return "color";
    case gws::ValueKind::kVector:
      return "vector";
    case gws::ValueKind::kFloat:
      return "float";
    case gws::ValueKind::kInt:
      return "int";
    case gws::ValueKind::kBool:
      return "bool";
  }
  return "float";
}

// Each input's one-line description, by name, from the embedded copy of the
// material guide's input list ("name | sweep | options | sentence" lines,
// '#' comments).
std::map<std::string, std::string> inputDescriptions() {
  std::map<std::string, std::string> out;
  const Asset* a = findAsset("/input-descriptions.txt");
  if (!a) return out;
  std::istringstream in(std::string(reinterpret_cast<const char*>(a->data), a->size));
  const auto trim = [](std::string t) {
    const size_t b = t.find_first_not_of(" \t\r");
    const size_t e = t.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
  };
  std::string line;
  while (std::getline(in, line)) {
    if (trim(line).empty() || trim(line)[0] == '#') continue;
    std::vector<std::string> fields;
    std::istringstream cut(line);
    for (std::string f; std::getline(cut, f, '|');) fields.push_back(trim(f));
    if (fields.size() >= 4 && !fields[0].empty()) out[fields[0]] = fields[3];
  }
  return out;
}

// The stage's choices and bounds, for its controls.
json stageJson(const Studio& studio) {
  json shapes = json::array();
  const std::string names = gwst::shapeNames();
  for (size_t start = 0; start < names.size();) {
    size_t comma = names.find(',', start);
    if (comma == std::string::npos) comma = names.size();
    std::string name = names.substr(start, comma - start);
    name.erase(0, name.find_first_not_of(' '));
    if (!name.empty()) shapes.push_back(name);
    start = comma + 1;
  }
  return {{"shapes", shapes},
          {"environments", {gwp::kSoftboxEnvironment, gwp::kStudioEnvironment}},
          {"transforms", studio.transformNames()},
          {"ocioConfig", studio.options().ocioConfig},
          {"meshFormats", gwst::meshFormats()},
          {"maxUpload", studio.uploads().limits().maxBytes},
          {"cameraDistance", studio.cameraDistance()}};
}

}  // namespace

// Every input of both hosts as the deliverables define them: kinds and
// defaults from the merged schema; slider ranges from the Maya plug-in's
// soft limits or the declaration's hints (the first host that gives them);
// hard limits from either.
nlohmann::json controlsJson(const Studio& studio) {
  json inputs = json::array();
  static const std::map<std::string, std::string> descriptions = inputDescriptions();
  if (studio.schema()) {
    const gws::MaterialSchema& schema = *studio.schema();
    for (size_t i = 0; i < schema.size(); ++i) {
      const gws::MaterialInput& in = schema[i];
      std::optional<double> softMin, softMax, min, max;
      for (gws::Host h : gws::kHosts) {
        const gws::InputSpec* spec = schema.spec(h, i);
        if (!spec) continue;
        if (!softMin) softMin = spec->softMin;
        if (!softMax) softMax = spec->softMax;
        if (spec->min) min = min ? std::max(*min, *spec->min) : *spec->min;
        if (spec->max) max = max ? std::min(*max, *spec->max) : *spec->max;
      }
      const double lo = softMin.value_or(min.value_or(0.0));
      const double hi = std::max(lo + 1.0, softMax.value_or(max.value_or(lo + 1.0)));
      json entry{{"name", in.name},
                 {"kind", pageKind(in.kind)},
                 {"maya", in.in(gws::Host::kMaya)},
                 {"mentalray", in.in(gws::Host::kMentalRay)},
                 {"default", gws::formatValue(in.kind, in.defaultValue)},
                 {"softMin", lo},
                 {"softMax", hi},
                 // A slider over several decades moves in ratios.
                 {"log", in.kind == gws::ValueKind::kFloat && lo >= 0.0 && hi >= 1000.0}};
      if (auto d = descriptions.find(in.name); d != descriptions.end()) {
        entry["description"] = d->second;
      }
      if (min) entry["min"] = *min;
      if (max) entry["max"] = *max;
      inputs.push_back(entry);
    }
  }
  json presets = json::array();
  for (const gwp::Preset& p : gwp::presets()) {
    json settings = json::object();
    for (const auto& [n, v] : p.settings) settings[n] = v;
    presets.push_back({{"name", p.name}, {"description", p.description}, {"settings", settings}});
  }
  return {{"inputs", inputs},
          {"presets", presets},
          {"defaultPreset", gwp::kDefaultPreset},
          {"scene", sceneName(studio.scene())},
          {"hosts",
           {{"maya", studio.hasHost(gwp::Host::kMaya)},
            {"mentalray", studio.hasHost(gwp::Host::kMentalRay)}}},
          {"stage", stageJson(studio)},
          {"sceneFiles", sceneIoAvailable()},
          {"exr", gwp::exrSupported()},
          {"limits",
           {{"minSize", Limits::kMinSize},
            {"maxWidth", Limits::kMaxWidth},
            {"maxHeight", Limits::kMaxHeight},
            {"maxTarget", Limits::kMaxTarget},
            {"minGain", Limits::kMinGain},
            {"maxGain", Limits::kMaxGain},
            {"maxEnvRotate", Limits::kMaxEnvRotate},
            {"maxEnvIntensity", Limits::kMaxEnvIntensity},
            {"maxElevation", Limits::kMaxElevation},
            {"minDistance", Limits::kMinDistance},
            {"maxDistance", Limits::kMaxDistance},
            {"maxExposure", Limits::kMaxExposure},
            {"maxTurntable", Limits::kMaxTurntable}}}};
}

}  // namespace gwstudio
