// The material shader kl4v_glintWeave: fetches its parameters through the
// renderer's evaluation rule, turns shadow and displacement calls away, and
// shades with the Ashikhmin-Shirley anisotropic BRDF over its light array,
// glossy reflections drawn from the same lobe, ambient, incandescence and an
// optional irradiance term. Every term is added into the result.
//
// Nothing here allocates, locks or looks anything up after the first call;
// all working data, the state copy included, lives on the stack.
#include <shader.h>

#include <cmath>
#include <cstddef>
#include <cstring>

#include "exports.h"
#include "random.h"
#include "reflectance.h"
#include "shaderParams.h"

namespace {

// One binary serves every renderer version the declaration admits (3.5 to
// 3.12): the state fields the shader reads, the state copy it hands to the
// traces and the shader record's ghost offset lie at these offsets in all of
// their headers. Checked against the header in use.
#if defined(BIT64) || defined(_WIN64) || defined(__LP64__)
static_assert(sizeof(miState) == 352, "miState size");
static_assert(offsetof(miState, options) == 16 && offsetof(miState, parent) == 56 &&
                  offsetof(miState, type) == 64 && offsetof(miState, reflection_level) == 88 &&
                  offsetof(miState, dir) == 108 && offsetof(miState, dist) == 120 &&
                  offsetof(miState, label) == 156 && offsetof(miState, point) == 196 &&
                  offsetof(miState, normal) == 208 && offsetof(miState, motion) == 272 &&
                  offsetof(miState, shader) == 312 && offsetof(miState, child) == 320,
              "miState fields");
static_assert(offsetof(miFunction, ghost_offs) == 96, "miFunction.ghost_offs");
#endif

// The ghost tag of a parameter set directly in the scene. Renderers from 3.8
// on give every parameter a ghost tag except those left at their defaults;
// 3.5 and 3.6 never use this value.
constexpr miTag kParameterSetDirectly = ~static_cast<miTag>(1);
#ifdef miPARAMTAG
static_assert(kParameterSetDirectly == miPARAMTAG, "the header's tag for directly set parameters");
#endif

// The renderer's evaluation rule, as it holds on every version: the value lies
// in the block unless a shader is attached to the parameter, in which case
// mi_phen_eval computes it and says where it is. A parameter has a shader
// attached when the record has ghost tags (a non-zero ghost_offs) and the
// parameter's tag, ghost_offs bytes past it, is neither 0 (nothing) nor the
// mark of a directly set value. Headers from 3.8 on test the record's
// has_connections byte first, a byte 3.5 and 3.6 leave unused; a record with
// a connection has it set, so the tag alone decides on every version.
template <class T>
inline T* evalParam(miState* state, T* parm) {
  const int ghost = state->shader->ghost_offs;
  if (ghost == 0) return parm;
  miTag tag;
  std::memcpy(&tag, reinterpret_cast<const char*>(parm) + ghost, sizeof tag);
  if (tag == miNULLTAG || tag == kParameterSetDirectly) return parm;
  return static_cast<T*>(mi_phen_eval(state, parm));
}

inline float dot(const miVector& a, const miVector& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

inline miVector cross(const miVector& a, const miVector& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// Multiplies by the reciprocal length; a zero-length vector stays as it is.
inline void normalize(miVector& v) {
  const float length = gw::squareRoot(dot(v, v));
  if (length == 0.0f) return;
  const float inv = 1.0f / length;
  v.x *= inv;
  v.y *= inv;
  v.z *= inv;
}

inline float clamp01(float x) { return gw::clampRange(0.0f, 1.0f, x); }

struct Frame {
  miVector u;  // first tangent: the y axis crossed with n
  // Second tangent: u crossed with n, the opposite of the Maya node's n x u;
  // the lobe takes only (h.v)^2, so the sign does not show.
  miVector v;
};

// Tangents from the normal alone.
inline Frame tangentFrame(const miVector& n) {
  const float xz = n.z * n.z + n.x * n.x;
  // x and z so small that their squares vanish would make 1/sqrt infinite
  // and the tangent NaN: that normal lies along y to single precision.
  if ((n.x == 0.0f && n.z == 0.0f) || xz == 0.0f) {
    return {{n.y < 0.0f ? -1.0f : 1.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 1.0f}};
  }
  const float inv = 1.0f / gw::squareRoot(xz);
  Frame f;
  f.u = {n.z * inv, 0.0f, -n.x * inv};
  f.v = cross(f.u, n);
  normalize(f.v);
  return f;
}

struct Inputs {
  const miColor* color;
  const miColor* ambientColor;
  const miColor* incandescence;
  miVector normalOffset;
  miBoolean indirect;
  miScalar diffuse;
  miScalar nu;
  miScalar nv;
  miScalar specularPower;
  miScalar reflectivity;
  miInteger reflectSamples;
  miScalar indirectIntensity;
  miInteger lightCount;
  const miTag* lights;  // already advanced to the first used element
  miColor indirectColor;
};

void shade(miColor* result, miState* state, const Inputs& in) {
  const miColor& color = *in.color;
  const float rd = in.diffuse;
  const float nu = in.nu;
  const float nv = in.nv;
  const float rs = in.specularPower;
  // Exponents at or below -1 lie outside the lobe's domain (its normalisation
  // and sampling take roots and powers of non-positive numbers), so neither
  // the specular highlight nor the glossy reflections are defined there.
  const bool lobeDefined = nu > -1.0f && nv > -1.0f;

  // 1. Shading normal and the vector towards the viewer: the ray direction
  // negated, taken as unit length as the renderer hands it over.
  miVector n = {state->normal.x + in.normalOffset.x, state->normal.y + in.normalOffset.y,
                state->normal.z + in.normalOffset.z};
  normalize(n);
  const miVector k1 = {-state->dir.x, -state->dir.y, -state->dir.z};

  // 2. Tangent frame.
  const Frame frame = tangentFrame(n);
  const miVector& u = frame.u;
  const miVector& v = frame.v;

  // 3. One copy of the state for the traces and the irradiance, with the
  // shading normal. Tracing copies label, point, normal, dist and motion of
  // the hit back into the state it is given; those are put back after every
  // trace so that later rays and the irradiance still start at this point.
  // A call that neither traces nor asks for irradiance makes no copy.
  const bool reflects = in.reflectivity > 0.0f && in.reflectSamples > 0;
  miState traceState;
  if (reflects || in.indirect) {
    traceState = *state;
    traceState.normal = n;
  }
  const auto restoreTraceState = [&traceState, state, &n]() {
    traceState.label = state->label;
    traceState.point = state->point;
    traceState.normal = n;
    traceState.dist = state->dist;
    traceState.motion = state->motion;
  };

  // 4. Direct light, one average per light over the renderer's final count
  // (the renderer hands over area lights as several samples; the Maya node
  // gets one value per light and sums).
  for (miInteger k = 0; k < in.lightCount; ++k) {
    const miTag light = in.lights[k];
    miInteger count = 0;
    float sum[3] = {0.0f, 0.0f, 0.0f};
    miColor lc = {0.0f, 0.0f, 0.0f, 0.0f};
    miVector k2 = {0.0f, 0.0f, 0.0f};
    miScalar c = 0.0f;
    while (mi_sample_light(&lc, &k2, &c, state, light, &count)) {
      c = dot(n, k2);             // the cosine against the shading normal, not the renderer's
      if (!(c > 0.0f)) continue;  // counted by the renderer, adds nothing
      miVector h = {k2.x + k1.x, k2.y + k1.y, k2.z + k1.z};
      normalize(h);
      const float hn = clamp01(dot(n, h));
      const float nk2 = clamp01(dot(n, k2));
      const float nk1 = clamp01(dot(n, k1));
      const float hk2 = clamp01(dot(h, k2));
      const float hk1 = clamp01(dot(h, k1));
      const float hu = dot(h, u);
      const float hv = dot(h, v);

      const float kd = gw::diffuseTerm(rd, rs, nk1, nk2);
      sum[0] += lc.r * kd * color.r;
      sum[1] += lc.g * kd * color.g;
      sum[2] += lc.b * kd * color.b;

      if (!lobeDefined) continue;
      const float lobe = gw::lobeFactor(nu, nv, hn, hu, hv);
      // The cosine scales the normalisation before the division and each
      // maximum takes the viewer's cosine first, as this shader always has
      // (the Maya node has no cosine here and takes the light's first).
      const float ks = gw::specularTerm(c * gw::lobeNormalisation(nu, nv), gw::maxOf(hk1, hk2),
                                        gw::maxOf(nk1, nk2), lobe, gw::schlickFresnel(h, k2, rs));
      // h of zero length (k2 = -k1), an unbounded lobe (hn = 0 under a negative
      // exponent) or exponents too large for single precision give no usable
      // highlight: the sample keeps its diffuse part only.
      if (!std::isfinite(ks)) continue;
      sum[0] += lc.r * ks;
      sum[1] += lc.g * ks;
      sum[2] += lc.b * ks;
    }
    if (count > 0) {
      const float samples = static_cast<float>(count);
      result->r += sum[0] / samples;
      result->g += sum[1] / samples;
      result->b += sum[2] / samples;
    }
  }

  // 5. Glossy reflections drawn from the lobe, the environment as fallback.
  if (reflects) {
    gw::RandomSource& random = gw::threadRandomSource();
    const miVector b = cross(n, u);
    float sum[3] = {0.0f, 0.0f, 0.0f};
    for (miInteger s = 0; s < in.reflectSamples; ++s) {
      const gw::UnitPair draw = gw::randomUnitPair(random);
      // Outside the lobe's domain no direction can be drawn: the sample adds
      // nothing, yet it takes its two numbers like every other sample.
      if (!lobeDefined) continue;
      const miVector hs = gw::sampleHalfVector(nu, nv, draw.u1, draw.u2, u, b, n);
      const float twiceHk1 = 2.0f * dot(k1, hs);
      miVector r = {twiceHk1 * hs.x - k1.x, twiceHk1 * hs.y - k1.y, twiceHk1 * hs.z - k1.z};
      miColor t = {0.0f, 0.0f, 0.0f, 0.0f};
      miBoolean seen = mi_trace_reflection(&t, &traceState, &r);
      restoreTraceState();
      if (!seen) {
        seen = mi_trace_environment(&t, &traceState, &r);
        restoreTraceState();
      }
      if (!seen) continue;  // nothing seen: the sample still counts
      // The colour enters second, the weight left to right (the Maya node
      // forms its weight first).
      const float fresnel = gw::schlickFresnel(hs, k1, rs);
      sum[0] += rs * t.r * fresnel * gw::kReflectionGain;
      sum[1] += rs * t.g * fresnel * gw::kReflectionGain;
      sum[2] += rs * t.b * fresnel * gw::kReflectionGain;
    }
    const float samples = static_cast<float>(in.reflectSamples);
    result->r += sum[0] * color.r * in.reflectivity / samples;
    result->g += sum[1] * color.g * in.reflectivity / samples;
    result->b += sum[2] * color.b * in.reflectivity / samples;
  }

  // 6. Ambient and incandescence; the result is opaque.
  result->r += color.r * in.ambientColor->r;
  result->g += color.g * in.ambientColor->g;
  result->b += color.b * in.ambientColor->b;
  result->r += in.incandescence->r;
  result->g += in.incandescence->g;
  result->b += in.incandescence->b;
  result->a = 1.0f;

  // 7. Indirect light from the renderer's irradiance.
  if (in.indirect) {
    // A renderer with no irradiance to give may leave E alone: start black.
    miColor e = {0.0f, 0.0f, 0.0f, 0.0f};
    mi_compute_irradiance(&e, &traceState);
    const miColor& tint = in.indirectColor;
    result->r += e.r * color.r * tint.r / gw::kPi * in.indirectIntensity;
    result->g += e.g * color.g * tint.g / gw::kPi * in.indirectIntensity;
    result->b += e.b * color.b * tint.b / gw::kPi * in.indirectIntensity;
    result->a = 1.0f;
  }
}

}  // namespace

extern "C" {

GW_MI_EXPORT int kl4v_glintWeave_version(void) { return 1; }

GW_MI_EXPORT miBoolean kl4v_glintWeave(miColor* result, miState* state, ShaderParams* paras) {
  // Every parameter is fetched, in this order, before anything else: shaders
  // attached to them run even for the calls turned away below.
  Inputs in;
  in.color = evalParam(state, &paras->color);
  in.ambientColor = evalParam(state, &paras->ambientColor);
  in.incandescence = evalParam(state, &paras->incandescence);
  in.normalOffset = *evalParam(state, &paras->normalOffset);
  in.indirect = *evalParam(state, &paras->indirect);
  in.diffuse = *evalParam(state, &paras->diffuse);
  in.nu = *evalParam(state, &paras->specularU);
  in.nv = *evalParam(state, &paras->specularV);
  in.specularPower = *evalParam(state, &paras->specularPower);
  in.reflectivity = *evalParam(state, &paras->reflectivity);
  in.reflectSamples = *evalParam(state, &paras->reflectSamples);
  in.indirectIntensity = *evalParam(state, &paras->indirectIntensity);
  in.lightCount = *evalParam(state, &paras->n_light);
  const miInteger firstLight = *evalParam(state, &paras->i_light);
  in.lights = evalParam(state, &paras->light[0]) + firstLight;

  if (state->type == miRAY_SHADOW || state->type == miRAY_DISPLACE) return miFALSE;

  in.indirectColor = {0.0f, 0.0f, 0.0f, 0.0f};
  if (in.indirect) {
    in.indirectColor = *evalParam(state, &paras->indirectColor);
    // A black tint switches the term off; a NaN component keeps it on.
    if (in.indirectColor.r == 0.0f && in.indirectColor.g == 0.0f && in.indirectColor.b == 0.0f) {
      in.indirect = miFALSE;
    }
  }

  shade(result, state, in);
  return miTRUE;
}

}  // extern "C"
