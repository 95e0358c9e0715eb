// The mental ray side: kl4v_glintWeave.so and the stand-in renderer module,
// loaded through the mental ray host's driver (hosts/mentalray/driver), one
// shader record per material laid out from the installed declaration, and the
// module's interface functions answered from this scene. The shader sees world
// space, whatever way the camera faces.
// - mi_sample_light: a point light gives one sample, an area light as many as
//   the scene's LightSampling gives at the state's reflection level, each with
//   a shadow ray; an infinite light (what an environment map becomes) gives one
//   sample along its direction, its shadow ray unbounded. *samples counts the
//   samples handed out; the call after the last returns miFALSE.
// - mi_trace_reflection: casts from state->point; a hit is shaded by its
//   material on a child state (miRAY_REFLECT, level raised), a miss returns the
//   environment. The depth is 1: a state at level 1 or deeper is refused, and
//   the shader falls back to mi_trace_environment. As the renderer does, the
//   call copies the hit's point, normal and distance back into the caller's.
// - mi_trace_environment: the environment in the given direction.
// - mi_compute_irradiance: the environment's, from environmentIrradiance.
#include <mrhost.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <vector>

#include "backend.h"
#include "environment_setup.h"
#include "library_file.h"

namespace gwp {
namespace {

constexpr int kReflectionDepth = 1;
constexpr int kIrradianceRays = 16;  // directions per irradiance estimate

miVector toMi(Vec3 v) { return {v.x, v.y, v.z}; }
Vec3 fromMi(const miVector& v) { return {v.x, v.y, v.z}; }
// A colour as the renderer's interface functions return it: alpha 1.
miColor opaque(Rgb c) { return {c.x, c.y, c.z, 1.0f}; }

// Tags the renderer would give the scene's elements: lights 1..n, objects
// after them. Any non-zero numbers do.
miTag lightTag(size_t index) { return static_cast<miTag>(index + 1); }

// The light of a lobe measurement: a tag no scene element has, and the
// direction the probe currently asks for, carried in the state's user
// pointer.
constexpr miTag kProbeLightTag = 0x7fff0001u;
struct ProbeLight { Vec3 direction; };
miBoolean probeLightSample(miColor* result, miVector* dir, miScalar* dotNl, const miState* state,
                           miInteger* samples) {
  const auto* probe = static_cast<const ProbeLight*>(state->user);
  if (!probe || !samples || *samples != 0) return miFALSE;
  if (result) *result = {1.0f, 1.0f, 1.0f, 1.0f};
  if (dir) *dir = toMi(probe->direction);
  if (dotNl) *dotNl = dot(fromMi(state->normal), probe->direction);
  ++*samples;
  return miTRUE;
}

std::atomic<bool> backendAlive{false};

class MentalRayBackend;

struct MentalRayContext final : ShadingContext {
  explicit MentalRayContext(MentalRayBackend& b) : backend(b) {}
  Rgb shadeCameraHit(const Ray& ray, const Hit& hit, const SlotMaterials& slots) override;
  void setCameraSample(int pixelX, int pixelY, int sample) override {
    key = HitKey{pixelX, pixelY, sample, 0, 0};
    traces = 0;
  }

  MentalRayBackend& backend;
  SlotMaterials slots{};  // the mapping of the camera sample being shaded
  HitKey key;             // the camera sample being shaded; slot: the hit being shaded
  int traces = 0;         // rays traced for the camera sample so far
};

// The hit being shaded: its camera sample and slot from the context, its
// depth from the state.
HitKey hitKeyOf(const miState* state) {
  HitKey key;
  if (const auto* ctx = static_cast<const MentalRayContext*>(state->user)) key = ctx->key;
  key.depth = state->reflection_level;
  return key;
}

class MentalRayBackend final : public Backend, private mrhost::Services {
 public:
  explicit MentalRayBackend(const Scene& scene) : scene_(scene) {}
  ~MentalRayBackend() override { renderer_.reset(); }  // routes go before another load

  bool load(const std::vector<Material>& materials, const LibraryPaths& paths, std::string& error);
  const char* name() const override { return "mentalray"; }
  std::unique_ptr<ShadingContext> newContext() override {
    return std::make_unique<MentalRayContext>(*this);
  }

  bool setMaterial(size_t index, const Material& material, std::string& error) override;
  bool sceneChanged(std::string& error) override;
  bool measureLobe(const Material& material, Vec3 view, const std::vector<Vec3>& lights,
                   std::vector<Rgb>& out, std::string& error) override;

  // Shades `state` (point, normal, dir and the rest filled in) with material
  // `material` into `result`, which starts black as the shader expects.
  miBoolean shade(miColor* result, miState* state, int material) const {
    *result = {0.0f, 0.0f, 0.0f, 0.0f};
    return calls_[static_cast<size_t>(material)]->call(result, state);
  }

  // Fills a state for a hit of `ray`, as the renderer does before calling a
  // material shader.
  void fillHitState(miState& st, const Ray& ray, const Hit& hit) const {
    mrhost::setHit(st, toMi(ray.origin), toMi(ray.dir), hit.t, toMi(hit.point), toMi(hit.normal),
                   hit.backFacing, objectTag(hit.object));
  }

 private:
  miTag objectTag(const void* object) const {
    // Lights first, then the spheres, the ground and the meshes.
    const size_t first = scene_.lights.size() + 1, ground = first + scene_.spheres.size();
    for (size_t i = 0; i < scene_.spheres.size(); ++i)
      if (object == &scene_.spheres[i]) return static_cast<miTag>(first + i);
    for (size_t i = 0; i < scene_.meshes.size(); ++i)
      if (object == &scene_.meshes[i]) return static_cast<miTag>(ground + 1 + i);
    return static_cast<miTag>(ground);
  }
  bool writeValues(const Material& m, mrhost::ShaderCall& call, std::string& error) const;

  // The renderer's interface functions, answered from this scene.
  miBoolean sampleLight(miColor* result, miVector* dir, miScalar* dotNl, miState* state,
                        miTag light, miInteger* samples) override;
  miBoolean traceReflection(miColor* result, miState* state, miVector* dir) override;
  miBoolean traceEnvironment(miColor* result, miState*, miVector* dir) override {
    *result = opaque(scene_.environment.radiance(normalized(fromMi(*dir))));
    return miTRUE;
  }
  // The environment's irradiance, its directions drawn for the camera sample
  // and the hit being shaded: noise between pixels that averages out.
  miBoolean computeIrradiance(miColor* result, miState* state) override {
    *result = opaque(environmentIrradiance(scene_, fromMi(state->point), fromMi(state->normal),
                                           hitKeyOf(state), kIrradianceRays));
    return miTRUE;
  }

  const Scene& scene_;
  HostClaim claim_;
  std::unique_ptr<mrhost::Renderer> renderer_;
  std::unique_ptr<mrhost::ShaderLibrary> library_;
  // Per material: the shader record, its parameter block and the light tags.
  std::vector<std::unique_ptr<mrhost::ShaderCall>> calls_;
};

// Writes a material's values into a record's parameter block by declared
// name. The material's own declaration must be the one the library's block
// is laid out from, or its values would land in the wrong places.
bool MentalRayBackend::writeValues(const Material& m, mrhost::ShaderCall& call,
                                   std::string& error) const {
  const gws::HostSchema* mr = m.bound() ? m.schema().host(gws::Host::kMentalRay) : nullptr;
  if (!mr) {
    error = "the material carries no mental ray schema (the declaration was not read)";
    return false;
  }
  const auto& declared = library_->declaration().parameters;
  bool same = mr->declaration.size() == declared.size();
  for (size_t i = 0; i < mr->declaration.size(); ++i) {
    const gws::DeclaredParameter& p = mr->declaration[i];
    if (i + 1 < mr->declaration.size() && p.type.rfind("array ", 0) == 0) {
      error = "the declaration of " + mr->nodeType + " (" + mr->source + ") puts \"" +
              mr->declaration[i + 1].name + "\" after the light array, which must come last";
      return false;
    }
    same = same && p.type == declared[i].type && p.name == declared[i].name;
  }
  if (!same) {
    error = "the declaration of " + mr->nodeType + " (" + mr->source +
            ") does not lay out the shader library's parameter block (" +
            library_->declarationPath() + ")";
    return false;
  }
  for (const mrhost::BlockField& f : library_->layout().fields) {
    if (f.kind == mrhost::FieldKind::kArray) continue;  // the lights, set once
    const int in = mr->findInput(f.name);
    if (in < 0) {
      error = "the preview cannot lay out " + f.type + " \"" + f.name + "\" of " + mr->nodeType;
      return false;
    }
    const ValueKind kind = mr->inputs[static_cast<size_t>(in)].kind;
    const gws::Value& v =
        m[static_cast<size_t>(m.schema().mergedIndex(gws::Host::kMentalRay, size_t(in)))];
    if (!call.setNumbers(f.name, v.data(), static_cast<size_t>(gws::componentCount(kind)), error)) {
      return false;
    }
  }
  return true;
}

bool MentalRayBackend::load(const std::vector<Material>& materials, const LibraryPaths& paths,
                            std::string& error) {
  if (!claim_.take(backendAlive, "mental ray", error)) return false;
  const std::string rendererPath =
      libraryPath(paths.mentalRayRenderer, GLINTWEAVE_PREVIEW_MR_RENDERER);
  const std::string shaderPath = libraryPath(paths.mentalRayShader, GLINTWEAVE_PREVIEW_MR_SHADER);
  // A file cut short can crash the loader: refuse it first.
  if (!gwf::libraryFileLoadable("renderer module", rendererPath, error)) return false;
  if (!(renderer_ = mrhost::Renderer::load(rendererPath, error))) return false;
  if (!gwf::libraryFileLoadable("shader library", shaderPath, error)) return false;
  if (!(library_ = mrhost::ShaderLibrary::load(shaderPath, error))) return false;

  renderer_->serve(this);
  library_->bind(*renderer_);

  // Room for the lights of any environment map, so that a scene changed
  // later (sceneChanged) fits in the same records.
  const size_t capacity = std::max<size_t>(scene_.lights.size(), kEnvironmentLights);
  for (const Material& m : materials) {
    calls_.push_back(std::make_unique<mrhost::ShaderCall>(*library_, capacity));
    if (!writeValues(m, *calls_.back(), error)) return false;
  }
  return sceneChanged(error);
}

bool MentalRayBackend::sceneChanged(std::string& error) {
  // The shader's light list: every light of the scene, in scene order.
  std::vector<miTag> lights(scene_.lights.size());
  for (size_t i = 0; i < lights.size(); ++i) lights[i] = lightTag(i);
  for (const auto& call : calls_) {
    if (!call->setTags("light", lights.data(), lights.size(), error)) return false;
  }
  return true;
}

miBoolean MentalRayBackend::sampleLight(miColor* result, miVector* dir, miScalar* dotNl,
                                        miState* state, miTag tag, miInteger* samples) {
  if (tag == kProbeLightTag) return probeLightSample(result, dir, dotNl, state, samples);
  if (tag == 0 || tag > scene_.lights.size() || !samples) return miFALSE;
  const size_t index = tag - 1;
  const Light& light = scene_.lights[index];
  const LightSampling& sampling = scene_.lightSampling;
  const int depth = state->reflection_level;
  if (*samples < 0 || *samples >= lightSampleCount(sampling, light, depth)) return miFALSE;
  const Vec3 p = fromMi(state->point);
  Vec3 l;
  bool lit = false;
  if (light.kind == Light::Kind::kDirectional) {
    // An infinite light: one sample along its direction, from anywhere; the
    // shadow ray is cast only when the light is in front of the surface (the
    // shader adds nothing for a cosine that is not positive).
    l = light.direction;
    lit = dot(fromMi(state->normal), l) > 0.0f && !scene_.occludedToward(p, l);
  } else {
    const Vec3 target = lightSamplePosition(sampling, light, index, hitKeyOf(state), p, *samples);
    l = normalized(target - p);
    lit = !scene_.occluded(p, target);
  }
  if (result) *result = opaque(lit ? light.intensity : Rgb{});
  if (dir) *dir = toMi(l);
  if (dotNl) *dotNl = dot(fromMi(state->normal), l);
  ++*samples;
  return miTRUE;
}

miBoolean MentalRayBackend::traceReflection(miColor* result, miState* state, miVector* dir) {
  if (state->reflection_level >= kReflectionDepth) return miFALSE;
  auto* ctx = static_cast<MentalRayContext*>(state->user);
  // Every ray cast counts, hit or miss, so that the k-th ray of a camera
  // sample is slot k whatever the earlier rays met (as on the Maya side).
  const int slot = ++ctx->traces;
  const Ray ray{fromMi(state->point), normalized(fromMi(*dir))};
  const auto hit = scene_.intersect(ray, kRayEpsilon, std::numeric_limits<float>::infinity());
  if (!hit) {
    // What traceEnvironment returns for this direction: ray.dir is the same
    // normalised direction.
    *result = opaque(scene_.environment.radiance(ray.dir));
    return miTRUE;
  }

  // The renderer's child state; leaving this scope copies back what the
  // renderer copies back into the caller's state (point, normal, dist...).
  mrhost::ChildState child(*state, miRAY_REFLECT);
  fillHitState(child.state(), ray, *hit);
  // The hit's light samples are placed as the ray's slot says; the caller's
  // slot is back in place for whatever it samples next.
  const int callerSlot = ctx->key.slot;
  ctx->key.slot = slot;
  const miBoolean shaded = shade(result, &child.state(), ctx->slots[hit->slot]);
  ctx->key.slot = callerSlot;
  return shaded;
}

Rgb MentalRayContext::shadeCameraHit(const Ray& ray, const Hit& hit, const SlotMaterials& map) {
  slots = map;
  miState state = mrhost::eyeState(this, static_cast<int>(sizeof *this));
  backend.fillHitState(state, ray, hit);
  miColor result;
  backend.shade(&result, &state, slots[hit.slot]);
  return {result.r, result.g, result.b};
}

// Each material has a parameter block of its own, read by renders of that
// material only: rewriting it while no render of it runs is what the
// renderer does between two frames of an edited shader.
bool MentalRayBackend::setMaterial(size_t index, const Material& material, std::string& error) {
  if (index >= calls_.size()) {
    error = "no material " + std::to_string(index) + " in the mental ray backend";
    return false;
  }
  return writeValues(material, *calls_[index], error);
}

// A shader record of its own with one light, the probe light; per light
// direction the shader is called as for an eye ray hitting the point. With
// reflectivity 0 and the indirect term off it traces nothing.
bool MentalRayBackend::measureLobe(const Material& material, Vec3 view,
                                   const std::vector<Vec3>& lights, std::vector<Rgb>& out,
                                   std::string& error) {
  mrhost::ShaderCall call(*library_, 1);
  const miTag probeLight = kProbeLightTag;
  if (!writeValues(lobeMaterial(material), call, error) ||
      !call.setTags("light", &probeLight, 1, error)) {
    return false;
  }

  const Vec3 toViewer = normalized(view);
  ProbeLight probe;
  miState state = mrhost::eyeState(&probe, static_cast<int>(sizeof probe));
  mrhost::setHit(state, toMi(toViewer), toMi(toViewer * -1.0f), 1.0f, {0.0f, 0.0f, 0.0f},
                 {0.0f, 1.0f, 0.0f}, false, 0);
  out.clear();
  out.reserve(lights.size());
  for (const Vec3& l : lights) {
    probe.direction = normalized(l);
    miColor result{0.0f, 0.0f, 0.0f, 0.0f};
    call.call(&result, &state);
    out.push_back({result.r, result.g, result.b});
  }
  return true;
}

}  // namespace

std::unique_ptr<Backend> createMentalRayBackend(const Scene& scene,
                                                const std::vector<Material>& materials,
                                                const LibraryPaths& paths, std::string& error) {
  auto backend = std::make_unique<MentalRayBackend>(scene);
  if (!backend->load(materials, paths, error)) return nullptr;
  return backend;
}

}  // namespace gwp
