#include "sceneio.h"

namespace gwstudio {
namespace {
constexpr const char* kUnavailable = "this build has no scene file readers and writers";
}

bool sceneIoAvailable() { return false; }

bool exportScene(const std::string&, const gwp::Material&, const std::string&, std::string&,
                 std::string& error) {
  error = kUnavailable;
  return false;
}

bool importScene(const std::string&, const std::string&, std::vector<ImportedMaterial>&,
                 std::string& error) {
  error = kUnavailable;
  return false;
}

}  // namespace gwstudio
