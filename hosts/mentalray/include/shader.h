/*
 * Stand-in for the renderer's public shader interface (version 3.5), enough of
 * it for a material shader: the basic types, the per-sample state record, the
 * shader record, the ray types and the five interface functions the shader
 * library calls back. The layouts are the renderer's own on x86-64 (and on
 * 32-bit x86 with 8-byte double alignment), so a block or a state built here
 * is what the real renderer would hand over. Compiles as C and as C++.
 *
 * Configure with MENTALRAY_INCLUDE_DIR to build the shader library against the
 * real header instead; the library depends on nothing that only the stand-in
 * has.
 */
#ifndef SHADER_H
#define SHADER_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef _WIN32
#define DLLEXPORT __declspec(dllexport)
#define DLLIMPORT __declspec(dllimport)
#else
#define DLLEXPORT
#define DLLIMPORT
#endif

#if defined(BIT64) || defined(__LP64__) || defined(_WIN64)
#define MI_POINTERS_ARE_64BIT 1
#else
#define MI_POINTERS_ARE_64BIT 0
#endif

#define MI_STATE_VERSION 2

/* Basic types. */
typedef int miBoolean;
#define miFALSE 0
#define miTRUE 1
typedef unsigned char miCBoolean;
typedef unsigned char miUchar;
typedef unsigned char miUint1;
typedef signed char miSint1;
typedef unsigned short miUshort;
typedef int miInteger;
typedef float miScalar;
typedef double miGeoScalar;
typedef unsigned int miUint;
typedef unsigned int miUint4;
typedef int miSint4;
typedef miUint miTag;
#define miNULLTAG 0

typedef struct miVector {
  miScalar x, y, z;
} miVector;

typedef struct miColor {
  miScalar r, g, b, a;
} miColor;

typedef union miPointer {
  void* p;
  miUint4 padding[2];
} miPointer;

typedef union miLock {
  struct mi_lock* milockptr;
  int padding[2];
} miLock;

/* Ray types; the numbering is fixed. */
typedef enum miRay_type {
  miRAY_EYE,
  miRAY_TRANSPARENT,
  miRAY_REFLECT,
  miRAY_REFRACT,
  miRAY_LIGHT,
  miRAY_SHADOW,
  miRAY_ENVIRONMENT,
  miRAY_NONE,
  miPHOTON_ABSORB,
  miPHOTON_LIGHT,
  miPHOTON_REFLECT_SPECULAR,
  miPHOTON_REFLECT_GLOSSY,
  miPHOTON_REFLECT_DIFFUSE,
  miPHOTON_TRANSMIT_SPECULAR,
  miPHOTON_TRANSMIT_GLOSSY,
  miPHOTON_TRANSMIT_DIFFUSE,
  miRAY_DISPLACE,
  miRAY_OUTPUT,
  miPHOTON_SCATTER_VOLUME,
  miPHOTON_TRANSPARENT,
  miRAY_FINALGATHER,
  miRAY_LM_VERTEX,
  miRAY_LM_MESH,
  miPHOTON_EMIT_GLOBILLUM,
  miPHOTON_EMIT_CAUSTIC,
  miRAY_PROBE,
  miRAY_HULL,
  miPHOTON_HULL,
  miRAY_NO_TYPES
} miRay_type;

struct miCamera;
struct miOptions;
struct miTs;
struct miFunction;

/* Per-sample state, fields in the renderer's order. */
typedef struct miState {
  int version;
  miTag camera_inst;
  const struct miCamera* camera;
  const struct miOptions* options;
  miLock global_lock;
  miUint qmc_instance;
#if MI_POINTERS_ARE_64BIT
  miUint pad;
#endif
  struct miTs* ts;
  float raster_x;
  float raster_y;
  struct miState* parent;
  miRay_type type;
  miUchar qmc_component;
  miUint1 scanline;
  miCBoolean inv_normal;
  char face;
  void* spare0;
  void* cache;
  int reflection_level;
  int refraction_level;
  miVector org;
  miVector dir;
  double dist;
  float time;
  miScalar ior;
  miScalar ior_in;
  miTag material;
  miTag volume;
  miTag environment;
  miTag refraction_volume;
  miUint label;
  miTag instance;
  miTag light_instance;
  void* pri;
  int pri_idx;
  float bary[4];
  miVector point;
  miVector normal;
  miVector normal_geom;
  miScalar dot_nd;
  double shadow_tol;
  miVector* tex_list;
  miVector* bump_x_list;
  miVector* bump_y_list;
  miVector motion;
  miVector* derivs;
  miVector tex;
  const struct miFunction* shader;
  struct miState* child;
  short thread;
  miUshort count;
  void* user;
  int user_size;
} miState;

typedef enum miFunction_type {
  miFUNCTION_C,
  miFUNCTION_PHEN,
  miFUNCTION_C_REQ,
  miFUNCTION_OUTFILE,
  miFUNCTION_DATA,
  miFUNCTION_PASS_SAVE,
  miFUNCTION_PASS_PREP,
  miFUNCTION_PASS_MERGE,
  miFUNCTION_PASS_DELETE,
  miFUNCTION_HARDWARE
} miFunction_type;

/*
 * Shader record. The parameter block starts at `parameters`; when parameters
 * can be connected, the renderer keeps one miTag per parameter `ghost_offs`
 * bytes past it (0 = nothing attached).
 */
typedef struct miFunction {
  miPointer sparep1[7];
  miFunction_type type;
  miUint out_typemap;
  miUint out_interpmap;
  miTag function_decl;
  miTag next_function;
  miTag parameter_indirect;
  miTag interfacephen;
  miBoolean spare0;
  int parameter_size;
  int result_size;
  int ghost_offs;
  miTag pass_read;
  miTag pass_write;
  miSint1 pass_maxsamples;
  miCBoolean spare2[3];
  miCBoolean no_expl_params;
  miCBoolean cloned;
  miCBoolean spare3[5];
  miUchar label;
  char parameters[8];
} miFunction;

#ifdef __cplusplus
#define MI_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define MI_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

MI_STATIC_ASSERT(sizeof(miBoolean) == 4 && sizeof(miTag) == 4, "32-bit boolean and tag");
MI_STATIC_ASSERT(sizeof(miVector) == 12 && sizeof(miColor) == 16, "vector and colour sizes");
MI_STATIC_ASSERT(sizeof(miPointer) == 8 && sizeof(miLock) == 8, "pointer and lock unions");
MI_STATIC_ASSERT(sizeof(miRay_type) == 4, "ray type is an int");
MI_STATIC_ASSERT(sizeof(miFunction) == 128, "shader record size");
MI_STATIC_ASSERT(offsetof(miFunction, type) == 56, "miFunction.type");
MI_STATIC_ASSERT(offsetof(miFunction, ghost_offs) == 96, "miFunction.ghost_offs");
MI_STATIC_ASSERT(offsetof(miFunction, label) == 119, "miFunction.label");
MI_STATIC_ASSERT(offsetof(miFunction, parameters) == 120, "miFunction.parameters");
#if MI_POINTERS_ARE_64BIT
MI_STATIC_ASSERT(sizeof(miState) == 352, "miState size on x86-64");
MI_STATIC_ASSERT(offsetof(miState, ts) == 40, "miState.ts");
MI_STATIC_ASSERT(offsetof(miState, type) == 64, "miState.type");
MI_STATIC_ASSERT(offsetof(miState, dir) == 108, "miState.dir");
MI_STATIC_ASSERT(offsetof(miState, dist) == 120, "miState.dist");
MI_STATIC_ASSERT(offsetof(miState, point) == 196, "miState.point");
MI_STATIC_ASSERT(offsetof(miState, normal) == 208, "miState.normal");
MI_STATIC_ASSERT(offsetof(miState, shadow_tol) == 240, "miState.shadow_tol");
MI_STATIC_ASSERT(offsetof(miState, derivs) == 288, "miState.derivs");
MI_STATIC_ASSERT(offsetof(miState, shader) == 312, "miState.shader");
MI_STATIC_ASSERT(offsetof(miState, count) == 330, "miState.count");
MI_STATIC_ASSERT(offsetof(miState, user_size) == 344, "miState.user_size");
#endif

/* Interface functions the shader library calls back. */
miBoolean mi_sample_light(miColor* const result, miVector* const dir, miScalar* const dot_nl,
                          miState* const state, const miTag light_inst, miInteger* const samples);
miBoolean mi_trace_reflection(miColor* result, miState* state, miVector* direction);
miBoolean mi_trace_environment(miColor* result, miState* state, miVector* direction);
miBoolean mi_compute_irradiance(miColor* result, miState* state);
void* mi_phen_eval(miState* state, void* parm);

typedef miBoolean (*miShader)(miColor* result, miState* state, void* args);
typedef int (*miShader_version)(void);

#ifdef __cplusplus
}
#endif

#endif /* SHADER_H */
