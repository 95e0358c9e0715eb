// Driver API of the stand-in mental ray host.
//
// What a program playing mental ray does to run a shader library, in one
// place, so that the preview, the tests, the benchmarks and the fuzz targets
// call a shader exactly as the renderer would and none of them lays a record
// out by hand. The renderer's own services (mi_sample_light and the other
// interface functions) are the stand-in renderer module's
// (renderer/miRenderer.h); this driver loads that module, hands it to the
// library, and builds the calls.
//
//   Renderer   Renderer::load(path) dlopens the stand-in renderer module
//              (RTLD_LOCAL) and finds its control table; control() scripts
//              its entry points, serve(services) answers them with a
//              program's own Services (light sampling, tracing, irradiance).
//   Libraries  ShaderLibrary::load(path) dlopens a shader library (RTLD_LOCAL,
//              as the renderer does), reads the declaration installed with it
//              (<stem>.mi beside it or in ../include, or a given .mi), finds
//              the shader's exports by the declared name (the shader,
//              NAME_version, miSetModuleHandle) and compares NAME_version()
//              with the declaration's "version", as the renderer does before
//              the first call. bind(renderer) calls miSetModuleHandle with
//              the renderer module.
//   Layout     BlockLayout::from(declaration) lays the parameter block out as
//              the renderer does: a C struct in declared order, colour 16
//              bytes, vector 12, transform 64, scalar, integer, boolean and
//              every tag-valued type (light, shader, textures, string, data,
//              ...) 4, struct members inline, and `array T "x"` as
//              `int i_x; int n_x; T x[1];`. Every field is 4-byte aligned.
//   Calls      ShaderCall is one shader instance: the function record
//              (miFunction), its parameter block with room for the elements
//              of its arrays, and the ghost tags mirroring the block, in one
//              8-byte aligned buffer. Values are set by declared name, or
//              through a field resolved once with field() (no lookup per
//              sample). call(result, state) points state->shader at the
//              record and calls the shader with the block.
//   States     eyeState() is the state the renderer hands a material shader
//              for an eye ray, before setHit() fills in the hit's fields.
//              ChildState is the state a trace call makes for the shader of
//              its hit: a copy of the caller's, linked both ways, of the
//              trace's type, reflection level raised; finish() copies back
//              what the renderer copies back (label, point, normal, dist,
//              motion) and unlinks it.
//
// Threads: loading, laying out and setting values happen before rendering.
// ShaderCall::call and the states take no lock and allocate nothing: any
// number of threads may call at once, each with its own state, as long as
// no thread rewrites a block another is shading with.
#pragma once

#include <miRenderer.h>
#include <shader.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mi_declaration.h"

namespace mrhost {

// ---- the renderer module ---------------------------------------------------

// What a program playing mental ray answers for the renderer's interface
// functions, once served (Renderer::serve). Each default answers as a
// renderer with nothing to give: miFALSE, nothing written.
class Services {
 public:
  virtual ~Services() = default;
  virtual miBoolean sampleLight(miColor* result, miVector* dir, miScalar* dotNl, miState* state,
                                miTag light, miInteger* samples);
  virtual miBoolean traceReflection(miColor* result, miState* state, miVector* dir);
  virtual miBoolean traceEnvironment(miColor* result, miState* state, miVector* dir);
  virtual miBoolean computeIrradiance(miColor* result, miState* state);
};

class Renderer {
 public:
  // Null with `error` when the module cannot be loaded or is not the stand-in.
  static std::unique_ptr<Renderer> load(const std::string& path, std::string& error);
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  void* handle() const { return handle_; }
  const MiRenderer* control() const { return control_; }
  // Resets the module and routes its sampling, tracing and irradiance
  // entry points to `services` (mi_phen_eval keeps the module's answer),
  // with recording off: the calls then touch nothing shared. Null removes
  // the routes. Only while no entry point runs.
  void serve(Services* services) const;

 private:
  Renderer() = default;
  void* handle_ = nullptr;
  const MiRenderer* control_ = nullptr;
};

// ---- the parameter block ---------------------------------------------------

enum class FieldKind {
  kBoolean,
  kInteger,
  kScalar,
  kVector,
  kColor,
  kTransform,
  kTag,     // light, shader, material, texture, string, data, ...: a miTag
  kStruct,  // members follow as fields of their own ("outer.member")
  kArray,   // i_x, n_x, then the elements (element kind in `element`)
};

struct BlockField {
  std::string name;  // as declared; a struct member as "outer.member"
  std::string type;  // as declared: "color", "array light", "scalar texture", ...
  FieldKind kind = FieldKind::kScalar;
  FieldKind element = FieldKind::kScalar;  // arrays: the kind of one element
  size_t offset = 0;                       // from the block's start
  size_t size = 0;  // bytes; an array: i_x, n_x and one element
  size_t elementSize = 0;                  // arrays: bytes of one element
};

struct BlockLayout {
  std::vector<BlockField> fields;  // in declared order, struct members after their struct
  size_t size = 0;                 // bytes, one element per array

  // The field declared as `name`, or null.
  const BlockField* find(std::string_view name) const;

  // False with `error` for a type the renderer gives no storage in a block.
  static bool from(const gws::MiShaderDeclaration& declaration, BlockLayout& out,
                   std::string& error);
};

// ---- the shader library ----------------------------------------------------

class ShaderLibrary {
 public:
  struct Options {
    std::string declaration;  // the .mi to read; empty: the one installed with the library
    std::string shader;       // the shader to call; empty: the one named like the library
  };
  // Null with `error` (one line) when the library, its declaration or its
  // exports are missing, the declaration cannot be read or laid out, or the
  // versions differ.
  static std::unique_ptr<ShaderLibrary> load(const std::string& path, std::string& error);
  static std::unique_ptr<ShaderLibrary> load(const std::string& path, const Options& options,
                                             std::string& error);
  ~ShaderLibrary();
  ShaderLibrary(const ShaderLibrary&) = delete;
  ShaderLibrary& operator=(const ShaderLibrary&) = delete;

  const std::string& path() const { return path_; }
  const std::string& declarationPath() const { return declarationPath_; }
  const gws::MiShaderDeclaration& declaration() const { return declaration_; }
  const BlockLayout& layout() const { return layout_; }
  void* handle() const { return handle_; }
  miShader shader() const { return shader_; }
  // NAME_version(), called again.
  int version() const { return version_(); }
  // miSetModuleHandle(module): the library binds its entry points there.
  void bind(void* module) const { setModuleHandle_(module); }
  void bind(const Renderer& renderer) const { bind(renderer.handle()); }
  // The exports themselves, for callers that call them directly.
  miShader_version versionFunction() const { return version_; }
  using SetModuleHandleFn = void (*)(void*);
  SetModuleHandleFn setModuleHandleFunction() const { return setModuleHandle_; }

 private:
  ShaderLibrary() = default;
  std::string path_, declarationPath_;
  gws::MiShaderDeclaration declaration_;
  BlockLayout layout_;
  void* handle_ = nullptr;
  miShader shader_ = nullptr;
  miShader_version version_ = nullptr;
  SetModuleHandleFn setModuleHandle_ = nullptr;
};

// ---- one shader instance ---------------------------------------------------

class ShaderCall {
 public:
  // A record for `library`'s shader whose arrays have room for
  // `arrayCapacity` elements each; every value zero, no array element used.
  explicit ShaderCall(const ShaderLibrary& library, size_t arrayCapacity = 1);
  ShaderCall(const ShaderCall&) = delete;
  ShaderCall& operator=(const ShaderCall&) = delete;

  const ShaderLibrary& library() const { return *library_; }
  miFunction* function() { return reinterpret_cast<miFunction*>(buffer_.data()); }
  const miFunction* function() const {
    return reinterpret_cast<const miFunction*>(buffer_.data());
  }
  // The parameter block (it runs past the record's declared parameters[]).
  char* block() { return reinterpret_cast<char*>(buffer_.data()) + kBlockOffset; }
  const char* block() const {
    return reinterpret_cast<const char*>(buffer_.data()) + kBlockOffset;
  }
  // Bytes of the block with its array elements (the record's parameter_size).
  size_t blockSize() const { return blockSize_; }

  // A declared field, or null (resolve once; the setters below take it).
  const BlockField* field(std::string_view name) const { return library_->layout().find(name); }
  template <class T>
  T* at(const BlockField& f) {
    return reinterpret_cast<T*>(block() + f.offset);
  }

  // By name; false with `error` for an unknown name or a field of another kind.
  bool setBoolean(std::string_view name, bool value, std::string& error);
  bool setInteger(std::string_view name, miInteger value, std::string& error);
  bool setScalar(std::string_view name, miScalar value, std::string& error);
  bool setVector(std::string_view name, const miVector& value, std::string& error);
  bool setColor(std::string_view name, const miColor& value, std::string& error);
  bool setTag(std::string_view name, miTag value, std::string& error);
  // A boolean, integer, scalar, vector or colour from numbers, as a scene
  // file gives them: a boolean is true when not 0, an integer is cut to a
  // whole number, floats are rounded to single precision; a colour given
  // three numbers has alpha 1. False when `count` does not fit the field.
  bool setNumbers(std::string_view name, const double* values, size_t count, std::string& error);
  // An array's elements (tags: light, shader, ... arrays), i_x 0 and n_x
  // `count`. False when the array has no room for them.
  bool setTags(std::string_view name, const miTag* tags, size_t count, std::string& error);

  // Attaches a (pretend) shader to the field at `offset` in the block: its
  // ghost tag becomes `tag` and the record gains its ghost tags.
  void connect(size_t offset, miTag tag);

  // Calls the shader with this block: state->shader points at the record.
  // A renderer calls every shader through one generic signature, the block
  // as void*; the shader's own declaration names its block type. Clang's
  // function-type check would report that call, which is how mental ray
  // calls every shader, so it is off here and only here.
#if defined(__clang__)
  __attribute__((no_sanitize("function")))
#endif
  miBoolean call(miColor* result, miState* state) const {
    state->shader = function();
    return library_->shader()(result, state, const_cast<char*>(block()));
  }

 private:
  static constexpr size_t kBlockOffset = offsetof(miFunction, parameters);
  template <class T>
  bool set(std::string_view name, FieldKind kind, const T& value, std::string& error);

  const ShaderLibrary* library_;
  size_t arrayCapacity_ = 1;
  size_t blockSize_ = 0;
  std::vector<uint64_t> buffer_;  // 8-byte aligned: record, block, ghost tags
};

// ---- states ----------------------------------------------------------------

// The state the renderer hands a material shader for an eye ray (version,
// type, indices of refraction 1), before the hit's own fields are filled in.
miState eyeState(void* user = nullptr, int userSize = 0);

// Fills the fields the renderer sets for a hit before it calls the hit's
// material: origin, direction and length of the ray, the point, its unit
// normal facing the ray (also the geometric one), whether the normal was
// turned (a back face), both faces allowed, N.D and the instance hit.
void setHit(miState& state, const miVector& org, const miVector& dir, float dist,
            const miVector& point, const miVector& normal, bool backFacing, miTag instance);

// The state a trace call shades its hit with.
class ChildState {
 public:
  // A copy of `parent`, its parent, of ray type `type`, one reflection level
  // deeper for reflections (one refraction level for refractions);
  // parent.child points at it until finish().
  ChildState(miState& parent, miRay_type type);
  ~ChildState() { finish(); }
  ChildState(const ChildState&) = delete;
  ChildState& operator=(const ChildState&) = delete;

  miState& state() { return state_; }
  // Copies label, point, normal, dist and motion back into the parent, as
  // the renderer's trace calls do, and unlinks the two. Once.
  void finish();

 private:
  miState* parent_;
  miState state_;
};

}  // namespace mrhost
