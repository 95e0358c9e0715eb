// The stage's meshes: models read through assimp from files the tests write
// (by hand, or exported by assimp itself for the binary formats), their
// node transforms and normals, the built-in shapes and the framing.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <assimp/Exporter.hpp>
#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "mesh.h"

namespace gwst {
namespace {

// An octahedron with shared corners and no normals: every smooth vertex
// normal is the corner's own direction.
constexpr const char* kOctahedronObj =
    "v 1 0 0\nv -1 0 0\nv 0 1 0\nv 0 -1 0\nv 0 0 1\nv 0 0 -1\n"
    "f 1 3 5\nf 3 2 5\nf 2 4 5\nf 4 1 5\nf 3 1 6\nf 2 3 6\nf 4 2 6\nf 1 4 6\n";

std::string tempDir() {
  char name[] = "/tmp/glintweave-mesh-XXXXXX";
  const char* made = ::mkdtemp(name);
  return made ? made : "/tmp";
}

std::string write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

struct Box {
  float lo[3] = {1e30f, 1e30f, 1e30f};
  float hi[3] = {-1e30f, -1e30f, -1e30f};
};
Box bounds(const TriangleMesh& m) {
  Box b;
  for (size_t i = 0; i < m.positions.size(); ++i) {
    b.lo[i % 3] = std::min(b.lo[i % 3], m.positions[i]);
    b.hi[i % 3] = std::max(b.hi[i % 3], m.positions[i]);
  }
  return b;
}

// Every vertex normal is unit and points away from `centre` (a convex
// shape around it), and every index names a vertex.
void expectOutwardUnitNormals(const TriangleMesh& m, float cx, float cy, float cz) {
  ASSERT_EQ(m.normals.size(), m.positions.size());
  for (size_t v = 0; v < m.vertexCount(); ++v) {
    const float* n = &m.normals[3 * v];
    const float* p = &m.positions[3 * v];
    EXPECT_NEAR(n[0] * n[0] + n[1] * n[1] + n[2] * n[2], 1.0f, 1e-4f) << "vertex " << v;
    EXPECT_GT(n[0] * (p[0] - cx) + n[1] * (p[1] - cy) + n[2] * (p[2] - cz), 0.0f) << "vertex " << v;
  }
  for (const uint32_t i : m.indices) EXPECT_LT(i, m.vertexCount());
}

// A glTF of the octahedron placed by a parent and a child node; `matrix`
// is the child's (column-major), the parent moves by (10, 0, 0).
std::string octahedronGltf(const std::string& childMatrix) {
  // Positions (6 x VEC3 float) then indices (24 x uint16), base64 below.
  static const float p[] = {1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1};
  static const uint16_t idx[] = {0, 2, 4, 2, 1, 4, 1, 3, 4, 3, 0, 4,
                                 2, 0, 5, 1, 2, 5, 3, 1, 5, 0, 3, 5};
  std::string raw(reinterpret_cast<const char*>(p), sizeof p);
  raw.append(reinterpret_cast<const char*>(idx), sizeof idx);
  static const char* kB64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string b64;
  for (size_t i = 0; i < raw.size(); i += 3) {
    uint32_t n = static_cast<uint8_t>(raw[i]) << 16;
    if (i + 1 < raw.size()) n |= static_cast<uint8_t>(raw[i + 1]) << 8;
    if (i + 2 < raw.size()) n |= static_cast<uint8_t>(raw[i + 2]);
    b64 += kB64[(n >> 18) & 63];
    b64 += kB64[(n >> 12) & 63];
    b64 += i + 1 < raw.size() ? kB64[(n >> 6) & 63] : '=';
    b64 += i + 2 < raw.size() ? kB64[n & 63] : '=';
  }
  return R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],
"nodes":[{"children":[1],"translation":[10,0,0]},{"mesh":0,"matrix":)" +
         childMatrix + R"(}],
"meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1}]}],
"buffers":[{"byteLength":)" +
         std::to_string(raw.size()) + R"(,"uri":"data:application/octet-stream;base64,)" + b64 +
         R"("}],
"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":72},{"buffer":0,"byteOffset":72,"byteLength":48}],
"accessors":[{"bufferView":0,"componentType":5126,"count":6,"type":"VEC3","min":[-1,-1,-1],"max":[1,1,1]},
{"bufferView":1,"componentType":5123,"count":24,"type":"SCALAR"}]})";
}

TEST(MeshRead, EveryFormatGivesTheSameTrianglesWithSmoothOutwardNormals) {
  const std::string dir = tempDir();
  // The text formats by hand; the binary ones (and glTF's) exported by the
  // importer's own exporter from the OBJ.
  const std::string obj = write(dir + "/octa.obj", kOctahedronObj);
  Assimp::Importer importer;
  const aiScene* source = importer.ReadFile(obj, aiProcess_JoinIdenticalVertices);
  ASSERT_NE(source, nullptr) << importer.GetErrorString();
  struct Export {
    const char* id;
    const char* file;
  };
  // (Binary FBX is not among them: this importer cannot read back what its
  // own exporter writes in that format.)
  const Export exports[] = {{"fbxa", "octa.fbx"},     {"glb2", "octa.glb"},
                            {"gltf2", "octa.gltf"}, {"ply", "octa.ply"},        {"plyb", "octa-b.ply"},
                            {"stl", "octa.stl"},    {"stlb", "octa-b.stl"},     {"collada", "octa.dae"}};
  std::vector<std::string> paths{obj};
  Assimp::Exporter exporter;
  for (const Export& e : exports) {
    ASSERT_EQ(exporter.Export(source, e.id, dir + "/" + e.file), aiReturn_SUCCESS)
        << e.id << ": " << exporter.GetErrorString();
    paths.push_back(dir + "/" + e.file);
  }
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    TriangleMesh m;
    std::string error;
    ASSERT_TRUE(readMesh(path, m, error)) << error;
    EXPECT_EQ(m.triangleCount(), 8u);
    const Box b = bounds(m);
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(b.lo[c], -1.0f, 1e-5f);
      EXPECT_NEAR(b.hi[c], 1.0f, 1e-5f);
    }
    // STL's facet normals included: the corners are joined and smoothed.
    expectOutwardUnitNormals(m, 0, 0, 0);
    for (size_t v = 0; v < m.vertexCount(); ++v) {
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(m.normals[3 * v + c], m.positions[3 * v + c], 1e-4f);
    }
  }
}

TEST(MeshRead, NodeTransformsPlaceEveryMeshAndMirroringKeepsNormalsOutward) {
  struct Case {
    const char* matrix;  // the child node's, column-major
    float scale[3];      // what it does to the unit octahedron's extent
    float move[3];
  };
  const Case cases[] = {
      {"[1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1]", {1, 1, 1}, {10, 0, 0}},
      {"[2,0,0,0, 0,3,0,0, 0,0,1,0, 0,5,0,1]", {2, 3, 1}, {10, 5, 0}},
      // A mirror: the winding turns, the normals must not.
      {"[-1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1]", {1, 1, 1}, {10, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.matrix);
    const std::string gltf = octahedronGltf(c.matrix);
    TriangleMesh m;
    std::string error;
    ASSERT_TRUE(readMeshFromMemory(gltf.data(), gltf.size(), "gltf", "octa.gltf", m, error))
        << error;
    ASSERT_EQ(m.triangleCount(), 8u);
    const Box b = bounds(m);
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(b.lo[k], c.move[k] - c.scale[k], 1e-5f);
      EXPECT_NEAR(b.hi[k], c.move[k] + c.scale[k], 1e-5f);
    }
    expectOutwardUnitNormals(m, c.move[0], c.move[1], c.move[2]);
    // The winding agrees with the normals: each triangle's own normal
    // faces outward too (what back-facing decisions rest on).
    for (size_t i = 0; i < m.indices.size(); i += 3) {
      const float* p0 = &m.positions[3 * m.indices[i]];
      const float* p1 = &m.positions[3 * m.indices[i + 1]];
      const float* p2 = &m.positions[3 * m.indices[i + 2]];
      const float e1[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
      const float e2[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
      const float n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                          e1[0] * e2[1] - e1[1] * e2[0]};
      EXPECT_GT(n[0] * (p0[0] - c.move[0]) + n[1] * (p0[1] - c.move[1]) +
                    n[2] * (p0[2] - c.move[2]),
                0.0f);
    }
  }
}

struct BadBytes {
  const char* what;
  const char* format;
  std::string bytes;
  const char* message;  // what the error says after "NAME: "
};

TEST(MeshRead, BadBytesAreRefusedWithOneLineNamingThem) {
  const BadBytes cases[] = {
      {"empty", "obj", "", "is empty"},
      {"no faces", "obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\n", "cannot read the model"},
      {"lines only", "obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nl 1 2\nl 2 3\n", "holds no triangles"},
      {"infinite", "obj", "v 0 0 0\nv 1 0 0\nv 1e60 1 0\nf 1 2 3\n", "non-finite"},
      {"nan (which joining vertices would drop silently)", "ply",
       "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
       "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n"
       "0 0 0\n1 0 0\nnan 1 0\n3 0 1 2\n",
       "non-finite"},
      {"index out of range", "ply",
       "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
       "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n"
       "0 0 0\n1 0 0\n0 1 0\n3 0 1 7\n",
       ""},
      {"garbage glb", "glb", "glTF\x02\0\0\0garbage", "cannot read the model"},
      {"truncated gltf", "gltf", R"({"asset":{"version":"2.0"},"meshes":[{"primit)",
       "cannot read the model"},
      {"binary noise as fbx", "fbx", std::string("Kaydara FBX Binary  \0\x1a\0\xff\xff\xff\xff", 27),
       "cannot read the model"},
      {"unknown format", "xyz", "v 0 0 0\n", "not a model format read here"},
  };
  for (const BadBytes& c : cases) {
    SCOPED_TRACE(c.what);
    TriangleMesh m;
    std::string error;
    EXPECT_FALSE(readMeshFromMemory(c.bytes.data(), c.bytes.size(), c.format, "model", m, error));
    EXPECT_EQ(error.rfind("model: ", 0), 0u) << error;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(m.triangleCount(), 0u);
  }
}

TEST(MeshRead, AModelTheImporterLoopsOnIsGivenUpNotWaitedFor) {
  // A PLY header cut into by other text: the importer reads on without end
  // (and without bound on its memory).
  const std::string ply =
      "ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\n"
      "property float z\nelement face 2\nproperty list uchacet normal 0 0 1\nouter loop\n"
      "vertex 1 0 0\nvertex 1 1 0\nvertex 0 1 0\nend3 2\n";
  TriangleMesh m;
  std::string error;
  EXPECT_FALSE(readMeshFromMemory(ply.data(), ply.size(), "ply", "loop.ply", m, error, 1.0));
  EXPECT_EQ(error, "loop.ply: reading it took longer than 1 s; given up");
  EXPECT_EQ(m.triangleCount(), 0u);
}

TEST(MeshRead, BytesInMemoryNeverOpenAFile) {
  // A glTF whose buffer is a file: from memory (an upload) nothing is read.
  const std::string dir = tempDir();
  write(dir + "/buffer.bin", std::string(120, '\0'));
  const std::string gltf =
      R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}],
"meshes":[{"primitives":[{"attributes":{"POSITION":0}}]}],
"buffers":[{"byteLength":120,"uri":")" +
      dir + R"(/buffer.bin"}],"bufferViews":[{"buffer":0,"byteLength":36}],
"accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3"}]})";
  TriangleMesh m;
  std::string error;
  EXPECT_FALSE(readMeshFromMemory(gltf.data(), gltf.size(), "gltf", "upload", m, error));
  EXPECT_EQ(error.rfind("upload: ", 0), 0u) << error;
}

TEST(Shapes, EachIsAClosedSmoothSolidStandingOnTheGround) {
  for (const Shape shape : {Shape::kSphere, Shape::kTorus, Shape::kCylinder, Shape::kShaderBall}) {
    SCOPED_TRACE(shapeName(shape));
    Shape back;
    ASSERT_TRUE(parseShape(shapeName(shape), back));
    EXPECT_EQ(back, shape);
    const TriangleMesh m = makeShape(shape);
    ASSERT_GT(m.triangleCount(), 500u);
    ASSERT_EQ(m.normals.size(), m.positions.size());
    const Box b = bounds(m);
    EXPECT_NEAR(b.lo[1], 0.0f, 0.05f);
    // Closed and consistently wound: the signed volume (sum over triangles
    // of p0 . (p1 x p2) / 6) is positive, and each triangle's own normal
    // agrees with its corners' shading normals.
    double volume = 0.0;
    size_t disagreeing = 0;
    for (size_t i = 0; i < m.indices.size(); i += 3) {
      const float* p0 = &m.positions[3 * m.indices[i]];
      const float* p1 = &m.positions[3 * m.indices[i + 1]];
      const float* p2 = &m.positions[3 * m.indices[i + 2]];
      const double c[3] = {double{p1[1]} * p2[2] - double{p1[2]} * p2[1],
                           double{p1[2]} * p2[0] - double{p1[0]} * p2[2],
                           double{p1[0]} * p2[1] - double{p1[1]} * p2[0]};
      volume += (p0[0] * c[0] + p0[1] * c[1] + p0[2] * c[2]) / 6.0;
      const float e1[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
      const float e2[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
      const float n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                          e1[0] * e2[1] - e1[1] * e2[0]};
      const float* ns = &m.normals[3 * m.indices[i]];
      if (n[0] * ns[0] + n[1] * ns[1] + n[2] * ns[2] < 0.0f) ++disagreeing;
    }
    EXPECT_GT(volume, 0.05);
    EXPECT_EQ(disagreeing, 0u);

    // Written as OBJ (how a stage goes to another renderer) and read back:
    // the same triangles, corner by corner, with the same normals.
    const std::string obj = objText(m);
    TriangleMesh read;
    std::string error;
    ASSERT_TRUE(readMeshFromMemory(obj.data(), obj.size(), "obj", "shape.obj", read, error))
        << error;
    ASSERT_EQ(read.triangleCount(), m.triangleCount());
    size_t differing = 0;
    for (size_t i = 0; i < m.indices.size(); ++i) {
      for (int c = 0; c < 3; ++c) {
        // The importer's own number parser may round the last digit.
        const size_t was = 3 * size_t{m.indices[i]} + c, is = 3 * size_t{read.indices[i]} + c;
        if (std::fabs(m.positions[was] - read.positions[is]) > 1e-6f ||
            std::fabs(m.normals[was] - read.normals[is]) > 1e-6f) {
          ++differing;
        }
      }
    }
    EXPECT_EQ(differing, 0u);
  }
  Shape unknown;
  EXPECT_FALSE(parseShape("cube", unknown));
  EXPECT_FALSE(parseShape("", unknown));
}

TEST(Shapes, FramingCentresScalesAndStandsTheModelOnTheFloor) {
  TriangleMesh m = makeShape(Shape::kTorus);
  // Far away and huge, as a file in millimetres may be.
  for (size_t i = 0; i < m.positions.size(); ++i) {
    m.positions[i] = m.positions[i] * 5000.0f + (i % 3 == 0 ? 1e5f : -3e4f);
  }
  frameMesh(m, 0.5f, -1.0f, -5.0f, 1.2f);
  const Box b = bounds(m);
  EXPECT_NEAR(b.lo[1], -1.0f, 1e-5f);
  EXPECT_NEAR(0.5f * (b.lo[0] + b.hi[0]), 0.5f, 1e-4f);
  EXPECT_NEAR(0.5f * (b.lo[2] + b.hi[2]), -5.0f, 1e-4f);
  const float dx = b.hi[0] - b.lo[0], dy = b.hi[1] - b.lo[1], dz = b.hi[2] - b.lo[2];
  EXPECT_NEAR(0.5f * std::sqrt(dx * dx + dy * dy + dz * dz), 1.2f, 1e-4f);

  // A single point has no size: it is moved, not blown up.
  TriangleMesh point;
  point.positions = {3, 3, 3, 3, 3, 3, 3, 3, 3};
  point.normals = {0, 1, 0, 0, 1, 0, 0, 1, 0};
  point.indices = {0, 1, 2};
  frameMesh(point, 0.0f, -1.0f, -5.0f, 1.2f);
  EXPECT_EQ(point.positions[0], 0.0f);
  EXPECT_EQ(point.positions[1], -1.0f);
  EXPECT_EQ(point.positions[2], -5.0f);
}

}  // namespace
}  // namespace gwst
