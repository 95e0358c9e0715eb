// Stand-in for <maya/MFnLightDataAttribute.h>: the light-data compound a
// surface shader receives its lights through. The blind-data default is an
// integer of pointer size, as in the devkit this stand-in mirrors: pass a
// literal 0 (nullptr does not convert).
#pragma once

#include <maya/MFnAttribute.h>

class OPENMAYA_EXPORT MFnLightDataAttribute : public MFnAttribute {
 public:
  MFnLightDataAttribute() {}
  MFnLightDataAttribute(MObject& object, MStatus* ReturnStatus = NULL);
  ~MFnLightDataAttribute() override;

  MObject create(const MString& fullName, const MString& briefName, const MObject& direction,
                 const MObject& intensity, const MObject& ambient, const MObject& diffuse,
                 const MObject& specular, const MObject& shadowFraciton,
                 const MObject& preShadowIntensity, const MObject& blindData,
                 MStatus* ReturnStatus = NULL);
  MObject child(unsigned int index, MStatus* returnStatus);

  MStatus setDefault(float defDirectionX, float defDirectionY, float defDirectionZ,
                     float defIntensityR, float defIntensityG, float defIntensityB, bool defAmbient,
                     bool defDiffuse, bool defSpecular, float defShadowFraction,
                     float defPreShadowIntensity, MUintPtrSz defBlindData);
  MStatus getDefault(float& defDirectionX, float& defDirectionY, float& defDirectionZ,
                     float& defIntensityR, float& defIntensityG, float& defIntensityB,
                     bool& defAmbient, bool& defDiffuse, bool& defSpecular,
                     float& defShadowFraction, float& defPreShadowIntensity,
                     MUintPtrSz& defBlindData);
};
