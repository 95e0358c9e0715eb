// The Maya side: glintWeave.so loaded by the stand-in Maya host through its
// initializePlugin, one "glintWeave" node per material, and the render-state
// inputs filled per sample the way the Maya software renderer fills them.
//
// Host services, as the node relies on them:
// - pointCamera, normalCamera and rayDirection in camera space (the world
//   moved by the camera's position and turned to the camera's axes), a
//   raySampler that points at the thread's shading context (never null),
//   objectId the surface hit, rayDepth 0 for camera rays.
// - lightDataArray: one element per light, in scene order, with the
//   direction towards the light (an area light's centre; in camera space),
//   the intensity after shadowing (an area light: times its fraction of
//   unblocked shadow rays, cast to the same sample positions, as many per
//   hit, as the mental ray side's light samples; see LightSampling; a
//   directional light: 0 or 1 from one shadow ray along its direction), and
//   the flags Maya's point, area and directional lights set: no ambient,
//   diffuse and specular on.
// - MRenderUtil::raytrace: takes its ray in camera space, as the node hands
//   it over, and traces the scene; a hit is shaded by the hit surface's
//   material at ray depth 1 in a data block of its own (the calling compute
//   is still reading its own block), a miss returns the environment.
// - outTransparency: the renderer asks for it after outColor and continues a
//   ray through a transparent surface, adding transparency times what lies
//   behind, as Maya composites a transparent surface.
#include <maya/MFloatVector.h>
#include <maya/MStatus.h>
#include <mayahost.h>

#include <array>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <vector>

#include "backend.h"
#include "library_file.h"

namespace gwp {
namespace {

constexpr const char* kNodeType = "glintWeave";
// Ray depths with a data block of their own: camera rays (0) and the
// reflection rays the node traces from depth 0 (1).
constexpr int kDepths = 2;
// Transparent surfaces a ray continues through before it stops.
constexpr int kMaxTransparentLayers = 4;
// Hit slots apart between the surfaces one ray continues through.
constexpr int kLayerSlots = 1 << 20;

MFloatVector toMaya(Vec3 v) { return MFloatVector(v.x, v.y, v.z); }
Vec3 fromMaya(const MFloatVector& v) { return {v.x, v.y, v.z}; }

std::atomic<bool> backendAlive{false};

class MayaBackend;

struct MayaContext final : ShadingContext {
  MayaContext(MayaBackend& b, std::string& error);
  Rgb shadeCameraHit(const Ray& ray, const Hit& hit, const SlotMaterials& slots) override;
  void setCameraSample(int pixelX, int pixelY, int sample) override {
    key = HitKey{pixelX, pixelY, sample, 0, 0};
    traces = 0;
  }
  // The colour seen along `ray` (world space) by a ray of depth `depth`, the
  // `slot`-th ray traced for the camera sample.
  Rgb trace(const Ray& ray, float tMin, int depth, int slot);
  Rgb shadeHit(const Ray& ray, const Hit& hit, int depth, int slot);

  MayaBackend& backend;
  // Per material and depth: a data block of the material's node.
  std::vector<std::array<std::unique_ptr<mayahost::DataBlock>, kDepths>> blocks;
  bool computed(mayahost::DataBlock& block, const mayahost::Plug& plug, const char* name);

  SlotMaterials slots{};
  HitKey key;           // the camera sample being shaded
  int traces = 0;       // rays traced for it so far
  std::string failure;  // the first refusal of the sample being shaded
};

// The render-state inputs the renderer fills per sample, resolved once.
struct StatePlugs {
  mayahost::Plug pointCamera;
  mayahost::Plug normalCamera;
  mayahost::Plug rayDirection;
  mayahost::Plug rayOrigin;
  mayahost::Plug raySampler;
  mayahost::Plug objectId;
  mayahost::Plug rayDepth;
};

class MayaBackend final : public Backend {
 public:
  MayaBackend(const Scene& scene, const std::vector<Material>& materials)
      : scene_(scene), materials_(materials) {}
  ~MayaBackend() override {
    mayahost::setTracer(nullptr, nullptr);
    nodes_.clear();  // Maya destroys a plug-in's nodes before unloading it
    if (plugin_ && initialized_) plugin_->uninitialize();
    plugin_.reset();
  }

  bool load(const LibraryPaths& paths, std::string& error);
  const char* name() const override { return "maya"; }
  std::unique_ptr<ShadingContext> newContext() override {
    std::string error;
    // A context copies every node's values; setMaterial must not write one
    // of them meanwhile.
    std::shared_lock<std::shared_mutex> lock(materialsMutex_);
    auto ctx = std::make_unique<MayaContext>(*this, error);
    if (!error.empty()) throw std::runtime_error(error);
    return ctx;
  }

  bool setMaterial(size_t index, const Material& material, std::string& error) override;
  bool measureLobe(const Material& material, Vec3 view, const std::vector<Vec3>& lights,
                   std::vector<Rgb>& out, std::string& error) override;

  const Scene& scene() const { return scene_; }
  mayahost::Node& node(size_t material) { return *nodes_[material]; }
  size_t materialCount() const { return nodes_.size(); }
  const mayahost::Plug& outColor() const { return outColor_; }
  const mayahost::Plug& outTransparency() const { return outTransparency_; }
  const StatePlugs& statePlugs() const { return state_; }

  // The light data Maya's light number `index` delivers at `point`, whose
  // normal is `normal`, the hit `key`.
  mayahost::Light lightAt(size_t index, const HitKey& key, Vec3 point, Vec3 normal) const {
    const Light& light = scene_.lights[index];
    const LightSampling& sampling = scene_.lightSampling;
    mayahost::Light data;
    float fraction = 0.0f;
    if (light.kind == Light::Kind::kDirectional) {
      // One shadow ray, cast only when the light is in front of the surface:
      // behind it the surface shades itself, and the node adds nothing for a
      // light whose cosine is not positive.
      const bool lit =
          dot(normal, light.direction) > 0.0f && !scene_.occludedToward(point, light.direction);
      fraction = lit ? 1.0f : 0.0f;
    } else {
      const int n = lightSampleCount(sampling, light, key.depth);
      int unblocked = 0;
      for (int i = 0; i < n; ++i) {
        const Vec3 target = lightSamplePosition(sampling, light, index, key, point, i);
        if (!scene_.occluded(point, target)) ++unblocked;
      }
      fraction = static_cast<float>(unblocked) / static_cast<float>(n);
    }
    data.direction = toMaya(scene_.camera.toCameraDir(
        light.kind == Light::Kind::kDirectional ? light.direction
                                                : normalized(light.position - point)));
    data.intensity = toMaya(light.intensity * fraction);
    data.ambient = false;
    data.diffuse = true;
    data.specular = true;
    data.shadowFraction = 1.0f - fraction;
    data.preShadowIntensity = 1.0f;
    return data;
  }

 private:
  static MStatus tracer(void* user, const mayahost::TraceCall& call, MFloatVector& color,
                        MFloatVector& transparency);

  const Scene& scene_;
  const std::vector<Material>& materials_;
  HostClaim claim_;
  bool initialized_ = false;
  std::unique_ptr<mayahost::Plugin> plugin_;
  std::vector<std::unique_ptr<mayahost::Node>> nodes_;
  mayahost::Plug outColor_;
  mayahost::Plug outTransparency_;
  // Guards the nodes' own values: written by setMaterial, copied by
  // newContext and measureLobe.
  std::shared_mutex materialsMutex_;
  StatePlugs state_;
};

// Sets every input the node has on a node's data block as setAttr would,
// by the names and kinds the plug-in registered; a refusal names the
// attribute.
bool setInputs(mayahost::DataBlock& block, const Material& m, std::string& error) {
  const gws::HostSchema* maya = m.bound() ? m.schema().host(gws::Host::kMaya) : nullptr;
  if (!maya) {
    error = "the material carries no Maya schema (the plug-in's attributes were not read)";
    return false;
  }
  for (size_t i = 0; i < maya->inputs.size(); ++i) {
    const gws::InputSpec& input = maya->inputs[i];
    const gws::Value& v = m[static_cast<size_t>(m.schema().mergedIndex(gws::Host::kMaya, i))];
    const char* name = input.longName.c_str();
    MStatus status;
    switch (input.kind) {
      case ValueKind::kColor:
      case ValueKind::kVector:
        status = block.setVector(name, MFloatVector(static_cast<float>(v[0]),
                                                    static_cast<float>(v[1]),
                                                    static_cast<float>(v[2])));
        break;
      case ValueKind::kFloat:
        status = block.setFloat(name, static_cast<float>(v[0]));
        break;
      case ValueKind::kInt:
        status = block.setInt(name, static_cast<int>(v[0]));
        break;
      case ValueKind::kBool:
        status = block.setBool(name, v[0] != 0.0);
        break;
    }
    if (!status) {
      error = "the glintWeave node refused " + input.longName + " = " + formatValue(input.kind, v);
      return false;
    }
  }
  return true;
}

bool MayaBackend::load(const LibraryPaths& paths, std::string& error) {
  if (!claim_.take(backendAlive, "Maya", error)) return false;
  const std::string path = libraryPath(paths.mayaPlugin, GLINTWEAVE_PREVIEW_MAYA_PLUGIN);
  if (!gwf::libraryFileLoadable("Maya plug-in", path, error)) return false;
  std::string why;
  plugin_ = mayahost::Plugin::load(path, &why);
  if (!plugin_) {
    error = "cannot load the Maya plug-in " + path + (why.empty() ? "" : ": " + why);
    return false;
  }
  if (!plugin_->initialize()) {
    error = "the Maya plug-in " + path + " failed to initialise";
    return false;
  }
  initialized_ = true;
  for (const Material& m : materials_) {
    MStatus status;
    auto node = mayahost::Node::create(kNodeType, &status);
    if (!node) {
      error = "the Maya plug-in " + path + " registered no \"" + kNodeType + "\" node type";
      return false;
    }
    if (!setInputs(node->data(), m, error)) return false;
    nodes_.push_back(std::move(node));
  }
  const mayahost::Node& first = *nodes_.front();
  outColor_ = first.plug("outColor");
  outTransparency_ = first.plug("outTransparency");
  if (outColor_.isNull() || outTransparency_.isNull()) {
    error = "the \"glintWeave\" node type has no outColor or outTransparency";
    return false;
  }
  const std::pair<mayahost::Plug*, const char*> inputs[] = {
      {&state_.pointCamera, "pointCamera"},   {&state_.normalCamera, "normalCamera"},
      {&state_.rayDirection, "rayDirection"}, {&state_.rayOrigin, "rayOrigin"},
      {&state_.raySampler, "raySampler"},     {&state_.objectId, "objectId"},
      {&state_.rayDepth, "rayDepth"}};
  for (const auto& [plug, name] : inputs) {
    *plug = first.plug(name);
    if (plug->isNull()) {
      error = std::string("the \"glintWeave\" node type has no ") + name;
      return false;
    }
  }
  mayahost::setTracer(&MayaBackend::tracer, this);
  return true;
}

MStatus MayaBackend::tracer(void*, const mayahost::TraceCall& call, MFloatVector& color,
                            MFloatVector& transparency) {
  // The sampler is the context this renderer stored; a call without one
  // did not come from a sample this renderer shades.
  auto* ctx = static_cast<MayaContext*>(const_cast<void*>(call.raySampler));
  if (!ctx) return MStatus(MStatus::kFailure);
  const int depth = call.rayDepth + 1;
  if (depth >= kDepths) return MStatus(MStatus::kFailure);
  const Camera& camera = ctx->backend.scene().camera;
  const Ray ray{camera.toWorldPoint(fromMaya(call.origin)),
                normalized(camera.toWorldDir(fromMaya(call.direction)))};
  color = toMaya(ctx->trace(ray, kRayEpsilon, depth, ++ctx->traces));
  transparency = MFloatVector(0.0f, 0.0f, 0.0f);
  return MStatus(MStatus::kSuccess);
}

MayaContext::MayaContext(MayaBackend& b, std::string& error) : backend(b) {
  const unsigned int lights = static_cast<unsigned int>(b.scene().lights.size());
  const StatePlugs& in = b.statePlugs();
  for (size_t m = 0; m < b.materialCount(); ++m) {
    std::array<std::unique_ptr<mayahost::DataBlock>, kDepths> perDepth;
    for (size_t depth = 0; depth < perDepth.size(); ++depth) {
      auto& block = perDepth[depth];
      block = b.node(m).newDataBlock();
      // What stays the same for every sample shaded in this block is set
      // once: the sampler (this context) and the block's ray depth.
      if (!block || !block->setLightCount(lights) || !block->setAddr(in.raySampler, this) ||
          !block->setShort(in.rayDepth, static_cast<short>(depth))) {
        error = "the Maya host refused a data block for the glintWeave node";
        return;
      }
    }
    blocks.push_back(std::move(perDepth));
  }
}

Rgb MayaContext::shadeCameraHit(const Ray& ray, const Hit& hit, const SlotMaterials& map) {
  slots = map;
  failure.clear();
  const Rgb c = shadeHit(ray, hit, 0, 0);
  // Reported here rather than where it happened: a failure inside a traced
  // ray would otherwise have to unwind through the plug-in's compute.
  if (!failure.empty()) throw std::runtime_error(failure);
  return c;
}

bool MayaContext::computed(mayahost::DataBlock& block, const mayahost::Plug& plug,
                           const char* name) {
  const mayahost::ComputeResult r = block.compute(plug);
  if (r.status) return true;
  if (failure.empty()) {
    failure = std::string("the glintWeave node's compute failed for ") + name + " (status " +
              std::to_string(static_cast<int>(r.status.statusCode())) + ")";
  }
  return false;
}

Rgb MayaContext::trace(const Ray& ray, float tMin, int depth, int slot) {
  const auto hit = backend.scene().intersect(ray, tMin, std::numeric_limits<float>::infinity());
  if (!hit) return backend.scene().environment.radiance(ray.dir);
  return shadeHit(ray, *hit, depth, slot);
}

Rgb MayaContext::shadeHit(const Ray& ray, const Hit& first, int depth, int slot) {
  Rgb total;
  Rgb throughput{1.0f, 1.0f, 1.0f};
  Hit hit = first;
  for (int layer = 0;; ++layer) {
    mayahost::DataBlock& block =
        *blocks[static_cast<size_t>(slots[hit.slot])][static_cast<size_t>(depth)];
    const Camera& camera = backend.scene().camera;
    const StatePlugs& in = backend.statePlugs();
    block.setVector(in.pointCamera, toMaya(camera.toCameraPoint(hit.point)));
    block.setVector(in.normalCamera, toMaya(camera.toCameraDir(hit.normal)));
    block.setVector(in.rayDirection, toMaya(camera.toCameraDir(ray.dir)));
    block.setVector(in.rayOrigin, toMaya(camera.toCameraPoint(ray.origin)));
    block.setAddr(in.objectId, const_cast<void*>(hit.object));
    // Each surface a ray continues through is a hit slot of its own, far
    // from the traced rays' slots; the first is the ray's own slot, as on the
    // mental ray side, so that both hosts place the same light samples.
    HitKey at = key;
    at.depth = depth;
    at.slot = slot + layer * kLayerSlots;
    const size_t lightCount = backend.scene().lights.size();
    for (size_t i = 0; i < lightCount; ++i) {
      block.setLight(static_cast<unsigned int>(i), backend.lightAt(i, at, hit.point, hit.normal));
    }
    if (!computed(block, backend.outColor(), "outColor")) break;
    total += throughput * fromMaya(block.getVector(backend.outColor()));
    if (!computed(block, backend.outTransparency(), "outTransparency")) break;
    const Vec3 t = fromMaya(block.getVector(backend.outTransparency()));
    throughput = throughput * t;
    if (!(throughput.x > 0.0f || throughput.y > 0.0f || throughput.z > 0.0f)) break;
    // Behind a transparent surface: what the ray meets next, or the environment.
    const Ray onward{hit.point, ray.dir};
    const auto next =
        backend.scene().intersect(onward, kRayEpsilon, std::numeric_limits<float>::infinity());
    if (!next || layer + 1 >= kMaxTransparentLayers) {
      if (!next) total += throughput * backend.scene().environment.radiance(ray.dir);
      break;
    }
    hit = *next;
  }
  return total;
}

bool MayaBackend::setMaterial(size_t index, const Material& material, std::string& error) {
  if (index >= nodes_.size()) {
    error = "no material " + std::to_string(index) + " in the Maya backend";
    return false;
  }
  std::unique_lock<std::shared_mutex> lock(materialsMutex_);
  return setInputs(nodes_[index]->data(), material, error);
}

// One data block of its own, the probe, holding the material: per light
// direction the renderer's inputs are filled as for a camera ray that hits
// the point, with one lightDataArray element, and outColor is computed.
// With reflectivity 0 the node traces nothing, so the tracer (which expects
// a rendering context as the ray sampler) is never called; the sampler is
// null, and the node then takes the view from pointCamera.
bool MayaBackend::measureLobe(const Material& material, Vec3 view,
                              const std::vector<Vec3>& lights, std::vector<Rgb>& out,
                              std::string& error) {
  std::unique_ptr<mayahost::DataBlock> probe;
  {
    std::shared_lock<std::shared_mutex> lock(materialsMutex_);
    probe = nodes_.front()->newDataBlock();
  }
  if (!probe || !probe->setLightCount(1)) {
    error = "the Maya host refused a data block for the glintWeave node";
    return false;
  }
  if (!setInputs(*probe, lobeMaterial(material), error)) return false;
  const Vec3 toViewer = normalized(view);
  probe->setVector("pointCamera", toMaya(toViewer * -1.0f));
  probe->setVector("rayDirection", toMaya(toViewer * -1.0f));
  probe->setVector("rayOrigin", MFloatVector(0.0f, 0.0f, 0.0f));
  probe->setAddr("raySampler", nullptr);
  probe->setAddr("objectId", nullptr);
  probe->setShort("rayDepth", 0);
  out.clear();
  out.reserve(lights.size());
  for (const Vec3& l : lights) {
    // compute leaves the normal and the light direction normalised in place.
    probe->setVector("normalCamera", MFloatVector(0.0f, 1.0f, 0.0f));
    mayahost::Light data;
    data.direction = toMaya(l);
    data.intensity = MFloatVector(1.0f, 1.0f, 1.0f);
    data.ambient = false;
    data.diffuse = true;
    data.specular = true;
    data.shadowFraction = 0.0f;
    probe->setLight(0, data);
    const mayahost::ComputeResult r = probe->compute(outColor_);
    if (!r.status) {
      error = "the glintWeave node's compute failed for outColor (status " +
              std::to_string(static_cast<int>(r.status.statusCode())) + ")";
      return false;
    }
    out.push_back(fromMaya(probe->getVector("outColor")));
  }
  return true;
}

}  // namespace

std::unique_ptr<Backend> createMayaBackend(const Scene& scene,
                                           const std::vector<Material>& materials,
                                           const LibraryPaths& paths, std::string& error) {
  auto backend = std::make_unique<MayaBackend>(scene, materials);
  if (!backend->load(paths, error)) return nullptr;
  return backend;
}

}  // namespace gwp
