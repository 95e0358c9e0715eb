// Picks the backend for a host. A host whose stand-in or deliverable is not
// part of this build is reported as such instead of failing later.
#include "backend.h"

namespace gwp {

#ifdef GLINTWEAVE_PREVIEW_HAVE_MAYA
std::unique_ptr<Backend> createMayaBackend(const Scene& scene,
                                           const std::vector<Material>& materials,
                                           const LibraryPaths& paths, std::string& error);
#endif
#ifdef GLINTWEAVE_PREVIEW_HAVE_MENTALRAY
std::unique_ptr<Backend> createMentalRayBackend(const Scene& scene,
                                                const std::vector<Material>& materials,
                                                const LibraryPaths& paths, std::string& error);
#endif

const char* hostTitle(Host host) { return host == Host::kMaya ? "Maya" : "mental ray"; }

bool Backend::setMaterial(size_t, const Material&, std::string& error) {
  error = std::string("the ") + name() + " backend cannot change a material in place";
  return false;
}

bool Backend::measureLobe(const Material&, Vec3, const std::vector<Vec3>&, std::vector<Rgb>&,
                          std::string& error) {
  error = std::string("the ") + name() + " backend cannot measure a lobe";
  return false;
}

Material lobeMaterial(const Material& material) {
  Material m = material;
  if (!m.bound()) return m;
  for (const char* name : {"reflectivity", "ambientColor", "incandescence", "indirect"}) {
    // A host without the input (a build without it) has nothing to switch off.
    const int i = m.schema().find(name);
    if (i >= 0) m[static_cast<size_t>(i)] = {0.0, 0.0, 0.0};
  }
  return m;
}

std::unique_ptr<Backend> createBackend(Host host, const Scene& scene,
                                       const std::vector<Material>& materials,
                                       const LibraryPaths& paths, std::string& error) {
  if (host == Host::kMaya) {
#ifdef GLINTWEAVE_PREVIEW_HAVE_MAYA
    return createMayaBackend(scene, materials, paths, error);
#endif
  } else {
#ifdef GLINTWEAVE_PREVIEW_HAVE_MENTALRAY
    return createMentalRayBackend(scene, materials, paths, error);
#endif
  }
  (void)scene;
  (void)materials;
  (void)paths;
  error = std::string("this build has no ") + hostName(host) +
          " host (its stand-in or deliverable was not built)";
  return nullptr;
}

}  // namespace gwp
