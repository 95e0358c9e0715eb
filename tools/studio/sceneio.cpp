#include "sceneio.h"

#include "scene_file.h"
#include "scene_writer.h"

namespace gwstudio {

bool sceneIoAvailable() { return true; }

bool exportScene(const std::string& format, const gwp::Material& material, const std::string& name,
                 std::string& text, std::string& error, std::vector<std::string>* notWritten) {
  if (!gws::validMaterialName(name, error)) return false;
  const gws::Host host = format == "mi" ? gws::Host::kMentalRay : gws::Host::kMaya;
  if (!material.bound() || !material.schema().has(host)) {
    error = std::string("this studio has no ") + gws::hostName(host) +
            " deliverable to take the names from";
    return false;
  }
  text = host == gws::Host::kMaya ? gws::mayaAsciiText(material, name, name + ".ma")
                                  : gws::mentalRayText(material, name, name + ".mi");
  if (notWritten) *notWritten = gws::inputsWithoutPlace(material, host);
  return true;
}

bool importScene(const std::shared_ptr<const gws::MaterialSchema>& schema,
                 const std::string& fileName, const std::string& text,
                 std::vector<ImportedMaterial>& out, std::string& error) {
  gws::Host host = gws::Host::kMaya;
  if (!gws::hostOfPath(fileName, host)) {
    error = fileName + ": expected a Maya ASCII (.ma) or mental ray (.mi) scene file";
    return false;
  }
  if (!schema || !schema->has(host)) {
    error = std::string("this studio has no ") + gws::hostName(host) + " deliverable to read " +
            fileName + " with";
    return false;
  }
  gws::SceneFile scene;
  const bool ok = host == gws::Host::kMaya
                      ? gws::readMayaAscii(text, fileName, schema, scene, error)
                      : gws::readMentalRay(text, fileName, schema, scene, error);
  if (!ok) return false;
  for (const gws::SceneMaterial& m : scene.materials) {
    ImportedMaterial imported;
    imported.name = m.name;
    imported.host = gws::hostName(m.host);
    imported.material = m.material;
    for (const gws::Connection& c : m.connections) {
      imported.connected.push_back(schema->inputs()[c.input].name + " <- " + c.source);
    }
    out.push_back(std::move(imported));
  }
  return true;
}

}  // namespace gwstudio
