// The host's share of one glintWeave compute, for the benchmarks: a compute
// that makes exactly the data-block and ray-tracing calls of the node's real
// compute (plugSource/glintWeaveCompute.cpp), in the same order and with the
// same node class and attribute schema, but does no shading. The time it takes
// is what the host costs; the real compute's time minus it is the node's own.
//
// Keep the calls in step with the real compute.
#include <maya/MArrayDataHandle.h>
#include <maya/MDataBlock.h>
#include <maya/MDataHandle.h>
#include <maya/MFloatVector.h>
#include <maya/MPlug.h>
#include <maya/MRenderUtil.h>

#include "glintWeavePlugInt.h"

MStatus glintWeave::compute(const MPlug& plug, MDataBlock& block) {
  if (plug == aOutColor || plug == aOutColorR || plug == aOutColorG || plug == aOutColorB) {
  } else if (plug == aOutTransparency || plug == aOutTransparencyR || plug == aOutTransparencyG ||
             plug == aOutTransparencyB) {
    const MFloatVector& T = block.inputValue(aTransparency).asFloatVector();
    MDataHandle out = block.outputValue(aOutTransparency);
    out.asFloatVector() = T;
    out.setClean();
    return MS::kSuccess;
  } else {
    return MS::kUnknownParameter;
  }

  const MFloatVector& Cs = block.inputValue(aColor).asFloatVector();
  const MFloatVector& Ca = block.inputValue(aAmbientColor).asFloatVector();
  const MFloatVector& Ci = block.inputValue(aIncandescence).asFloatVector();
  float sum = block.inputValue(aDiffuse).asFloat();
  sum += block.inputValue(aSpecularU).asFloat();
  sum += block.inputValue(aSpecularV).asFloat();
  sum += block.inputValue(aSpecularPower).asFloat();
  const float rho = block.inputValue(aReflectivity).asFloat();
  const int Ns = block.inputValue(aReflectSamples).asInt();
  const MFloatVector& Dr = block.inputValue(aRayDirection).asFloatVector();
  const MFloatVector& P = block.inputValue(aPointCamera).asFloatVector();
  const MFloatVector& N = block.inputValue(aNormalCamera).asFloatVector();
  void* const raySampler = block.inputValue(aRaySampler).asAddr();
  const short d = block.inputValue(aRayDepth).asShort();
  void* const objectId = block.inputValue(aObjectId).asAddr();
  block.inputValue(aRayOrigin);
  block.inputValue(aPointObj);
  block.inputValue(aPointWorld);

  MArrayDataHandle lights = block.inputArrayValue(aLightData);
  const unsigned int count = lights.elementCount();
  MFloatVector lightSum;
  for (unsigned int visited = 0; visited < count;) {
    MDataHandle light = lights.inputValue();
    const MFloatVector& E = light.child(aLightIntensity).asFloatVector();
    const MFloatVector& L = light.child(aLightDirection).asFloatVector();
    light.child(aPreShadowIntensity);
    const bool lightAmbient = light.child(aLightAmbient).asBool();
    const bool lightDiffuse = light.child(aLightDiffuse).asBool();
    const bool lightSpecular = light.child(aLightSpecular).asBool();
    if (lightAmbient || lightDiffuse || lightSpecular) lightSum += E + L;
    ++visited;
    if (!lights.next()) break;
  }

  MFloatVector R;
  if (rho > 0.0f) {
    for (int j = 0; j < Ns; ++j) {
      if (d == 0) {
        MFloatVector traced, tracedTransparency;
        MRenderUtil::raytrace(P, Dr, objectId, raySampler, d, traced, tracedTransparency, true);
        R += traced;
      }
    }
  }

  const MFloatVector& T = block.inputValue(aTransparency).asFloatVector();
  MDataHandle out = block.outputValue(aOutColor);
  out.asFloatVector() = Cs + Ca + Ci + N + lightSum + R + T + MFloatVector(sum, 0.0f, 0.0f);
  out.setClean();
  return MS::kSuccess;
}
