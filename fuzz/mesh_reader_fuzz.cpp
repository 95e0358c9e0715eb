// Fuzz target for the mesh reader: the input is a model file's bytes, as an
// upload hands them over, read from memory. The format is told by the
// bytes' start, as a file's name would tell it. A read either fails with one
// line naming the model, or gives triangles whose every index names a
// vertex, whose coordinates are finite and whose normals are unit; framed,
// they stay finite.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzzCommon.h"
#include "mesh.h"

namespace {

std::string_view formatOf(std::string_view bytes) {
  const auto starts = [&](std::string_view p) { return bytes.substr(0, p.size()) == p; };
  if (starts("ply")) return "ply";
  if (starts("solid")) return "stl";
  if (starts("glTF")) return "glb";
  if (starts("{")) return "gltf";
  if (starts("Kaydara FBX Binary") || starts("; FBX")) return "fbx";
  if (starts("<?xml") || starts("<COLLADA")) return "dae";
  // Binary STL: an 80-byte header, a count, 50 bytes per triangle.
  if (bytes.size() >= 84) {
    uint32_t count = 0;
    std::memcpy(&count, bytes.data() + 80, sizeof count);
    if (84 + uint64_t{50} * count == bytes.size()) return "stl";
  }
  return "obj";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string_view format = formatOf(bytes);
  const std::string name = "upload." + std::string(format);
  gwst::TriangleMesh mesh;
  std::string error;
  // Well within the fuzzer's own time limit per input: a model the importer
  // loops on is given up, as a user's would be.
  constexpr double kSeconds = 3.0;
  if (!gwst::readMeshFromMemory(data, size, format, name, mesh, error, kSeconds)) {
    if (error.rfind(name + ": ", 0) != 0) gwfuzz::fail("an error that does not name the model");
    if (error.find('\n') != std::string::npos) gwfuzz::fail("an error of more than one line");
    if (mesh.triangleCount() != 0) gwfuzz::fail("triangles left behind by a failed read");
    return 0;
  }
  if (mesh.triangleCount() == 0) gwfuzz::fail("a model read without triangles");
  if (mesh.positions.size() % 3 != 0 || mesh.normals.size() != mesh.positions.size() ||
      mesh.indices.size() % 3 != 0) {
    gwfuzz::fail("arrays of mismatched sizes");
  }
  for (const uint32_t i : mesh.indices) {
    if (i >= mesh.vertexCount()) gwfuzz::fail("an index past the vertices");
  }
  for (const float p : mesh.positions) {
    if (!std::isfinite(p)) gwfuzz::fail("a non-finite coordinate");
  }
  for (size_t v = 0; v < mesh.normals.size(); v += 3) {
    const float* n = &mesh.normals[v];
    const float len2 = n[0] * n[0] + n[1] * n[1] + n[2] * n[2];
    if (!(std::fabs(len2 - 1.0f) < 1e-3f)) gwfuzz::fail("a normal that is not unit");
  }
  gwst::frameMesh(mesh, 0.0f, -1.0f, -5.0f, 1.2f);
  for (const float p : mesh.positions) {
    if (!std::isfinite(p)) gwfuzz::fail("a non-finite coordinate once framed");
  }
  return 0;
}
