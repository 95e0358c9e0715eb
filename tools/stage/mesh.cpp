// Reading models through the Open Asset Import Library: the importer's
// files bounded, its scene checked and turned into one triangle mesh, all
// of it in a child process with a deadline. The built-in shapes and the
// framing are in shapes.cpp.
#include "mesh.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include <assimp/DefaultIOSystem.h>
#include <assimp/IOStream.hpp>
#include <assimp/Importer.hpp>
#include <assimp/config.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include "descriptor_io.h"
#include "path.h"

namespace gwst {
namespace {

// ---------------------------------------------------------------------------
// Reading models

std::string lowerExtension(std::string_view path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  std::string ext(path.substr(dot + 1));
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

constexpr std::array<const char*, 7> kFormats = {"obj", "ply", "stl", "gltf", "glb", "fbx", "dae"};

bool knownFormat(std::string_view ext) {
  return std::find(kFormats.begin(), kFormats.end(), ext) != kFormats.end();
}

// The files the importer opens, the model and whatever it refers to (an
// OBJ's materials, a glTF's buffers): regular files only, so that a
// reference to a device or a pipe cannot block the reader, and none larger
// than the model bound.
class BoundedFiles : public Assimp::DefaultIOSystem {
 public:
  bool Exists(const char* path) const override { return acceptable(path); }
  Assimp::IOStream* Open(const char* path, const char* mode) override {
    if (!acceptable(path) || std::strchr(mode, 'w') || std::strchr(mode, 'a')) return nullptr;
    return DefaultIOSystem::Open(path, mode);
  }

 private:
  static bool acceptable(const char* path) {
    struct stat st {};
    return path && ::stat(path, &st) == 0 && S_ISREG(st.st_mode) &&
           static_cast<unsigned long long>(st.st_size) <= kMaxMeshFileBytes;
  }
};

// For bytes handed over in memory: the importer reads them alone and opens
// no file of its own (an upload's glTF naming "/etc/passwd" as its buffer
// reads nothing).
class NoFiles : public Assimp::IOSystem {
 public:
  bool Exists(const char*) const override { return false; }
  char getOsSeparator() const override { return '/'; }
  Assimp::IOStream* Open(const char*, const char*) override { return nullptr; }
  void Close(Assimp::IOStream* stream) override { delete stream; }
};

// What the importer does to a model: triangles only (polygons split, points
// and lines sorted into meshes of their own, which are skipped), shared
// vertices joined so that computed normals are smooth, and the result
// checked by the importer's own validation before we look at it.
unsigned importFlags(std::string_view format, Assimp::Importer& importer) {
  unsigned flags = aiProcess_Triangulate | aiProcess_SortByPType | aiProcess_JoinIdenticalVertices |
                   aiProcess_ValidateDataStructure;
  if (format == "stl") {
    // STL stores one normal per facet: a faceted look no one wants on a
    // shader preview. Dropping them joins the corners and smooths the normals.
    importer.SetPropertyInteger(AI_CONFIG_PP_RVC_FLAGS, aiComponent_NORMALS);
    flags |= aiProcess_RemoveComponent;
  }
  return flags;
}

std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  constexpr size_t kMaxMessage = 200;
  if (text.size() > kMaxMessage) text = text.substr(0, kMaxMessage) + "...";
  return text;
}

bool finite3(float x, float y, float z) {
  return std::isfinite(x) && std::isfinite(y) && std::isfinite(z);
}

// Area-weighted normals for the vertices of `mesh` from `firstVertex` on
// whose normal is missing (zero).
void fillMissingNormals(TriangleMesh& mesh, size_t firstVertex, size_t firstIndex) {
  std::vector<bool> missing(mesh.vertexCount() - firstVertex);
  bool any = false;
  for (size_t v = firstVertex; v < mesh.vertexCount(); ++v) {
    const float* n = &mesh.normals[3 * v];
    missing[v - firstVertex] = n[0] == 0.0f && n[1] == 0.0f && n[2] == 0.0f;
    any = any || missing[v - firstVertex];
  }
  if (!any) return;
  for (size_t i = firstIndex; i < mesh.indices.size(); i += 3) {
    const float* p0 = &mesh.positions[3 * size_t{mesh.indices[i]}];
    const float* p1 = &mesh.positions[3 * size_t{mesh.indices[i + 1]}];
    const float* p2 = &mesh.positions[3 * size_t{mesh.indices[i + 2]}];
    const double e1[3] = {double{p1[0]} - p0[0], double{p1[1]} - p0[1], double{p1[2]} - p0[2]};
    const double e2[3] = {double{p2[0]} - p0[0], double{p2[1]} - p0[1], double{p2[2]} - p0[2]};
    // The cross product's length is twice the area: larger faces weigh more.
    const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                         e1[0] * e2[1] - e1[1] * e2[0]};
    for (int k = 0; k < 3; ++k) {
      const size_t v = mesh.indices[i + static_cast<size_t>(k)];
      if (!missing[v - firstVertex]) continue;
      for (int c = 0; c < 3; ++c) mesh.normals[3 * v + static_cast<size_t>(c)] += static_cast<float>(n[c]);
    }
  }
  for (size_t v = firstVertex; v < mesh.vertexCount(); ++v) {
    if (!missing[v - firstVertex]) continue;
    float* n = &mesh.normals[3 * v];
    const float len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (len > 0.0f && std::isfinite(len)) {
      for (int c = 0; c < 3; ++c) n[c] /= len;
    } else {
      // Only degenerate triangles meet here: any unit vector shades them.
      n[0] = 0.0f, n[1] = 1.0f, n[2] = 0.0f;
    }
  }
}

class SceneReader {
 public:
  SceneReader(const aiScene& scene, TriangleMesh& out) : scene_(scene), out_(out) {}

  // False with `problem` set.
  bool read(std::string& problem) {
    if (!scene_.mRootNode) {
      problem = "it holds no scene";
      return false;
    }
    if (!node(*scene_.mRootNode, aiMatrix4x4(), 0, problem)) return false;
    if (out_.triangleCount() == 0) {
      problem = "it holds no triangles";
      return false;
    }
    return true;
  }

 private:
  static constexpr int kMaxDepth = 256;  // deeper hierarchies are malformed or hostile

  bool node(const aiNode& n, const aiMatrix4x4& parent, int depth, std::string& problem) {
    if (depth > kMaxDepth) {
      problem = "its node hierarchy is deeper than " + std::to_string(kMaxDepth);
      return false;
    }
    const aiMatrix4x4 world = parent * n.mTransformation;
    for (unsigned i = 0; i < n.mNumMeshes; ++i) {
      if (!n.mMeshes || n.mMeshes[i] >= scene_.mNumMeshes || !scene_.mMeshes[n.mMeshes[i]]) {
        problem = "a node refers to a mesh it does not have";
        return false;
      }
      if (!mesh(*scene_.mMeshes[n.mMeshes[i]], world, problem)) return false;
    }
    for (unsigned i = 0; i < n.mNumChildren; ++i) {
      if (!n.mChildren || !n.mChildren[i]) {
        problem = "a node has a missing child";
        return false;
      }
      if (!node(*n.mChildren[i], world, depth + 1, problem)) return false;
    }
    return true;
  }

  bool mesh(const aiMesh& m, const aiMatrix4x4& world, std::string& problem) {
    if (!(m.mPrimitiveTypes & aiPrimitiveType_TRIANGLE) || !m.mVertices || !m.mFaces) return true;
    size_t triangles = 0;
    for (unsigned f = 0; f < m.mNumFaces; ++f) triangles += m.mFaces[f].mNumIndices == 3 ? 1 : 0;
    if (triangles == 0) return true;
    if (out_.triangleCount() + triangles > kMaxMeshTriangles) {
      problem = "it has more than " + std::to_string(kMaxMeshTriangles) + " triangles";
      return false;
    }
    for (unsigned v = 0; v < m.mNumVertices; ++v) {
      if (!finite3(m.mVertices[v].x, m.mVertices[v].y, m.mVertices[v].z)) {
        problem = "it has non-finite vertex coordinates";
        return false;
      }
    }
    // Normals go through the inverse transpose; a mirroring transform
    // (negative determinant) turns the triangles' winding, which is turned
    // back so that computed normals face the same way as the file's.
    const float det = world.Determinant();
    if (!std::isfinite(det)) {
      problem = "a node's transform is not finite";
      return false;
    }
    const bool mirrored = det < 0.0f;
    aiMatrix3x3 normalMatrix(world);
    const bool invertible = det != 0.0f;
    if (invertible) normalMatrix.Inverse().Transpose();

    const size_t firstVertex = out_.vertexCount();
    const size_t firstIndex = out_.indices.size();
    if (firstVertex + m.mNumVertices > std::numeric_limits<uint32_t>::max()) {
      problem = "it has too many vertices";
      return false;
    }
    out_.positions.reserve(out_.positions.size() + 3 * size_t{m.mNumVertices});
    out_.normals.reserve(out_.normals.size() + 3 * size_t{m.mNumVertices});
    for (unsigned v = 0; v < m.mNumVertices; ++v) {
      const aiVector3D p = world * m.mVertices[v];
      if (!finite3(p.x, p.y, p.z)) {
        problem = "its vertex coordinates are not finite once placed by their node's transform";
        return false;
      }
      out_.positions.insert(out_.positions.end(), {p.x, p.y, p.z});
      aiVector3D n(0.0f, 0.0f, 0.0f);
      if (m.mNormals && invertible) {
        n = normalMatrix * m.mNormals[v];
        const float len = n.Length();
        // A missing or broken normal is left zero, to be computed.
        n = len > 0.0f && std::isfinite(len) ? n / len : aiVector3D(0.0f, 0.0f, 0.0f);
      }
      out_.normals.insert(out_.normals.end(), {n.x, n.y, n.z});
    }
    out_.indices.reserve(out_.indices.size() + 3 * triangles);
    for (unsigned f = 0; f < m.mNumFaces; ++f) {
      const aiFace& face = m.mFaces[f];
      if (face.mNumIndices != 3 || !face.mIndices) continue;
      for (int k = 0; k < 3; ++k) {
        if (face.mIndices[k] >= m.mNumVertices) {
          problem = "a face refers to a vertex it does not have";
          return false;
        }
      }
      const auto base = static_cast<uint32_t>(firstVertex);
      out_.indices.push_back(base + face.mIndices[0]);
      out_.indices.push_back(base + face.mIndices[mirrored ? 2 : 1]);
      out_.indices.push_back(base + face.mIndices[mirrored ? 1 : 2]);
    }
    fillMissingNormals(out_, firstVertex, firstIndex);
    return true;
  }

  const aiScene& scene_;
  TriangleMesh& out_;
};

std::string readFailure(Assimp::Importer& importer, const std::string& name) {
  const std::string why = oneLine(importer.GetErrorString());
  return name + ": cannot read the model" + (why.empty() ? std::string() : ": " + why);
}

// Whether every vertex of every mesh is finite. Checked on the file's own
// values, before any processing: joining vertices compares them, and a NaN
// (equal to nothing) would be dropped or merged silently there.
bool allFinite(const aiScene& scene) {
  for (unsigned i = 0; i < scene.mNumMeshes; ++i) {
    const aiMesh* m = scene.mMeshes ? scene.mMeshes[i] : nullptr;
    if (!m || !m->mVertices) continue;
    for (unsigned v = 0; v < m->mNumVertices; ++v) {
      if (!finite3(m->mVertices[v].x, m->mVertices[v].y, m->mVertices[v].z)) return false;
    }
  }
  return true;
}

// The scene `importer` read (null if it could not), checked, processed and
// turned into one mesh.
bool convert(const aiScene* scene, Assimp::Importer& importer, unsigned flags,
             const std::string& name, TriangleMesh& mesh, std::string& error) {
  if (!scene) {
    error = readFailure(importer, name);
    return false;
  }
  if (!allFinite(*scene)) {
    error = name + ": it has non-finite vertex coordinates";
    return false;
  }
  scene = importer.ApplyPostProcessing(flags);
  if (!scene) {
    error = readFailure(importer, name);
    return false;
  }
  TriangleMesh out;
  std::string problem;
  if (!SceneReader(*scene, out).read(problem)) {
    error = name + ": " + problem;
    return false;
  }
  mesh = std::move(out);
  return true;
}

// ---------------------------------------------------------------------------
// Reading in a child process
//
// The importer is a large parser of many formats with a record of faults on
// hostile input: loops that never end, crashes, leaks. A model is read in a
// child process that hands the triangles back through a pipe; the parent
// gives it a deadline, kills it when that passes, and reports a crash as a
// failure to read. What comes back is checked again before it is used.

// Reads `size` bytes before `deadline`; false on end of file, error or time out
// (`timedOut` says which).
bool readAll(int fd, void* data, size_t size, std::chrono::steady_clock::time_point deadline,
             bool& timedOut) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      timedOut = true;
      return false;
    }
    pollfd pfd{fd, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return false;
    if (ready == 0) continue;
    const ssize_t n = ::read(fd, p, size);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

template <typename T>
bool writeArray(int fd, const std::vector<T>& v) {
  const uint64_t n = v.size();
  return gwf::writeAll(fd, &n, sizeof n) && gwf::writeAll(fd, v.data(), n * sizeof(T));
}

template <typename T>
bool readArray(int fd, std::vector<T>& v, uint64_t max, std::chrono::steady_clock::time_point deadline,
               bool& timedOut) {
  uint64_t n = 0;
  if (!readAll(fd, &n, sizeof n, deadline, timedOut) || n > max) return false;
  v.resize(static_cast<size_t>(n));
  return readAll(fd, v.data(), v.size() * sizeof(T), deadline, timedOut);
}

// Runs `read` in a child process. The child sends a status byte, then the
// mesh's three arrays or the error's text.
template <typename Read>
bool readIsolated(const Read& read, const std::string& name, double seconds, TriangleMesh& mesh,
                  std::string& error) {
  int fds[2];
  if (::pipe(fds) != 0) {
    error = name + ": cannot start the model reader: " + std::strerror(errno);
    return false;
  }
  const pid_t child = ::fork();
  if (child < 0) {
    error = name + ": cannot start the model reader: " + std::strerror(errno);
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (child == 0) {
    ::close(fds[0]);
    TriangleMesh m;
    std::string e;
    const char ok = read(m, e) ? 1 : 0;
    bool sent = gwf::writeAll(fds[1], &ok, 1);
    if (ok) {
      sent = sent && writeArray(fds[1], m.positions) && writeArray(fds[1], m.normals) &&
             writeArray(fds[1], m.indices);
    } else {
      sent = sent && writeArray(fds[1], std::vector<char>(e.begin(), e.end()));
    }
    ::_exit(sent ? 0 : 1);
  }
  ::close(fds[1]);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(seconds));
  bool timedOut = false;
  char ok = 0;
  TriangleMesh m;
  std::vector<char> text;
  constexpr uint64_t kMaxVertexFloats = 3 * uint64_t{std::numeric_limits<uint32_t>::max()};
  bool received = readAll(fds[0], &ok, 1, deadline, timedOut);
  if (received && ok) {
    received = readArray(fds[0], m.positions, kMaxVertexFloats, deadline, timedOut) &&
               readArray(fds[0], m.normals, kMaxVertexFloats, deadline, timedOut) &&
               readArray(fds[0], m.indices, 3 * uint64_t{kMaxMeshTriangles}, deadline, timedOut);
  } else if (received) {
    received = readArray(fds[0], text, 4096, deadline, timedOut);
  }
  ::close(fds[0]);
  if (!received) ::kill(child, SIGKILL);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) {
    error = name + ": reading it took longer than " + std::to_string(static_cast<int>(seconds)) +
            " s; given up";
    return false;
  }
  if (!received || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = name + ": the model importer failed on it" +
            (WIFSIGNALED(status) ? " (it crashed: signal " + std::to_string(WTERMSIG(status)) + ")"
                                 : std::string());
    return false;
  }
  if (!ok) {
    error.assign(text.begin(), text.end());
    return false;
  }
  // The same checks as in the child, on what arrived.
  bool sound = m.positions.size() % 3 == 0 && m.normals.size() == m.positions.size() &&
               m.indices.size() % 3 == 0 && !m.indices.empty();
  for (size_t i = 0; sound && i < m.indices.size(); ++i) sound = m.indices[i] < m.vertexCount();
  for (size_t i = 0; sound && i < m.positions.size(); ++i) {
    sound = std::isfinite(m.positions[i]) && std::isfinite(m.normals[i]);
  }
  if (!sound) {
    error = name + ": the model importer handed back broken triangles";
    return false;
  }
  mesh = std::move(m);
  return true;
}

}  // namespace

std::string meshFormats() {
  std::string s;
  for (const char* f : kFormats) s += (s.empty() ? "" : ", ") + std::string(f);
  return s;
}

namespace {

// Whether `size` bytes in `format` (an extension, lower case) are worth
// handing to the importer: not empty, within the bound, a format read here.
bool readableModel(const std::string& name, uint64_t size, std::string_view format,
                   std::string& error) {
  if (size == 0) {
    error = name + ": is empty";
    return false;
  }
  if (size > kMaxMeshFileBytes) {
    error = name + ": is larger than " + std::to_string(kMaxMeshFileBytes >> 20) + " MiB";
    return false;
  }
  if (!knownFormat(format)) {
    error = name + ": not a model format read here (" + meshFormats() + ")";
    return false;
  }
  return true;
}

}  // namespace

bool readMesh(const std::string& path, TriangleMesh& mesh, std::string& error, double seconds) {
  uint64_t size = 0;
  const std::string format = lowerExtension(path);
  if (!gwf::regularFileSize(path, "a model file", "", size, error) ||
      !readableModel(path, size, format, error)) {
    return false;
  }
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fclose(f);
  } else {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  const auto read = [&](TriangleMesh& m, std::string& e) {
    Assimp::Importer importer;
    importer.SetIOHandler(new BoundedFiles);  // the importer owns it
    const unsigned flags = importFlags(format, importer);
    // Read with the structure checked only; processed once the values are.
    return convert(importer.ReadFile(path, aiProcess_ValidateDataStructure), importer, flags,
                   path, m, e);
  };
  return readIsolated(read, path, seconds, mesh, error);
}

bool readMeshFromMemory(const void* data, size_t size, std::string_view format,
                        const std::string& name, TriangleMesh& mesh, std::string& error,
                        double seconds) {
  if (!readableModel(name, size, format, error)) return false;
  const std::string hint(format);
  const auto read = [&](TriangleMesh& m, std::string& e) {
    Assimp::Importer importer;
    importer.SetIOHandler(new NoFiles);
    const unsigned flags = importFlags(hint, importer);
    return convert(
        importer.ReadFileFromMemory(data, size, aiProcess_ValidateDataStructure, hint.c_str()),
        importer, flags, name, m, e);
  };
  return readIsolated(read, name, seconds, mesh, error);
}

std::string objText(const TriangleMesh& mesh) {
  std::string text = "# " + std::to_string(mesh.vertexCount()) + " vertices, " +
                     std::to_string(mesh.triangleCount()) + " triangles\n";
  char line[128];
  const auto triple = [&](const char* tag, const std::vector<float>& v, size_t i) {
    // %.9g: nine significant digits read back to the same float.
    std::snprintf(line, sizeof line, "%s %.9g %.9g %.9g\n", tag, static_cast<double>(v[i]),
                  static_cast<double>(v[i + 1]), static_cast<double>(v[i + 2]));
    text += line;
  };
  for (size_t i = 0; i + 2 < mesh.positions.size(); i += 3) triple("v", mesh.positions, i);
  const bool normals = mesh.normals.size() == mesh.positions.size();
  if (normals) {
    for (size_t i = 0; i + 2 < mesh.normals.size(); i += 3) triple("vn", mesh.normals, i);
  }
  for (size_t i = 0; i + 2 < mesh.indices.size(); i += 3) {
    // OBJ counts from 1; a face names its vertices' normals by the same index.
    const unsigned a = mesh.indices[i] + 1, b = mesh.indices[i + 1] + 1, c = mesh.indices[i + 2] + 1;
    if (normals) {
      std::snprintf(line, sizeof line, "f %u//%u %u//%u %u//%u\n", a, a, b, b, c, c);
    } else {
      std::snprintf(line, sizeof line, "f %u %u %u\n", a, b, c);
    }
    text += line;
  }
  return text;
}

}  // namespace gwst
