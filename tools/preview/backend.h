// The seam between the renderer and a host: a Backend stands for one
// deliverable loaded into its stand-in host, and hands out shading contexts.
//
// A ShadingContext holds what one rendering thread needs to shade without
// sharing anything mutable with other threads (the Maya side's nodes and data
// blocks, the mental ray side's state records). A context is used by one
// thread at a time; the renderer may hand it to another thread later.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "material.h"
#include "scene.h"
#include "vec3.h"

namespace gwp {

using SlotMaterials = std::array<int, kSlotCount>;

class ShadingContext {
 public:
  virtual ~ShadingContext() = default;
  // The colour the host computes for a camera ray that hit the scene. Every
  // surface is shaded with the material its slot maps to in `slots` (indices
  // into the backend's materials), hits of the rays the host traces for the
  // deliverable included. Misses of camera rays never reach a backend: the
  // renderer looks them up in the environment.
  virtual Rgb shadeCameraHit(const Ray& ray, const Hit& hit, const SlotMaterials& slots) = 0;
  // Names the camera sample that the next shadeCameraHit belongs to: the
  // panel-local pixel and the sample's index within the pixel. A host that
  // spreads its light samples over a pixel's camera samples places them by
  // it; without a call they are placed as for sample 0 of pixel (0, 0).
  virtual void setCameraSample(int pixelX, int pixelY, int sample) {
    (void)pixelX;
    (void)pixelY;
    (void)sample;
  }
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual const char* name() const = 0;  // "maya" or "mentalray"
  virtual std::unique_ptr<ShadingContext> newContext() = 0;

  // Replaces material `index` (an index into the materials the backend was
  // created with) in the loaded deliverable, as a host does when the user
  // edits a node or a shader between renders. The caller's vector is not
  // touched. It must not run while a render that uses material `index` is
  // running; renders that use other materials may run meanwhile, and their
  // contexts are made from consistent materials. Hosts that cannot do it
  // say so in `error`.
  virtual bool setMaterial(size_t index, const Material& material, std::string& error);

  // The scene the backend was created with has changed (other lights, other
  // objects), as between two renders of a host's session: what the host
  // copied of it is taken again. Not while a render runs.
  virtual bool sceneChanged(std::string& error) {
    (void)error;
    return true;
  }

  // The measured lobe: for one surface point whose normal is +y (first
  // tangent +x, second +z in both hosts' frames), seen from the unit
  // direction `view`, the colour the deliverable's own entry point returns
  // for a single white light of unit intensity from each unit direction of
  // `lights`, with `material` stripped of everything that does not answer
  // a light (see lobeMaterial). One value per light, in order. May run
  // while renders run.
  virtual bool measureLobe(const Material& material, Vec3 view, const std::vector<Vec3>& lights,
                           std::vector<Rgb>& out, std::string& error);
};

// `material` with what does not respond to a light switched off: reflections
// (reflectivity 0), the ambient colour, incandescence and the indirect term.
// Transparency stays: on the Maya side it scales the diffuse response.
Material lobeMaterial(const Material& material);

// The host's name as images label it: "Maya", "mental ray".
const char* hostTitle(Host host);

// Where the deliverables and the stand-in renderer module are found. Empty
// members take the locations of this build.
struct LibraryPaths {
  std::string mayaPlugin;         // glintWeave.so
  std::string mentalRayShader;    // kl4v_glintWeave.so
  std::string mentalRayRenderer;  // the stand-in renderer module handed to miSetModuleHandle
};

// `given`, or this build's `built` when it is empty.
inline std::string libraryPath(const std::string& given, const char* built) {
  return given.empty() ? built : given;
}

// A host's state is process-wide (Maya's node types, the mental ray
// module's callbacks): one backend of a host at a time. A backend takes its
// host's claim when it loads and gives it back when it is destroyed, after
// every member declared after the claim.
class HostClaim {
 public:
  HostClaim() = default;
  HostClaim(const HostClaim&) = delete;
  HostClaim& operator=(const HostClaim&) = delete;
  ~HostClaim() {
    if (held_) held_->store(false);
  }
  // False with a one-line `error` when a backend of `host` is loaded already.
  bool take(std::atomic<bool>& alive, const char* host, std::string& error) {
    if (alive.exchange(true)) {
      error = std::string("a ") + host + " backend is already loaded in this process";
      return false;
    }
    held_ = &alive;
    return true;
  }

 private:
  std::atomic<bool>* held_ = nullptr;
};

// Loads `host`'s deliverable and prepares it to shade `scene` with
// `materials`. Both must outlive the backend. Returns null with a one-line
// `error` when a library is missing or is not what it should be.
std::unique_ptr<Backend> createBackend(Host host, const Scene& scene,
                                       const std::vector<Material>& materials,
                                       const LibraryPaths& paths, std::string& error);

}  // namespace gwp
