// Triangle meshes for the stage: the built-in shapes, models read through
// the Open Asset Import Library (assimp), and the framing that puts either
// in front of the camera.
//
// Axes are the camera's, as everywhere on the stage (x right, y up, the
// camera looking down -z). A mesh is indexed: three vertex indices per
// triangle, counter-clockwise seen from the side its normals face, and one
// unit shading normal per vertex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gwst {

struct TriangleMesh {
  std::vector<float> positions;   // x, y, z per vertex
  std::vector<float> normals;     // x, y, z per vertex, unit
  std::vector<uint32_t> indices;  // three per triangle

  size_t vertexCount() const { return positions.size() / 3; }
  size_t triangleCount() const { return indices.size() / 3; }
  // The bytes the mesh's arrays hold: what memory budgets are measured against.
  size_t dataBytes() const {
    return (positions.size() + normals.size()) * sizeof(float) + indices.size() * sizeof(uint32_t);
  }
  void append(const TriangleMesh& other);
};

// The built-in shapes of --shape. `kSpheres` is the preview's own scene of
// three analytic spheres and makes no mesh; the others are triangle meshes.
enum class Shape { kSpheres, kSphere, kTorus, kCylinder, kShaderBall };

// "spheres", "sphere", "torus", "cylinder", "shaderball".
const char* shapeName(Shape shape);
bool parseShape(std::string_view name, Shape& shape);
// The names, comma separated, for messages and --help.
std::string shapeNames();

// The mesh of `shape` (not kSpheres), about a unit in size, resting on
// y = 0 and centred on the y axis, smooth-shaded, with `around` segments
// around its axis. The default is fine enough that a sharp highlight's
// outline stays smooth at the preview's sizes; the normals are exact at the
// vertices.
TriangleMesh makeShape(Shape shape, int around = 192);

// Files larger than this are refused before the importer sees them.
constexpr size_t kMaxMeshFileBytes = size_t{512} << 20;
// More triangles than this (after triangulation) are refused: memory for the
// mesh and its acceleration structure stays bounded.
constexpr size_t kMaxMeshTriangles = size_t{40} << 20;

// The file name extensions read (lower case, without the dot), comma separated.
std::string meshFormats();

// How long reading a model may take before it is given up.
constexpr double kMeshReadSeconds = 120.0;

// Reads every triangle of the model file `path`: all of its meshes, each
// placed by its node's transform, with smooth shading normals (the file's,
// or computed from the triangles where it has none). False with a one-line
// `error` that names the file and the problem.
//
// The importer runs in a child process, given `seconds`: a model that makes
// it loop or crash is an error like any other, never a hang or a crash of
// the caller (it has done both on malformed files).
bool readMesh(const std::string& path, TriangleMesh& mesh, std::string& error,
              double seconds = kMeshReadSeconds);

// The same from bytes in memory; `format` is the extension saying what they
// are ("obj", "glb", ...), `name` names them in `error`. No file is opened,
// whatever the bytes refer to.
bool readMeshFromMemory(const void* data, size_t size, std::string_view format,
                        const std::string& name, TriangleMesh& mesh, std::string& error,
                        double seconds = kMeshReadSeconds);

// Moves and scales `mesh` uniformly so that its bounding box is centred on
// the vertical line through (centreX, centreZ), rests on y = floorY, and
// its bounding sphere has radius `radius`. Normals are unchanged.
void frameMesh(TriangleMesh& mesh, float centreX, float floorY, float centreZ, float radius);

// `mesh` as the text of a Wavefront OBJ file: its vertices, their normals
// (one `vn` per vertex, so other programs shade it as we do) and its
// triangles, every coordinate with enough digits to read back to the same
// float. How a stage is handed to another renderer.
std::string objText(const TriangleMesh& mesh);

}  // namespace gwst
