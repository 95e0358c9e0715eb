// Stand-in for <maya/MRenderUtil.h> (OpenMayaRender): the software renderer's
// services to shading nodes.
#pragma once

#include <maya/MFloatVector.h>
#include <maya/MStatus.h>

class OPENMAYA_EXPORT MRenderUtil {
 public:
  // Traces one ray from a camera-space origin and writes the colour and
  // transparency seen along it. isReflectedRays false means refraction.
  static MStatus raytrace(const MFloatVector& rayOrigin, const MFloatVector& rayDirection,
                          const void* objectId, const void* raySampler, const short rayDepth,
                          MFloatVector& resultColor, MFloatVector& resultTransparency,
                          const bool isReflectedRays = true);
};
