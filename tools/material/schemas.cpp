#include "schemas.h"

#include <algorithm>
#include <utility>

#include "maya_schema.h"
#include "mi_schema.h"
#include "process_cache.h"

namespace gws {

std::string builtMayaPlugin() {
#ifdef GLINTWEAVE_MATERIAL_MAYA_PLUGIN
  return GLINTWEAVE_MATERIAL_MAYA_PLUGIN;
#else
  return {};
#endif
}

std::string builtMentalRayShader() {
#ifdef GLINTWEAVE_MATERIAL_MR_SHADER
  return GLINTWEAVE_MATERIAL_MR_SHADER;
#else
  return {};
#endif
}

std::shared_ptr<const MaterialSchema> loadMaterialSchema(const SchemaSources& sources,
                                                         const std::vector<Host>& required,
                                                         std::string& error) {
  const std::string mayaPath = sources.mayaPlugin.empty() ? builtMayaPlugin() : sources.mayaPlugin;
  const std::string mrPath =
      sources.mentalRayShader.empty() ? builtMentalRayShader() : sources.mentalRayShader;
  auto requiredHost = [&](Host h) {
    return std::find(required.begin(), required.end(), h) != required.end();
  };

  std::shared_ptr<const HostSchema> maya, mr;
  std::string mayaWhy = "this build has no Maya plug-in";
  std::string mrWhy = "this build has no mental ray shader library";
  if (!mayaPath.empty()) maya = loadMayaSchema(mayaPath, mayaWhy);
  if (!maya && requiredHost(Host::kMaya)) {
    error = mayaWhy;
    return nullptr;
  }
  if (!mrPath.empty()) mr = loadMentalRaySchema(mrPath, mrWhy);
  if (!mr && requiredHost(Host::kMentalRay)) {
    error = mrWhy;
    return nullptr;
  }
  if (!maya && !mr) {
    error = mayaWhy + "; " + mrWhy;
    return nullptr;
  }

  static ProcessCache<std::pair<const void*, const void*>, MaterialSchema> cache;
  const auto key = std::make_pair(static_cast<const void*>(maya.get()),
                                  static_cast<const void*>(mr.get()));
  return cache.get(key, [&] { return MaterialSchema::merge(maya, mr, error); });
}

}  // namespace gws
