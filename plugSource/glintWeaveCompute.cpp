// Per-sample shading of the glintWeave node: the Ashikhmin-Shirley
// anisotropic BRDF over the node's lights, importance-sampled glossy
// reflections traced through the renderer, ambient colour and incandescence,
// all but the specular term attenuated by transparency.
//
// Single precision throughout, in the order the terms are written below.
// Nothing here allocates, locks or looks anything up: the attribute handles
// are static and the data block hands out references into its storage.
#include <maya/MArrayDataHandle.h>
#include <maya/MDataBlock.h>
#include <maya/MDataHandle.h>
#include <maya/MFloatVector.h>
#include <maya/MPlug.h>
#include <maya/MRenderUtil.h>

#include <cmath>

#include "glintWeavePlugInt.h"
#include "random.h"
#include "reflectance.h"

namespace {

// The node limits its specular value; the shader library does not.
constexpr float kSpecularLimit = 5.0f;

float clamp01(float x) { return gw::clampRange(0.0f, 1.0f, x); }

// Per component.
MFloatVector times(const MFloatVector& a, const MFloatVector& b) {
  return MFloatVector(a.x * b.x, a.y * b.y, a.z * b.z);
}

// normalizedCopy, or false where the vector has no direction (zero length),
// which the plain division would turn into 0/0.
bool unitCopy(const MFloatVector& v, MFloatVector& out) {
  if ((v.x * v.x + v.y * v.y) + v.z * v.z == 0.0f) return false;
  out = gw::normalizedCopy(v);
  return true;
}

bool isFinite(const MFloatVector& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// The two tangents built from the normal as read: u in the camera's x-z
// plane, v completing the frame.
struct TangentFrame {
  MFloatVector u;
  MFloatVector v;
};

TangentFrame tangentFrame(const MFloatVector& N) {
  TangentFrame f;
  if (N.x == 0.0f && N.z == 0.0f) {
    f.u = N.y < 0.0f ? MFloatVector(-1.0f, 0.0f, 0.0f) : MFloatVector(1.0f, 0.0f, 0.0f);
    f.v = MFloatVector(0.0f, 0.0f, 1.0f);
    return f;
  }
  const float l = std::sqrt(N.z * N.z + N.x * N.x);
  f.u = MFloatVector(N.z / l, 0.0f, -N.x / l);
  f.v = gw::normalizedCopy(N ^ f.u);
  return f;
}

}  // namespace

MStatus glintWeave::compute(const MPlug& plug, MDataBlock& block) {
  if (plug == aOutColor || plug == aOutColorR || plug == aOutColorG || plug == aOutColorB) {
    // The whole colour is computed and written below.
  } else if (plug == aOutTransparency || plug == aOutTransparencyR || plug == aOutTransparencyG ||
             plug == aOutTransparencyB) {
    const MFloatVector& T = block.inputValue(aTransparency).asFloatVector();
    MDataHandle out = block.outputValue(aOutTransparency);
    MFloatVector& outT = out.asFloatVector();
    outT.x = T.x;
    outT.y = T.y;
    outT.z = T.z;
    out.setClean();
    return MS::kSuccess;
  } else {
    return MS::kUnknownParameter;
  }

  MFloatVector A, D, S, R;  // ambient light, diffuse, specular, reflection

  const MFloatVector& Cs = block.inputValue(aColor).asFloatVector();
  const MFloatVector& Ca = block.inputValue(aAmbientColor).asFloatVector();
  const MFloatVector& Ci = block.inputValue(aIncandescence).asFloatVector();
  const float Rd = block.inputValue(aDiffuse).asFloat();
  const float nu = block.inputValue(aSpecularU).asFloat();
  const float nv = block.inputValue(aSpecularV).asFloat();
  const float Rs = block.inputValue(aSpecularPower).asFloat();
  const float rho = block.inputValue(aReflectivity).asFloat();
  const int Ns = block.inputValue(aReflectSamples).asInt();
  const MFloatVector& Dr = block.inputValue(aRayDirection).asFloatVector();
  const MFloatVector& P = block.inputValue(aPointCamera).asFloatVector();
  const MFloatVector& N = block.inputValue(aNormalCamera).asFloatVector();
  void* const raySampler = block.inputValue(aRaySampler).asAddr();
  const short d = block.inputValue(aRayDepth).asShort();
  void* const objectId = block.inputValue(aObjectId).asAddr();
  // Fetched so that anything feeding them is evaluated; they take no part.
  block.inputValue(aRayOrigin);
  block.inputValue(aPointObj);
  block.inputValue(aPointWorld);

  // The view vector comes from the ray when the renderer gives a sampler.
  MFloatVector V;
  // A zero-length view vector has no direction: the terms that need k1
  // (diffuse, specular, reflection) add nothing.
  bool viewDefined = unitCopy(raySampler != nullptr ? Dr : P, V);

  const TangentFrame frame = tangentFrame(N);

  // The normal, light directions and view vector are normalised again for
  // every light, as copies: the data block's values stay as the host wrote them.
  MFloatVector Nu = N;

  MArrayDataHandle lights = block.inputArrayValue(aLightData);
  const unsigned int count = lights.elementCount();
  for (unsigned int visited = 0; visited < count;) {
    MDataHandle light = lights.inputValue();
    const MFloatVector& E = light.child(aLightIntensity).asFloatVector();
    MFloatVector Lu = light.child(aLightDirection).asFloatVector();
    light.child(aPreShadowIntensity);
    const bool lightAmbient = light.child(aLightAmbient).asBool();
    const bool lightDiffuse = light.child(aLightDiffuse).asBool();
    const bool lightSpecular = light.child(aLightSpecular).asBool();

    Nu.normalize();
    Lu.normalize();
    V.normalize();

    MFloatVector n, k2, k1, h;
    // Zero-length normal or light direction: no direction to shade with.
    const bool geometryDefined = unitCopy(Nu, n) && unitCopy(Lu, k2);
    const bool k1Defined = viewDefined && unitCopy(-V, k1);
    const bool shaded = geometryDefined && k1Defined;
    // k2 = -k1 (light straight behind the viewer's mirror) leaves h without
    // a direction: the specular value has no meaning there.
    const bool halfDefined = shaded && unitCopy(k2 + k1, h);

    float fd = 0.0f;
    float fs = 0.0f;
    if (shaded) {
      const float nk2 = clamp01(n * k2);
      const float nk1 = clamp01(k1 * n);
      fd = gw::diffuseTerm(Rd, Rs, nk1, nk2);
      if (halfDefined) {
        // hn against the normal as normalised in place, not its copy n.
        const float hn = clamp01(h * Nu);
        const float hk2 = clamp01(k2 * h);
        const float hk1 = clamp01(k1 * h);
        const float hu = h * frame.u;
        const float hv = h * frame.v;
        const float lobe = gw::lobeFactor(nu, nv, hn, hu, hv);
        const float F = gw::schlickFresnel(h, k2, Rs);
        // The light's cosine first in each maximum, as the node always had it: it
        // decides which of +0 and -0, or of a NaN and a number, comes out.
        fs = gw::specularTerm(gw::lobeNormalisation(nu, nv), gw::maxOf(hk2, hk1),
                              gw::maxOf(nk2, nk1), lobe, F);
        if (fs < 0.0f) {
          fs = 0.0f;
        } else if (fs > kSpecularLimit) {
          fs = kSpecularLimit;
        }
        // Exponents outside the lobe's domain (a square root of a negative
        // product, 0 times an unbounded lobe, 0/0) leave fs without a value.
        if (std::isnan(fs)) fs = 0.0f;
      }
    }

    const float NL = Nu * Lu;
    if (lightAmbient) A += times(Cs, E);
    if (shaded && lightDiffuse && NL > 0.0f) D += times(fd * Cs, E);
    if (halfDefined && lightSpecular && NL > 0.0f) S += fs * NL * E;

    ++visited;
    if (!lights.next()) break;
  }

  if (rho > 0.0f) {
    MFloatVector n, k1;
    const MFloatVector& u = frame.u;
    // Without a normal or a view direction no reflection is defined; the
    // numbers are still drawn so that the sequence advances as always.
    const bool reflectable = unitCopy(Nu, n) && viewDefined && unitCopy(-V, k1);
    const MFloatVector b = n ^ u;
    MFloatVector sum;
    gw::RandomSource& source = gw::threadRandomSource();
    for (int j = 0; j < Ns; ++j) {
      const gw::UnitPair xi = gw::randomUnitPair(source);
      if (!reflectable) continue;
      const MFloatVector hs = gw::sampleHalfVector(nu, nv, xi.u1, xi.u2, u, b, n);
      // Exponents outside the lobe's domain give no half vector: the sample
      // adds nothing and still counts.
      if (!isFinite(hs)) continue;
      const MFloatVector r = 2.0f * (k1 * hs) * hs - k1;
      MFloatVector traced;
      MFloatVector tracedTransparency;
      if (d == 0) {
        MRenderUtil::raytrace(P, r, objectId, raySampler, d, traced, tracedTransparency, true);
        const float F = gw::schlickFresnel(k1, hs, Rs);
        sum += traced * (Rs * F * gw::kReflectionGain);  // weight first, then the colour
      }
    }
    if (Ns > 0) sum /= static_cast<float>(Ns);
    R = times(sum, rho * Cs);
  }

  const MFloatVector& T = block.inputValue(aTransparency).asFloatVector();
  MFloatVector O = A + (((D + times(Ca, Cs)) + Ci) + R);
  O = times(O, MFloatVector(1.0f - T.x, 1.0f - T.y, 1.0f - T.z)) + S;

  MDataHandle out = block.outputValue(aOutColor);
  out.asFloatVector() = O;
  out.setClean();
  return MS::kSuccess;
}
