#include "mrhost.h"

#include <glintweave/dynload.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace mrhost {
namespace {

std::string loaderError() {
  const char* why = dlerror();
  return why ? why : "unknown error";
}

// Storage of one value of a declared type (without "array"); false for a
// type that has none.
bool kindOf(std::string_view type, FieldKind& kind, size_t& size) {
  struct Entry {
    std::string_view type;
    FieldKind kind;
    size_t size;
  };
  static constexpr Entry kTypes[] = {
      {"boolean", FieldKind::kBoolean, sizeof(miBoolean)},
      {"integer", FieldKind::kInteger, sizeof(miInteger)},
      {"scalar", FieldKind::kScalar, sizeof(miScalar)},
      {"vector", FieldKind::kVector, sizeof(miVector)},
      {"color", FieldKind::kColor, sizeof(miColor)},
      {"transform", FieldKind::kTransform, 16 * sizeof(miScalar)},  // miMatrix
      {"light", FieldKind::kTag, sizeof(miTag)},
      {"shader", FieldKind::kTag, sizeof(miTag)},
      {"material", FieldKind::kTag, sizeof(miTag)},
      {"geometry", FieldKind::kTag, sizeof(miTag)},
      {"data", FieldKind::kTag, sizeof(miTag)},
      {"lightprofile", FieldKind::kTag, sizeof(miTag)},
      {"string", FieldKind::kTag, sizeof(miTag)},
      {"color texture", FieldKind::kTag, sizeof(miTag)},
      {"scalar texture", FieldKind::kTag, sizeof(miTag)},
      {"vector texture", FieldKind::kTag, sizeof(miTag)},
  };
  for (const Entry& e : kTypes) {
    if (e.type == type) {
      kind = e.kind;
      size = e.size;
      return true;
    }
  }
  return false;
}

// Lays `params` out from `offset` on; struct members are named "prefix.name".
bool layOut(const std::vector<gws::MiParameter>& params, const std::string& prefix,
            size_t& offset, std::vector<BlockField>& fields, std::string& error) {
  for (const gws::MiParameter& p : params) {
    BlockField f;
    f.name = prefix + p.name;
    f.type = p.type;
    f.offset = offset;
    std::string_view type = p.type;
    const bool array = type.substr(0, 6) == "array ";
    if (array) type.remove_prefix(6);
    if (type.substr(0, 6) == "array ") {
      error = "\"" + f.name + "\" is an array of arrays, which a parameter block cannot hold";
      return false;
    }
    FieldKind kind = FieldKind::kScalar;
    size_t size = 0;
    if (type == "struct") {
      if (array) {
        error = "\"" + f.name + "\": arrays of structs are not laid out by this host";
        return false;
      }
      f.kind = FieldKind::kStruct;
      fields.push_back(f);
      const size_t at = fields.size() - 1;
      if (!layOut(p.members, f.name + ".", offset, fields, error)) return false;
      fields[at].size = offset - fields[at].offset;
      continue;
    }
    if (!kindOf(type, kind, size)) {
      error = "\"" + f.name + "\" has the type \"" + p.type +
              "\", which has no storage in a parameter block";
      return false;
    }
    if (array) {
      f.kind = FieldKind::kArray;
      f.element = kind;
      f.elementSize = size;
      f.size = 2 * sizeof(miInteger) + size;
    } else {
      f.kind = kind;
      f.size = size;
    }
    offset += f.size;
    fields.push_back(std::move(f));
  }
  return true;
}

const char* kindName(FieldKind k) {
  switch (k) {
    case FieldKind::kBoolean: return "boolean";
    case FieldKind::kInteger: return "integer";
    case FieldKind::kScalar: return "scalar";
    case FieldKind::kVector: return "vector";
    case FieldKind::kColor: return "color";
    case FieldKind::kTransform: return "transform";
    case FieldKind::kTag: return "tag";
    case FieldKind::kStruct: return "struct";
    case FieldKind::kArray: return "array";
  }
  return "?";
}

}  // namespace

// ---- Renderer ----------------------------------------------------------------

std::unique_ptr<Renderer> Renderer::load(const std::string& path, std::string& error) {
  std::unique_ptr<Renderer> r(new Renderer);
  r->handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!r->handle_) {
    error = "cannot load the renderer module: " + loaderError();
    return nullptr;
  }
  r->control_ = miRendererFrom(r->handle_);
  if (!r->control_) {
    error = path + " is not the stand-in renderer module (no " + MI_RENDERER_TABLE_SYMBOL + ")";
    return nullptr;
  }
  return r;
}

miBoolean Services::sampleLight(miColor*, miVector*, miScalar*, miState*, miTag, miInteger*) {
  return miFALSE;
}
miBoolean Services::traceReflection(miColor*, miState*, miVector*) { return miFALSE; }
miBoolean Services::traceEnvironment(miColor*, miState*, miVector*) { return miFALSE; }
miBoolean Services::computeIrradiance(miColor*, miState*) { return miFALSE; }

void Renderer::serve(Services* services) const {
  if (!services) {
    control_->setCallbacks(nullptr);
    return;
  }
  control_->reset();
  control_->setRecording(miFALSE);
  MiRendererCallbacks callbacks{};
  callbacks.user = services;
  callbacks.sampleLight = [](void* user, miColor* result, miVector* dir, miScalar* dotNl,
                             miState* state, miTag light, miInteger* samples) {
    return static_cast<Services*>(user)->sampleLight(result, dir, dotNl, state, light, samples);
  };
  callbacks.traceReflection = [](void* user, miColor* result, miState* state, miVector* dir) {
    return static_cast<Services*>(user)->traceReflection(result, state, dir);
  };
  callbacks.traceEnvironment = [](void* user, miColor* result, miState* state, miVector* dir) {
    return static_cast<Services*>(user)->traceEnvironment(result, state, dir);
  };
  callbacks.computeIrradiance = [](void* user, miColor* result, miState* state) {
    return static_cast<Services*>(user)->computeIrradiance(result, state);
  };
  control_->setCallbacks(&callbacks);
}

Renderer::~Renderer() {
  if (control_) control_->setCallbacks(nullptr);
  if (handle_) dlclose(handle_);
}

// ---- BlockLayout -------------------------------------------------------------

const BlockField* BlockLayout::find(std::string_view name) const {
  for (const BlockField& f : fields) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

bool BlockLayout::from(const gws::MiShaderDeclaration& declaration, BlockLayout& out,
                       std::string& error) {
  out = BlockLayout{};
  size_t offset = 0;
  std::string why;
  if (!layOut(declaration.parameters, "", offset, out.fields, why)) {
    error = "cannot lay out the parameters of \"" + declaration.name + "\": " + why;
    return false;
  }
  out.size = offset;
  return true;
}

// ---- ShaderLibrary -----------------------------------------------------------

std::unique_ptr<ShaderLibrary> ShaderLibrary::load(const std::string& path, std::string& error) {
  return load(path, Options{}, error);
}

std::unique_ptr<ShaderLibrary> ShaderLibrary::load(const std::string& path,
                                                   const Options& options, std::string& error) {
  std::unique_ptr<ShaderLibrary> lib(new ShaderLibrary);
  lib->path_ = path;
  // The declaration first: it names the exports to look for.
  lib->declarationPath_ = options.declaration;
  if (lib->declarationPath_.empty()) {
    std::string looked;
    lib->declarationPath_ = gws::findMiDeclaration(path, looked);
    if (lib->declarationPath_.empty()) {
      error = "cannot load the shader library " + path + ": it is not a shader library as " +
              "installed, with its declaration (looked for " + looked + ")";
      return nullptr;
    }
  }
  std::ifstream in(lib->declarationPath_, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) {
    error = "cannot read " + lib->declarationPath_;
    return nullptr;
  }
  // The shader named like the library (or as asked); a library renamed on
  // disk still carries its shader: then the declaration's first one.
  const std::string wanted = options.shader.empty() ? gws::libraryStem(path) : options.shader;
  const std::string source = text.str();
  gws::MiLexer lex(source, true);
  bool found = false, any = false;
  gws::MiShaderDeclaration first;
  while (!found) {
    const gws::MiToken t = lex.next();
    if (t.kind == gws::MiToken::Kind::kEnd) break;
    if (!t.word("declare")) continue;
    std::string why;
    if (!gws::parseDeclaration(lex, t, lib->declaration_, why)) {
      error = lib->declarationPath_ + ":" + why;
      return nullptr;
    }
    if (lib->declaration_.phenomenon) continue;  // read over: only shaders have a library
    found = lib->declaration_.name == wanted;
    if (!any) first = lib->declaration_;
    any = true;
  }
  if (!lex.error().empty()) {
    error = lib->declarationPath_ + ":" + std::to_string(lex.errorLine()) + ":" +
            std::to_string(lex.errorColumn()) + ": " + lex.error();
    return nullptr;
  }
  if (!found && (!any || !options.shader.empty())) {
    error = "cannot load the shader library " + path + ": " + lib->declarationPath_ +
            " declares no shader \"" + wanted + "\"";
    return nullptr;
  }
  if (!found) lib->declaration_ = std::move(first);
  if (!BlockLayout::from(lib->declaration_, lib->layout_, error)) {
    error = lib->declarationPath_ + ": " + error;
    return nullptr;
  }

  lib->handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib->handle_) {
    error = "cannot load the shader library: " + loaderError();
    return nullptr;
  }
  const std::string name = lib->declaration_.name;
  lib->shader_ = reinterpret_cast<miShader>(dlsym(lib->handle_, name.c_str()));
  lib->version_ =
      reinterpret_cast<miShader_version>(dlsym(lib->handle_, (name + "_version").c_str()));
  lib->setModuleHandle_ =
      reinterpret_cast<void (*)(void*)>(dlsym(lib->handle_, "miSetModuleHandle"));
  if (!lib->shader_ || !lib->version_ || !lib->setModuleHandle_) {
    error = path + " does not export the shader it declares (" + name + ", " + name +
            "_version or miSetModuleHandle missing)";
    return nullptr;
  }
  // The renderer compares the library's version with the declaration's
  // before the first call, and refuses the shader when they differ.
  if (const int v = lib->version_(); v != lib->declaration_.version) {
    error = path + ": shader version " + std::to_string(v) + ", the declaration (" +
            lib->declarationPath_ + ") says " + std::to_string(lib->declaration_.version);
    return nullptr;
  }
  return lib;
}

ShaderLibrary::~ShaderLibrary() {
  if (handle_) dlclose(handle_);
}

// ---- ShaderCall --------------------------------------------------------------

ShaderCall::ShaderCall(const ShaderLibrary& library, size_t arrayCapacity)
    : library_(&library), arrayCapacity_(arrayCapacity < 1 ? 1 : arrayCapacity) {
  blockSize_ = library.layout().size;
  for (const BlockField& f : library.layout().fields) {
    if (f.kind == FieldKind::kArray) blockSize_ += (arrayCapacity_ - 1) * f.elementSize;
  }
  // Record, block and a mirror of the block for the ghost tags.
  const size_t bytes = kBlockOffset + 2 * blockSize_;
  buffer_.assign((bytes + 7) / 8, 0);
  miFunction* record = function();
  record->type = miFUNCTION_C;
  record->parameter_size = static_cast<int>(blockSize_);
  record->result_size = static_cast<int>(sizeof(miColor));
  record->ghost_offs = 0;  // nothing connected: every parameter is read in place
  // Only the last array can run past the block; the others keep their
  // elements after the block's end, where i_x reaches them.
  size_t extra = library.layout().size;
  const auto& fields = library.layout().fields;
  for (size_t i = 0; i < fields.size(); ++i) {
    const BlockField& f = fields[i];
    if (f.kind != FieldKind::kArray) continue;
    if (f.offset + f.size == library.layout().size) continue;  // the last: in place
    const size_t first = f.offset + 2 * sizeof(miInteger);
    const miInteger index = static_cast<miInteger>((extra - first) / f.elementSize);
    std::memcpy(block() + f.offset, &index, sizeof index);
    extra += arrayCapacity_ * f.elementSize;
  }
}

template <class T>
bool ShaderCall::set(std::string_view name, FieldKind kind, const T& value, std::string& error) {
  const BlockField* f = field(name);
  if (!f || f->kind != kind) {
    error = "\"" + library_->declaration().name + "\" declares no " + kindName(kind) +
            " parameter \"" + std::string(name) + "\"" +
            (f ? std::string(" (it is a ") + f->type + ")" : std::string());
    return false;
  }
  std::memcpy(block() + f->offset, &value, sizeof value);
  return true;
}

bool ShaderCall::setBoolean(std::string_view name, bool value, std::string& error) {
  return set(name, FieldKind::kBoolean, value ? miBoolean{miTRUE} : miBoolean{miFALSE}, error);
}
bool ShaderCall::setInteger(std::string_view name, miInteger value, std::string& error) {
  return set(name, FieldKind::kInteger, value, error);
}
bool ShaderCall::setScalar(std::string_view name, miScalar value, std::string& error) {
  return set(name, FieldKind::kScalar, value, error);
}
bool ShaderCall::setVector(std::string_view name, const miVector& value, std::string& error) {
  return set(name, FieldKind::kVector, value, error);
}
bool ShaderCall::setColor(std::string_view name, const miColor& value, std::string& error) {
  return set(name, FieldKind::kColor, value, error);
}
bool ShaderCall::setTag(std::string_view name, miTag value, std::string& error) {
  return set(name, FieldKind::kTag, value, error);
}

bool ShaderCall::setNumbers(std::string_view name, const double* v, size_t count,
                            std::string& error) {
  const BlockField* f = field(name);
  if (!f) {
    error = "\"" + library_->declaration().name + "\" declares no parameter \"" +
            std::string(name) + "\"";
    return false;
  }
  size_t want = 1;
  if (f->kind == FieldKind::kVector) want = 3;
  if (f->kind == FieldKind::kColor) want = count == 4 ? 4 : 3;
  const bool numeric = f->kind == FieldKind::kBoolean || f->kind == FieldKind::kInteger ||
                       f->kind == FieldKind::kScalar || f->kind == FieldKind::kVector ||
                       f->kind == FieldKind::kColor;
  if (!numeric || count != want) {
    error = "\"" + std::string(name) + "\" is a " + f->type + ", which takes " +
            (numeric ? std::to_string(want) + " numbers, not " + std::to_string(count)
                     : std::string("no numbers"));
    return false;
  }
  char* at = block() + f->offset;
  if (f->kind == FieldKind::kBoolean) {
    const miBoolean b = v[0] != 0.0 ? miTRUE : miFALSE;
    std::memcpy(at, &b, sizeof b);
  } else if (f->kind == FieldKind::kInteger) {
    const miInteger n = static_cast<miInteger>(v[0]);
    std::memcpy(at, &n, sizeof n);
  } else {
    float x[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    for (size_t i = 0; i < count; ++i) x[i] = static_cast<float>(v[i]);
    std::memcpy(at, x, f->size);
  }
  return true;
}

bool ShaderCall::setTags(std::string_view name, const miTag* tags, size_t count,
                         std::string& error) {
  const BlockField* f = field(name);
  if (!f || f->kind != FieldKind::kArray || f->element != FieldKind::kTag) {
    error = "\"" + library_->declaration().name + "\" declares no array of tags \"" +
            std::string(name) + "\"";
    return false;
  }
  if (count > arrayCapacity_) {
    error = "\"" + std::string(name) + "\" has room for " + std::to_string(arrayCapacity_) +
            " elements, not " + std::to_string(count);
    return false;
  }
  char* at = block() + f->offset;
  miInteger index = 0;
  std::memcpy(&index, at, sizeof index);
  const miInteger n = static_cast<miInteger>(count);
  std::memcpy(at + sizeof(miInteger), &n, sizeof n);
  char* first = at + 2 * sizeof(miInteger) + static_cast<size_t>(index) * sizeof(miTag);
  if (count > 0) std::memcpy(first, tags, count * sizeof(miTag));
  return true;
}

void ShaderCall::connect(size_t offset, miTag tag) {
  function()->ghost_offs = static_cast<int>(blockSize_);
  std::memcpy(block() + blockSize_ + offset, &tag, sizeof tag);
}

// ---- states ------------------------------------------------------------------

miState eyeState(void* user, int userSize) {
  miState state;
  std::memset(&state, 0, sizeof state);
  state.version = MI_STATE_VERSION;
  state.type = miRAY_EYE;
  state.ior = 1.0f;
  state.ior_in = 1.0f;
  state.user = user;
  state.user_size = userSize;
  return state;
}

void setHit(miState& state, const miVector& org, const miVector& dir, float dist,
            const miVector& point, const miVector& normal, bool backFacing, miTag instance) {
  state.org = org;
  state.dir = dir;
  state.dist = static_cast<double>(dist);
  state.point = point;
  state.normal = normal;
  state.normal_geom = normal;
  state.inv_normal = backFacing ? 1 : 0;
  state.face = 'a';
  state.dot_nd = normal.x * dir.x + normal.y * dir.y + normal.z * dir.z;
  state.instance = instance;
}

ChildState::ChildState(miState& parent, miRay_type type) : parent_(&parent), state_(parent) {
  state_.parent = &parent;
  state_.child = nullptr;
  state_.type = type;
  if (type == miRAY_REFLECT) ++state_.reflection_level;
  if (type == miRAY_REFRACT) ++state_.refraction_level;
  parent.child = &state_;
}

void ChildState::finish() {
  if (!parent_) return;
  parent_->child = nullptr;
  parent_->label = state_.label;
  parent_->point = state_.point;
  parent_->normal = state_.normal;
  parent_->dist = state_.dist;
  parent_->motion = state_.motion;
  parent_ = nullptr;
}

}  // namespace mrhost
