// The mental ray side: kl4v_glintWeave.so loaded as the renderer loads a
// shader library, with the stand-in renderer module handed over through
// miSetModuleHandle, and the module's five interface functions served by
// callbacks that trace this scene.
//
// Host services, as the shader relies on them:
// - mi_sample_light: point lights give one sample, area lights as many as the
//   scene's LightSampling gives a hit at the state's reflection level, each
//   with a shadow ray; *samples counts the samples handed out, and the call
//   after the last returns miFALSE.
// - mi_trace_reflection: casts the ray from state->point; a hit is shaded by
//   the hit surface's material on a child state (type miRAY_REFLECT,
//   reflection level raised), a miss returns the environment. The reflection
//   depth is 1: a state at level 1 or deeper is refused, and the shader then
//   falls back to mi_trace_environment. Like the renderer, the call copies the
//   hit's point, normal and distance back into the state it was given.
// - mi_trace_environment: the studio environment in the given direction.
// - mi_compute_irradiance: a small hemisphere estimate, see below.
// The space the shader sees is world space, whose axes are the camera's.
#include <dlfcn.h>
#include <miRenderer.h>
#include <shader.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "backend.h"
#include "library_file.h"
#include "shaderParams.h"

namespace gwp {
namespace {

// The parameter block is the shader's own ShaderParams, whose layout a test
// keeps equal to what the renderer makes of kl4v_glintWeave.mi.
using GlintWeaveBlock = ShaderParams;

constexpr int kReflectionDepth = 1;
constexpr const char* kShaderName = "kl4v_glintWeave";
constexpr int kShaderVersion = 1;
// Directions of the irradiance estimate; see computeIrradiance.
constexpr int kIrradianceRays = 16;

miVector toMi(Vec3 v) { return {v.x, v.y, v.z}; }
Vec3 fromMi(const miVector& v) { return {v.x, v.y, v.z}; }

// Tags the renderer would give the scene's elements: lights 1..n, objects
// after them. Any non-zero numbers do.
miTag lightTag(size_t index) { return static_cast<miTag>(index + 1); }

// The light of a lobe measurement: a tag no scene element has, and the
// direction the probe currently asks for, carried in the state's user
// pointer.
constexpr miTag kProbeLightTag = 0x7fff0001u;
struct ProbeLight {
  Vec3 direction;
};
miBoolean probeLightSample(miColor* result, miVector* dir, miScalar* dotNl, const miState* state,
                           miInteger* samples);

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

class MentalRayBackend final : public Backend {
 public:
  MentalRayBackend(const Scene& scene, const std::vector<Material>& materials)
      : scene_(scene), materials_(materials) {}
  ~MentalRayBackend() override {
    if (control_) control_->setCallbacks(nullptr);
    if (shaderLib_) dlclose(shaderLib_);
    if (renderer_) dlclose(renderer_);
    if (owner_) backendAlive = false;
  }

  bool load(const LibraryPaths& paths, std::string& error);
  const char* name() const override { return "mentalray"; }
  std::unique_ptr<ShadingContext> newContext() override {
    return std::make_unique<MentalRayContext>(*this);
  }

  bool setMaterial(size_t index, const Material& material, std::string& error) override;
  bool measureLobe(const Material& material, Vec3 view, const std::vector<Vec3>& lights,
                   std::vector<Rgb>& out, std::string& error) override;

  // Shades `state` (point, normal, dir and the rest filled in) with material
  // `material` into `result`, which starts black as the shader expects.
  miBoolean shade(miColor* result, miState* state, int material) const {
    const miFunction* record = record_of(material);
    state->shader = record;
    *result = {0.0f, 0.0f, 0.0f, 0.0f};
    return shader_(result, state, const_cast<char*>(record->parameters));
  }

  // Fills a state for a hit of `ray`, as the renderer does before calling a
  // material shader.
  void fillHitState(miState& st, const Ray& ray, const Hit& hit) const {
    st.org = toMi(ray.origin);
    st.dir = toMi(ray.dir);
    st.dist = static_cast<double>(hit.t);
    st.point = toMi(hit.point);
    st.normal = toMi(hit.normal);
    st.normal_geom = st.normal;
    st.inv_normal = hit.backFacing ? 1 : 0;
    st.face = 'a';
    st.dot_nd = dot(hit.normal, ray.dir);
    st.instance = objectTag(hit.object);
  }

  const Scene& scene() const { return scene_; }

 private:
  const miFunction* record_of(int material) const {
    return reinterpret_cast<const miFunction*>(records_[static_cast<size_t>(material)].data());
  }
  miTag objectTag(const void* object) const {
    for (size_t i = 0; i < scene_.spheres.size(); ++i) {
      if (object == &scene_.spheres[i]) return static_cast<miTag>(scene_.lights.size() + 1 + i);
    }
    return static_cast<miTag>(scene_.lights.size() + 1 + scene_.spheres.size());
  }
  bool buildRecords(std::string& error);

  static miBoolean sampleLight(void* user, miColor* result, miVector* dir, miScalar* dotNl,
                               miState* state, miTag light, miInteger* samples);
  static miBoolean traceReflection(void* user, miColor* result, miState* state, miVector* dir);
  static miBoolean traceEnvironment(void* user, miColor* result, miState* state, miVector* dir);
  static miBoolean computeIrradiance(void* user, miColor* result, miState* state);

  const Scene& scene_;
  const std::vector<Material>& materials_;
  void* renderer_ = nullptr;
  void* shaderLib_ = nullptr;
  bool owner_ = false;
  const MiRenderer* control_ = nullptr;
  miShader shader_ = nullptr;
  // Per material: the shader record, its parameter block and the light tags,
  // in one 8-byte aligned buffer.
  std::vector<std::vector<uint64_t>> records_;
};

// Writes a material's parameter block, apart from the light array, as the
// renderer lays it out from the shader's declaration: parameters in declared
// order, colours 16 bytes, vectors 12, scalars, integers and booleans 4, and
// the light array last as its index, its count and the tags (which run past
// the block). `params` has room for a GlintWeaveBlock.
bool writeParameterBlock(const Material& m, char* params, std::string& error) {
  const gws::HostSchema* mr = m.bound() ? m.schema().host(gws::Host::kMentalRay) : nullptr;
  if (!mr) {
    error = "the material carries no mental ray schema (the declaration was not read)";
    return false;
  }
  struct Field {
    size_t offset;
    int merged;  // index into the material, or -1 for the light array
    ValueKind kind;
  };
  std::vector<Field> fields;
  size_t offset = 0;
  size_t lightArray = 0;
  bool haveLights = false;
  for (const gws::DeclaredParameter& p : mr->declaration) {
    if (haveLights) {
      error = "the declaration of " + mr->nodeType + " (" + mr->source + ") puts \"" + p.name +
              "\" after the light array, which must come last";
      return false;
    }
    if (p.type == "array light") {
      lightArray = offset;
      haveLights = true;
      continue;
    }
    const int hostInput = mr->findInput(p.name);
    if (hostInput < 0) {
      error = "the preview cannot lay out " + p.type + " \"" + p.name + "\" of " + mr->nodeType;
      return false;
    }
    const ValueKind kind = mr->inputs[static_cast<size_t>(hostInput)].kind;
    fields.push_back(
        {offset, m.schema().mergedIndex(gws::Host::kMentalRay, static_cast<size_t>(hostInput)),
         kind});
    offset += kind == ValueKind::kColor ? sizeof(miColor)
              : kind == ValueKind::kVector ? sizeof(miVector)
                                           : 4;
  }
  // The library was built for one layout; a declaration that makes
  // another would have it read its parameters from the wrong places.
  if (!haveLights || lightArray != offsetof(GlintWeaveBlock, i_light)) {
    error = "the declaration of " + mr->nodeType + " (" + mr->source +
            ") does not lay out the shader library's parameter block";
    return false;
  }
  for (const Field& f : fields) {
    const gws::Value& v = m[static_cast<size_t>(f.merged)];
    char* at = params + f.offset;
    switch (f.kind) {
      case ValueKind::kColor: {
        const miColor c{static_cast<float>(v[0]), static_cast<float>(v[1]),
                        static_cast<float>(v[2]), 1.0f};
        std::memcpy(at, &c, sizeof c);
        break;
      }
      case ValueKind::kVector: {
        const miVector d{static_cast<float>(v[0]), static_cast<float>(v[1]),
                         static_cast<float>(v[2])};
        std::memcpy(at, &d, sizeof d);
        break;
      }
      case ValueKind::kFloat: {
        const miScalar x = static_cast<float>(v[0]);
        std::memcpy(at, &x, sizeof x);
        break;
      }
      case ValueKind::kInt: {
        const miInteger n = static_cast<miInteger>(v[0]);
        std::memcpy(at, &n, sizeof n);
        break;
      }
      case ValueKind::kBool: {
        const miBoolean b = v[0] != 0.0 ? miTRUE : miFALSE;
        std::memcpy(at, &b, sizeof b);
        break;
      }
    }
  }
  return true;
}

bool MentalRayBackend::buildRecords(std::string& error) {
  const size_t lights = scene_.lights.size();
  for (const Material& m : materials_) {
    const size_t blockBytes =
        sizeof(GlintWeaveBlock) + (lights > 1 ? lights - 1 : 0) * sizeof(miTag);
    const size_t bytes = offsetof(miFunction, parameters) + blockBytes;
    std::vector<uint64_t> buffer((bytes + 7) / 8, 0);
    auto* record = reinterpret_cast<miFunction*>(buffer.data());
    record->type = miFUNCTION_C;
    record->parameter_size = static_cast<int>(blockBytes);
    record->result_size = static_cast<int>(sizeof(miColor));
    record->ghost_offs = 0;  // nothing connected: every parameter is read in place
    // The block runs past the record's declared parameters[] member.
    char* params = reinterpret_cast<char*>(buffer.data()) + offsetof(miFunction, parameters);
    if (!writeParameterBlock(m, params, error)) return false;
    auto* block = reinterpret_cast<GlintWeaveBlock*>(params);
    block->i_light = 0;
    block->n_light = static_cast<miInteger>(lights);
    for (size_t i = 0; i < lights; ++i) block->light[i] = lightTag(i);
    records_.push_back(std::move(buffer));
  }
  return true;
}

bool MentalRayBackend::load(const LibraryPaths& paths, std::string& error) {
  // The module's callbacks are process-wide: one backend at a time.
  if (backendAlive.exchange(true)) {
    error = "a mental ray backend is already loaded in this process";
    return false;
  }
  owner_ = true;
  const std::string rendererPath =
      paths.mentalRayRenderer.empty() ? GLINTWEAVE_PREVIEW_MR_RENDERER : paths.mentalRayRenderer;
  const std::string shaderPath =
      paths.mentalRayShader.empty() ? GLINTWEAVE_PREVIEW_MR_SHADER : paths.mentalRayShader;

  if (std::string why = libraryFileProblem(rendererPath); !why.empty()) {
    error = "cannot load the renderer module " + rendererPath + ": " + why;
    return false;
  }
  renderer_ = dlopen(rendererPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!renderer_) {
    error = "cannot load the renderer module: " + std::string(dlerror());
    return false;
  }
  control_ = miRendererFrom(renderer_);
  if (!control_) {
    error =
        rendererPath + " is not the stand-in renderer module (no " + MI_RENDERER_TABLE_SYMBOL + ")";
    return false;
  }
  if (std::string why = libraryFileProblem(shaderPath); !why.empty()) {
    error = "cannot load the shader library " + shaderPath + ": " + why;
    return false;
  }
  shaderLib_ = dlopen(shaderPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!shaderLib_) {
    error = "cannot load the shader library: " + std::string(dlerror());
    return false;
  }
  shader_ = reinterpret_cast<miShader>(dlsym(shaderLib_, kShaderName));
  auto version = reinterpret_cast<miShader_version>(
      dlsym(shaderLib_, (std::string(kShaderName) + "_version").c_str()));
  auto setModule = reinterpret_cast<void (*)(void*)>(dlsym(shaderLib_, "miSetModuleHandle"));
  if (!shader_ || !version || !setModule) {
    error = shaderPath + " is not a glintWeave shader library (" + kShaderName + ", " +
            kShaderName + "_version or miSetModuleHandle missing)";
    return false;
  }
  // The renderer compares the library's version with the declaration's.
  if (const int v = version(); v != kShaderVersion) {
    error = shaderPath + ": shader version " + std::to_string(v) + ", the declaration says " +
            std::to_string(kShaderVersion);
    return false;
  }

  control_->reset();
  control_->setRecording(miFALSE);
  MiRendererCallbacks callbacks{};
  callbacks.user = this;
  callbacks.sampleLight = &MentalRayBackend::sampleLight;
  callbacks.traceReflection = &MentalRayBackend::traceReflection;
  callbacks.traceEnvironment = &MentalRayBackend::traceEnvironment;
  callbacks.computeIrradiance = &MentalRayBackend::computeIrradiance;
  control_->setCallbacks(&callbacks);
  setModule(renderer_);
  return buildRecords(error);
}

miBoolean MentalRayBackend::sampleLight(void* user, miColor* result, miVector* dir, miScalar* dotNl,
                                        miState* state, miTag tag, miInteger* samples) {
  if (tag == kProbeLightTag) return probeLightSample(result, dir, dotNl, state, samples);
  const auto* self = static_cast<const MentalRayBackend*>(user);
  const auto& lights = self->scene_.lights;
  if (tag == 0 || tag > lights.size() || !samples) return miFALSE;
  const size_t index = tag - 1;
  const Light& light = lights[index];
  const LightSampling& sampling = self->scene_.lightSampling;
  const int depth = state->reflection_level;
  if (*samples < 0 || *samples >= lightSampleCount(sampling, light, depth)) return miFALSE;
  // The hit being shaded: its camera sample and slot come from the context,
  // its depth from the state.
  HitKey key;
  if (const auto* ctx = static_cast<const MentalRayContext*>(state->user)) key = ctx->key;
  key.depth = depth;
  const Vec3 p = fromMi(state->point);
  const Vec3 target = lightSamplePosition(sampling, light, index, key, p, *samples);
  const Vec3 l = normalized(target - p);
  const bool lit = !self->scene_.occluded(p, target);
  const Rgb c = lit ? light.intensity : Rgb{};
  if (result) *result = {c.x, c.y, c.z, 1.0f};
  if (dir) *dir = toMi(l);
  if (dotNl) *dotNl = dot(fromMi(state->normal), l);
  ++*samples;
  return miTRUE;
}

miBoolean MentalRayBackend::traceReflection(void* user, miColor* result, miState* state,
                                            miVector* dir) {
  const auto* self = static_cast<const MentalRayBackend*>(user);
  if (state->reflection_level >= kReflectionDepth) return miFALSE;
  auto* ctx = static_cast<MentalRayContext*>(state->user);
  // Every ray cast counts, hit or miss, so that the k-th ray of a camera
  // sample is slot k whatever the earlier rays met (as on the Maya side).
  const int slot = ++ctx->traces;
  const Ray ray{fromMi(state->point), normalized(fromMi(*dir))};
  const auto hit = self->scene_.intersect(ray, kRayEpsilon, std::numeric_limits<float>::infinity());
  if (!hit) {
    // What traceEnvironment returns for this direction: ray.dir is the same
    // normalised direction.
    const Rgb c = self->scene_.environment.radiance(ray.dir);
    *result = {c.x, c.y, c.z, 1.0f};
    return miTRUE;
  }

  miState child = *state;
  child.parent = state;
  child.child = nullptr;
  child.type = miRAY_REFLECT;
  child.reflection_level = state->reflection_level + 1;
  self->fillHitState(child, ray, *hit);
  state->child = &child;
  // The hit's light samples are placed as the ray's slot says; the caller's
  // slot is back in place for whatever it samples next.
  const int callerSlot = ctx->key.slot;
  ctx->key.slot = slot;
  const miBoolean shaded = self->shade(result, &child, ctx->slots[hit->slot]);
  ctx->key.slot = callerSlot;
  state->child = nullptr;
  // What the renderer copies back into the caller's state.
  state->point = child.point;
  state->normal = child.normal;
  state->dist = child.dist;
  return shaded;
}

miBoolean MentalRayBackend::traceEnvironment(void* user, miColor* result, miState*, miVector* dir) {
  const auto* self = static_cast<const MentalRayBackend*>(user);
  const Rgb c = self->scene_.environment.radiance(normalized(fromMi(*dir)));
  *result = {c.x, c.y, c.z, 1.0f};
  return miTRUE;
}

// Irradiance from the environment over the hemisphere of state->normal,
// estimated with a fixed set of cosine-distributed directions (the same for
// every point, so it adds no noise between pixels), each blocked by the
// scene or not. No light bounces between surfaces.
miBoolean MentalRayBackend::computeIrradiance(void* user, miColor* result, miState* state) {
  const auto* self = static_cast<const MentalRayBackend*>(user);
  const Vec3 n = normalized(fromMi(state->normal));
  const Vec3 p = fromMi(state->point);
  const Vec3 helper = std::fabs(n.x) < 0.9f ? Vec3{1, 0, 0} : Vec3{0, 1, 0};
  const Vec3 t = normalized(cross(helper, n));
  const Vec3 b = cross(n, t);
  constexpr float kGolden = 2.3999632f;  // golden angle, radians
  Rgb sum;
  for (int i = 0; i < kIrradianceRays; ++i) {
    const float u = (static_cast<float>(i) + 0.5f) / kIrradianceRays;
    const float r = std::sqrt(u);
    const float phi = kGolden * static_cast<float>(i);
    const Vec3 d =
        normalized(t * (r * std::cos(phi)) + b * (r * std::sin(phi)) + n * std::sqrt(1.0f - u));
    const Ray ray{p, d};
    if (!self->scene_.intersect(ray, kRayEpsilon, std::numeric_limits<float>::infinity())) {
      sum += self->scene_.environment.radiance(d);
    }
  }
  // Cosine-distributed directions estimate E / pi, hence the factor pi.
  const Rgb e = sum * (3.14159265f / kIrradianceRays);
  *result = {e.x, e.y, e.z, 1.0f};
  return miTRUE;
}

// The state the renderer hands a material shader for an eye ray, before the
// hit's own fields are filled in; `user` is the backend's per-call context.
miState eyeState(void* user, size_t userSize) {
  miState state;
  std::memset(&state, 0, sizeof state);
  state.version = MI_STATE_VERSION;
  state.type = miRAY_EYE;
  state.ior = 1.0f;
  state.ior_in = 1.0f;
  state.user = user;
  state.user_size = static_cast<int>(userSize);
  return state;
}

Rgb MentalRayContext::shadeCameraHit(const Ray& ray, const Hit& hit, const SlotMaterials& map) {
  slots = map;
  miState state = eyeState(this, sizeof *this);
  backend.fillHitState(state, ray, hit);
  miColor result;
  backend.shade(&result, &state, slots[hit.slot]);
  return {result.r, result.g, result.b};
}

// Each material has a parameter block of its own, read by renders of that
// material only: rewriting it while no render of it runs is what the
// renderer does between two frames of an edited shader.
bool MentalRayBackend::setMaterial(size_t index, const Material& material, std::string& error) {
  if (index >= records_.size()) {
    error = "no material " + std::to_string(index) + " in the mental ray backend";
    return false;
  }
  char* params = reinterpret_cast<char*>(records_[index].data()) + offsetof(miFunction, parameters);
  return writeParameterBlock(material, params, error);
}

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

// A shader record of its own with one light, the probe light; per light
// direction the shader is called as for an eye ray hitting the point. With
// reflectivity 0 and the indirect term off it traces nothing.
bool MentalRayBackend::measureLobe(const Material& material, Vec3 view,
                                   const std::vector<Vec3>& lights, std::vector<Rgb>& out,
                                   std::string& error) {
  const size_t bytes = offsetof(miFunction, parameters) + sizeof(GlintWeaveBlock);
  std::vector<uint64_t> buffer((bytes + 7) / 8, 0);
  auto* record = reinterpret_cast<miFunction*>(buffer.data());
  record->type = miFUNCTION_C;
  record->parameter_size = static_cast<int>(sizeof(GlintWeaveBlock));
  record->result_size = static_cast<int>(sizeof(miColor));
  record->ghost_offs = 0;
  char* params = reinterpret_cast<char*>(buffer.data()) + offsetof(miFunction, parameters);
  if (!writeParameterBlock(lobeMaterial(material), params, error)) return false;
  auto* block = reinterpret_cast<GlintWeaveBlock*>(params);
  block->i_light = 0;
  block->n_light = 1;
  block->light[0] = kProbeLightTag;

  const Vec3 toViewer = normalized(view);
  ProbeLight probe;
  miState state = eyeState(&probe, sizeof probe);
  state.shader = record;
  state.org = toMi(toViewer);
  state.dir = toMi(toViewer * -1.0f);
  state.dist = 1.0;
  state.point = {0.0f, 0.0f, 0.0f};
  state.normal = {0.0f, 1.0f, 0.0f};
  state.normal_geom = state.normal;
  state.dot_nd = -toViewer.y;
  out.clear();
  out.reserve(lights.size());
  for (const Vec3& l : lights) {
    probe.direction = normalized(l);
    miColor result{0.0f, 0.0f, 0.0f, 0.0f};
    shader_(&result, &state, params);
    out.push_back({result.r, result.g, result.b});
  }
  return true;
}

}  // namespace

std::unique_ptr<Backend> createMentalRayBackend(const Scene& scene,
                                                const std::vector<Material>& materials,
                                                const LibraryPaths& paths, std::string& error) {
  auto backend = std::make_unique<MentalRayBackend>(scene, materials);
  if (!backend->load(paths, error)) return nullptr;
  return backend;
}

}  // namespace gwp
