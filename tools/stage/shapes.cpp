// The built-in shapes of the stage, made as triangle meshes, and the
// framing that puts a shape or a model in front of the camera.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "mesh.h"

namespace gwst {
namespace {

constexpr float kPi = 3.14159265f;

struct Builder {
  TriangleMesh mesh;

  uint32_t vertex(float x, float y, float z, float nx, float ny, float nz) {
    const float len = std::sqrt(nx * nx + ny * ny + nz * nz);
    const float s = len > 0.0f ? 1.0f / len : 0.0f;
    mesh.positions.insert(mesh.positions.end(), {x, y, z});
    mesh.normals.insert(mesh.normals.end(), {nx * s, ny * s, nz * s});
    return static_cast<uint32_t>(mesh.vertexCount() - 1);
  }
  void triangle(uint32_t a, uint32_t b, uint32_t c) {
    mesh.indices.insert(mesh.indices.end(), {a, b, c});
  }
  // A grid of (columns + 1) x (rows + 1) vertices made by `at(u, v)` (u, v
  // in [0, 1]), joined into quads; `at` fills position and normal.
  template <typename At>
  void grid(int columns, int rows, At at) {
    const auto first = static_cast<uint32_t>(mesh.vertexCount());
    for (int j = 0; j <= rows; ++j) {
      for (int i = 0; i <= columns; ++i) {
        std::array<float, 6> v = at(static_cast<float>(i) / static_cast<float>(columns),
                                    static_cast<float>(j) / static_cast<float>(rows));
        vertex(v[0], v[1], v[2], v[3], v[4], v[5]);
      }
    }
    const auto stride = static_cast<uint32_t>(columns + 1);
    for (uint32_t j = 0; j < static_cast<uint32_t>(rows); ++j) {
      for (uint32_t i = 0; i < static_cast<uint32_t>(columns); ++i) {
        const uint32_t a = first + j * stride + i;
        triangle(a, a + stride, a + 1);
        triangle(a + 1, a + stride, a + stride + 1);
      }
    }
  }

  // A sphere of radius r around (cx, cy, cz); v runs from the top pole down.
  void sphere(float cx, float cy, float cz, float r, int columns, int rows) {
    grid(columns, rows, [&](float u, float v) {
      const float phi = 2.0f * kPi * u;
      const float theta = kPi * v;
      // Exactly at the poles: every vertex of a pole's row is the same point.
      const float st = v == 0.0f || v == 1.0f ? 0.0f : std::sin(theta);
      const float nx = st * std::sin(phi);
      const float ny = v == 0.0f ? 1.0f : v == 1.0f ? -1.0f : std::cos(theta);
      const float nz = st * std::cos(phi);
      return std::array<float, 6>{cx + r * nx, cy + r * ny, cz + r * nz, nx, ny, nz};
    });
  }

  // A torus about the y axis through (0, cy, 0), tilted about x by `tilt`.
  void torus(float cy, float major, float minor, float tilt, int columns, int rows) {
    const float ct = std::cos(tilt);
    const float st = std::sin(tilt);
    grid(columns, rows, [&](float u, float v) {
      const float phi = 2.0f * kPi * u;
      const float theta = 2.0f * kPi * v;
      const float nx = std::cos(theta) * std::cos(phi);
      const float ny = std::sin(theta);
      const float nz = std::cos(theta) * std::sin(phi);
      const float px = major * std::cos(phi) + minor * nx;
      const float pz = major * std::sin(phi) + minor * nz;
      const float py = minor * ny;
      // Rotating about x: y' = y cos - z sin, z' = y sin + z cos.
      return std::array<float, 6>{px,           cy + py * ct - pz * st, py * st + pz * ct,
                                  nx,           ny * ct - nz * st,      ny * st + nz * ct};
    });
  }

  // A capped cylinder about the y axis from y0 to y1: smooth sides, flat caps.
  void cylinder(float r, float y0, float y1, int columns) {
    grid(columns, 1, [&](float u, float v) {
      const float phi = 2.0f * kPi * u;
      const float nx = std::sin(phi);
      const float nz = std::cos(phi);
      return std::array<float, 6>{r * nx, y1 + (y0 - y1) * v, r * nz, nx, 0.0f, nz};
    });
    for (const float y : {y0, y1}) {
      const float ny = y == y1 ? 1.0f : -1.0f;
      const uint32_t centre = vertex(0.0f, y, 0.0f, 0.0f, ny, 0.0f);
      const auto rim = static_cast<uint32_t>(mesh.vertexCount());
      for (int i = 0; i < columns; ++i) {
        const float phi = 2.0f * kPi * static_cast<float>(i) / static_cast<float>(columns);
        vertex(r * std::sin(phi), y, r * std::cos(phi), 0.0f, ny, 0.0f);
      }
      for (uint32_t i = 0; i < static_cast<uint32_t>(columns); ++i) {
        const uint32_t a = rim + i;
        const uint32_t b = rim + (i + 1) % static_cast<uint32_t>(columns);
        if (ny > 0.0f) {
          triangle(centre, a, b);
        } else {
          triangle(centre, b, a);
        }
      }
    }
  }
};

}  // namespace

void TriangleMesh::append(const TriangleMesh& other) {
  const auto base = static_cast<uint32_t>(vertexCount());
  positions.insert(positions.end(), other.positions.begin(), other.positions.end());
  normals.insert(normals.end(), other.normals.begin(), other.normals.end());
  for (const uint32_t i : other.indices) indices.push_back(base + i);
}

const char* shapeName(Shape shape) {
  switch (shape) {
    case Shape::kSpheres: return "spheres";
    case Shape::kSphere: return "sphere";
    case Shape::kTorus: return "torus";
    case Shape::kCylinder: return "cylinder";
    case Shape::kShaderBall: return "shaderball";
  }
  return "spheres";
}

bool parseShape(std::string_view name, Shape& shape) {
  for (const Shape s :
       {Shape::kSpheres, Shape::kSphere, Shape::kTorus, Shape::kCylinder, Shape::kShaderBall}) {
    if (name == shapeName(s)) {
      shape = s;
      return true;
    }
  }
  return false;
}

std::string shapeNames() { return "spheres, sphere, torus, cylinder, shaderball"; }

TriangleMesh makeShape(Shape shape, int around) {
  const int kAround = std::max(around, 8);
  Builder b;
  switch (shape) {
    case Shape::kSpheres:
      break;
    case Shape::kSphere:
      b.sphere(0.0f, 0.5f, 0.0f, 0.5f, kAround, kAround / 2);
      break;
    case Shape::kTorus:
      // Tilted towards the camera, so that both the ring's outside and its
      // hole face it.
      b.torus(0.0f, 0.5f, 0.2f, 55.0f * kPi / 180.0f, kAround, kAround / 2);
      break;
    case Shape::kCylinder:
      b.cylinder(0.4f, 0.0f, 1.0f, kAround);
      break;
    case Shape::kShaderBall:
      // A ball on a short pedestal with a raised ring round it, tilted: the
      // ring's tangents turn against the ball's, so an anisotropic
      // highlight runs one way on the ball and another on the ring.
      b.cylinder(0.28f, 0.0f, 0.24f, kAround);
      b.sphere(0.0f, 0.72f, 0.0f, 0.5f, kAround, kAround / 2);
      b.torus(0.72f, 0.49f, 0.045f, 25.0f * kPi / 180.0f, kAround, 24);
      break;
  }
  // Standing on y = 0 whatever the parts' placement.
  float bottom = 0.0f;
  for (size_t i = 1; i < b.mesh.positions.size(); i += 3) bottom = std::min(bottom, b.mesh.positions[i]);
  for (size_t i = 1; i < b.mesh.positions.size(); i += 3) b.mesh.positions[i] -= bottom;
  return std::move(b.mesh);
}

void frameMesh(TriangleMesh& mesh, float centreX, float floorY, float centreZ, float radius) {
  if (mesh.positions.empty()) return;
  float lo[3] = {mesh.positions[0], mesh.positions[1], mesh.positions[2]};
  float hi[3] = {lo[0], lo[1], lo[2]};
  for (size_t i = 0; i < mesh.positions.size(); i += 3) {
    for (size_t c = 0; c < 3; ++c) {
      lo[c] = std::min(lo[c], mesh.positions[i + c]);
      hi[c] = std::max(hi[c], mesh.positions[i + c]);
    }
  }
  // In double: a model's coordinates may be far from the origin or huge,
  // and their span must not overflow.
  double span = 0.0;
  for (int c = 0; c < 3; ++c) span += (double{hi[c]} - lo[c]) * (double{hi[c]} - lo[c]);
  const double half = 0.5 * std::sqrt(span);
  // A single point has no size to scale; it is only moved.
  const double scale = half > 0.0 ? radius / half : 1.0;
  const double mid[3] = {0.5 * (double{lo[0]} + hi[0]), double{lo[1]}, 0.5 * (double{lo[2]} + hi[2])};
  const double to[3] = {centreX, floorY, centreZ};
  for (size_t i = 0; i < mesh.positions.size(); i += 3) {
    for (size_t c = 0; c < 3; ++c) {
      mesh.positions[i + c] =
          static_cast<float>((double{mesh.positions[i + c]} - mid[c]) * scale + to[c]);
    }
  }
}

}  // namespace gwst
