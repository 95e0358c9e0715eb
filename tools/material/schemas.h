// Both hosts' schemas, loaded from the deliverables of this build (or from
// the paths given) and merged: what a tool asks for first.
//
//   auto schema = gws::loadMaterialSchema({}, {}, error);   // this build's
//   gws::Material m(schema);                                  // all defaults
//   gws::applySetting(m, "specularU=200", error);             // the --set rules
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "schema.h"

namespace gws {

// Where the deliverables are. Empty members take this build's.
struct SchemaSources {
  std::string mayaPlugin;       // glintWeave.so
  std::string mentalRayShader;  // kl4v_glintWeave.so, with kl4v_glintWeave.mi beside it
};

// This build's deliverables; empty when the build has no such deliverable.
std::string builtMayaPlugin();
std::string builtMentalRayShader();

// Loads and merges the two hosts' schemas. Every host in `required` must
// load; a host not required is merged when it loads and left out quietly
// when it does not (a build or an installation without it). Cached: the same
// sources give the same schema object. Null with a one-line `error`.
std::shared_ptr<const MaterialSchema> loadMaterialSchema(const SchemaSources& sources,
                                                         const std::vector<Host>& required,
                                                         std::string& error);

}  // namespace gws
