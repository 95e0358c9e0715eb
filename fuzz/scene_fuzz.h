// What the two scene-reader fuzz targets share: the schema, read once from
// this build's deliverables, and the checks made on every input.
//
// Checked, besides the sanitizers' own reports:
//  - a failed read gives one line "NAME:LINE:COL: message" and no more;
//  - a successful read finds at least one material, and every value it
//    holds is one the file's host accepts;
//  - writing each material back (in the same host's form) and reading the
//    result gives the same values, bit for bit.
#pragma once

#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "scene_file.h"
#include "scene_writer.h"
#include "schemas.h"

namespace gwfuzz {

[[noreturn]] inline void sceneFail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "glintWeave scene fuzz invariant broken: %s\n%s\n", what, detail.c_str());
  std::abort();
}

inline std::shared_ptr<const gws::MaterialSchema> sceneSchema() {
  static std::shared_ptr<const gws::MaterialSchema> schema = [] {
    // The schema loader unloads the plug-in after reading it; libFuzzer
    // keeps the coverage counters of every instrumented library it saw, so
    // the plug-in must stay mapped.
    dlopen(gws::builtMayaPlugin().c_str(), RTLD_NOW | RTLD_NODELETE);
    std::string error;
    auto s = gws::loadMaterialSchema({}, {gws::Host::kMaya, gws::Host::kMentalRay}, error);
    if (!s) sceneFail("the schema does not load", error);
    return s;
  }();
  return schema;
}

inline bool locatedLine(const std::string& error, const std::string& name) {
  if (error.rfind(name + ":", 0) != 0 || error.find('\n') != std::string::npos) return false;
  size_t i = name.size() + 1;
  for (int part = 0; part < 2; ++part) {
    const size_t start = i;
    while (i < error.size() && error[i] >= '0' && error[i] <= '9') ++i;
    if (i == start || i >= error.size() || error[i] != ':') return false;
    ++i;
  }
  return error.compare(i, 1, " ") == 0;
}

inline void checkScene(std::string_view text, gws::Host host) {
  const auto schema = sceneSchema();
  const std::string name = host == gws::Host::kMaya ? "fuzz.ma" : "fuzz.mi";
  auto read = [&](std::string_view t, gws::SceneFile& f, std::string& error) {
    return host == gws::Host::kMaya ? gws::readMayaAscii(t, name, schema, f, error)
                                    : gws::readMentalRay(t, name, schema, f, error);
  };
  gws::SceneFile file;
  std::string error;
  if (!read(text, file, error)) {
    if (!locatedLine(error, name)) sceneFail("a malformed error line", error);
    return;
  }
  if (file.materials.empty()) sceneFail("success without a material", "");
  for (const gws::SceneMaterial& m : file.materials) {
    for (size_t i = 0; i < schema->size(); ++i) {
      if (!gws::hostValueProblem(*schema, i, m.material[i], host).empty()) {
        sceneFail("a value the host refuses was read", (*schema)[i].name);
      }
    }
    const std::string again = host == gws::Host::kMaya
                                  ? gws::mayaAsciiText(m.material, "m", "m.ma")
                                  : gws::mentalRayText(m.material, "m", "m.mi");
    gws::SceneFile back;
    if (!read(again, back, error) || back.materials.size() != 1) {
      sceneFail("a written material does not read back", error + "\n" + again);
    }
    const gws::HostSchema& hs = *schema->host(host);
    for (size_t k = 0; k < hs.inputs.size(); ++k) {
      const size_t i = static_cast<size_t>(schema->mergedIndex(host, k));
      const gws::Value& a = m.material[i];
      const gws::Value& b = back.materials[0].material[i];
      if (std::memcmp(a.data(), b.data(), sizeof a) != 0) {
        sceneFail("a value changed on the way out and back", (*schema)[i].name + "\n" + again);
      }
    }
  }
}

}  // namespace gwfuzz
