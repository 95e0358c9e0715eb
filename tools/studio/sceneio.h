// The studio's way to the scene files: exporting the current material as a
// Maya ASCII or mental ray scene file, and reading the glintWeave materials
// of one, through the scene readers and writers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "material.h"

namespace gwstudio {

// Whether this build has the scene readers and writers.
bool sceneIoAvailable();

// Export: the writers refuse a name that is not a valid node and shader
// name in both hosts (one line in `error`).

// `format` is "ma" or "mi". The text of a file that holds `material` as a
// node or shader called `name`.
// What the file has no place for (the other host's own inputs, where not at
// their default) is written as comments and listed in `notWritten`, one
// "INPUT=VALUE (only HOST has INPUT)" each.
bool exportScene(const std::string& format, const gwp::Material& material, const std::string& name,
                 std::string& text, std::string& error,
                 std::vector<std::string>* notWritten = nullptr);

struct ImportedMaterial {
  std::string name;  // the node's or shader instance's
  std::string host;  // "maya" or "mentalray"
  // The stored values; a connected input keeps its stored (or default)
  // value, and the connection is listed ("color <- file1.outColor").
  gwp::Material material;
  std::vector<std::string> connected;
};

// The glintWeave materials of a scene file whose name (for its kind and
// for messages) is `fileName` and whose contents are `text`, read against
// `schema` (the deliverables' inputs the studio loaded).
bool importScene(const std::shared_ptr<const gws::MaterialSchema>& schema,
                 const std::string& fileName, const std::string& text,
                 std::vector<ImportedMaterial>& out, std::string& error);

}  // namespace gwstudio
