// The glintWeave node: an anisotropic (Ashikhmin-Shirley) surface shader for
// the Maya Software renderer, with importance-sampled glossy reflections.
//
// This header holds the node class and its attribute set-up, initialize().
// The attributes are the node's record format in Maya scenes: their names,
// defaults, limits, flags and the order of every call that makes them are
// fixed, so they are set up from one table below.
#pragma once

#include <maya/MFnAttribute.h>
#include <maya/MFnLightDataAttribute.h>
#include <maya/MFnNumericAttribute.h>
#include <maya/MFnNumericData.h>
#include <maya/MIOStream.h>
#include <maya/MObject.h>
#include <maya/MPxNode.h>
#include <maya/MStatus.h>
#include <maya/MString.h>
#include <maya/MTypeId.h>

class glintWeave : public MPxNode {
 public:
  glintWeave() {}
  ~glintWeave() override {}

  // Marks the node safe for multi-threaded evaluation.
  void postConstructor() override;
  MStatus compute(const MPlug& plug, MDataBlock& block) override;

  static void* creator();
  static MStatus initialize();

  static const MTypeId id;

  // Material inputs.
  inline static MObject aColorR, aColorG, aColorB, aColor;
  inline static MObject aTransparencyR, aTransparencyG, aTransparencyB, aTransparency;
  inline static MObject aAmbientColorR, aAmbientColorG, aAmbientColorB, aAmbientColor;
  inline static MObject aIncandescenceR, aIncandescenceG, aIncandescenceB, aIncandescence;
  inline static MObject aDiffuse, aSpecularU, aSpecularV, aSpecularPower, aReflectivity;
  inline static MObject aReflectSamples;
  // Outputs.
  inline static MObject aOutColorR, aOutColorG, aOutColorB, aOutColor;
  inline static MObject aOutTransparencyR, aOutTransparencyG, aOutTransparencyB, aOutTransparency;
  // Geometry inputs, filled by the renderer per sample.
  inline static MObject aPointCameraX, aPointCameraY, aPointCameraZ, aPointCamera;
  inline static MObject aPointObjX, aPointObjY, aPointObjZ, aPointObj;
  inline static MObject aPointWorldX, aPointWorldY, aPointWorldZ, aPointWorld;
  inline static MObject aNormalCameraX, aNormalCameraY, aNormalCameraZ, aNormalCamera;
  // The lights reaching the sample.
  inline static MObject aLightDirectionX, aLightDirectionY, aLightDirectionZ, aLightDirection;
  inline static MObject aLightIntensityR, aLightIntensityG, aLightIntensityB, aLightIntensity;
  inline static MObject aLightAmbient, aLightDiffuse, aLightSpecular;
  inline static MObject aLightShadowFraction, aPreShadowIntensity, aLightBlindData;
  inline static MObject aLightData;
  // Ray inputs, filled by the renderer per sample.
  inline static MObject aRayOx, aRayOy, aRayOz, aRayOrigin;
  inline static MObject aRayDirectionX, aRayDirectionY, aRayDirectionZ, aRayDirection;
  inline static MObject aObjectId, aRaySampler, aRayDepth;
};

namespace glintWeaveSchema {

enum class Kind : unsigned char { kFloat, kInt, kShort, kBoolean, kAddress, kCompound, kLightData };

// Which statuses initialize() tests. The renderer's light data and ray
// inputs are what a host is likeliest to refuse, so their calls are checked.
enum class Tested : unsigned char {
  kNone,       // nothing
  kAll,        // the create call and every call after it (the light-data group)
  kCallsOnly,  // the calls after creation (the ray inputs)
};

// A call made on an attribute right after its creation.
enum class Op : unsigned char {
  kKeyable,
  kStorable,
  kReadable,
  kWritable,
  kHidden,
  kUsedAsColor,
  kArray,
  kDefaultFloat,   // setDefault(v) with one float
  kDefaultFloat3,  // setDefault(v, v, v) with three floats
  kDefaultInt,     // setDefault(int)
  kDefaultBool,    // setDefault(bool)
  kMin,
  kSoftMin,
  kSoftMax,
  kLightDefault,  // the twelve-value light-data default
};

struct Call {
  Op op;
  float value;  // flags and booleans: non-zero is true
};

constexpr unsigned kMaxCalls = 6;

struct Row {
  MObject* handle;
  const char* longName;
  const char* shortName;
  Kind kind;
  double createDefault;
  MObject* const* children;  // three for a compound, eight for light data
  Tested tested;
  unsigned char callCount;
  Call calls[kMaxCalls];
};

// Writes the status check report for a failed call and remembers the first
// failure for initialize's result.
inline void reportFailure(const MStatus& status, int line, MStatus& firstFailure) {
  if (status == MS::kSuccess) return;
  cerr << "\nAPI error detected in " << __FILE__ << " at line " << line << endl;
  status.perror("");
  if (firstFailure == MS::kSuccess) firstFailure = status;
}

// Creates one row's attribute. Only the light-data group passes a status
// out-parameter; everything else is created without one.
inline void createRow(const Row& row, MFnNumericAttribute& fnNumeric,
                      MFnLightDataAttribute& fnLight, MStatus& firstFailure) {
  MStatus createStatus;
  MStatus* status = row.tested == Tested::kAll ? &createStatus : nullptr;
  MObject* const* c = row.children;
  switch (row.kind) {
    case Kind::kFloat:
      *row.handle = fnNumeric.create(row.longName, row.shortName, MFnNumericData::kFloat,
                                     row.createDefault, status);
      break;
    case Kind::kInt:
      *row.handle = fnNumeric.create(row.longName, row.shortName, MFnNumericData::kInt,
                                     row.createDefault, status);
      break;
    case Kind::kShort:
      *row.handle = fnNumeric.create(row.longName, row.shortName, MFnNumericData::kShort,
                                     row.createDefault, status);
      break;
    case Kind::kBoolean:
      *row.handle = fnNumeric.create(row.longName, row.shortName, MFnNumericData::kBoolean,
                                     row.createDefault, status);
      break;
    case Kind::kAddress:
      *row.handle = fnNumeric.createAddr(row.longName, row.shortName, NULL, status);
      break;
    case Kind::kCompound:
      *row.handle = fnNumeric.create(row.longName, row.shortName, *c[0], *c[1], *c[2], status);
      break;
    case Kind::kLightData:
      *row.handle = fnLight.create(row.longName, row.shortName, *c[0], *c[1], *c[2], *c[3], *c[4],
                                   *c[5], *c[6], *c[7], status);
      break;
  }
  if (status) reportFailure(createStatus, __LINE__, firstFailure);
}

// Makes one call after creation on the attribute the function set created
// last, and tests its status when the row says so.
inline void callRow(const Row& row, const Call& call, MFnNumericAttribute& fnNumeric,
                    MFnLightDataAttribute& fnLight, MStatus& firstFailure) {
  MFnAttribute& fn = row.kind == Kind::kLightData ? static_cast<MFnAttribute&>(fnLight)
                                                  : static_cast<MFnAttribute&>(fnNumeric);
  const bool on = call.value != 0.0f;
  const float v = call.value;
  MStatus s;
  switch (call.op) {
    case Op::kKeyable:
      s = fn.setKeyable(on);
      break;
    case Op::kStorable:
      s = fn.setStorable(on);
      break;
    case Op::kReadable:
      s = fn.setReadable(on);
      break;
    case Op::kWritable:
      s = fn.setWritable(on);
      break;
    case Op::kHidden:
      s = fn.setHidden(on);
      break;
    case Op::kUsedAsColor:
      s = fn.setUsedAsColor(on);
      break;
    case Op::kArray:
      s = fn.setArray(on);
      break;
    case Op::kDefaultFloat:
      s = fnNumeric.setDefault(v);
      break;
    case Op::kDefaultFloat3:
      s = fnNumeric.setDefault(v, v, v);
      break;
    case Op::kDefaultInt:
      s = fnNumeric.setDefault(static_cast<int>(v));
      break;
    case Op::kDefaultBool:
      s = fnNumeric.setDefault(on);
      break;
    case Op::kMin:
      s = fnNumeric.setMin(static_cast<double>(v));
      break;
    case Op::kSoftMin:
      s = fnNumeric.setSoftMin(static_cast<double>(v));
      break;
    case Op::kSoftMax:
      s = fnNumeric.setSoftMax(static_cast<double>(v));
      break;
    case Op::kLightDefault:
      s = fnLight.setDefault(0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, true, true, false, 1.0f, 1.0f, 0);
      break;
  }
  if (row.tested != Tested::kNone) reportFailure(s, __LINE__, firstFailure);
}

}  // namespace glintWeaveSchema

// Creates the 72 attributes in order, adds them to the node type and declares
// which inputs affect which outputs. A failed tested call is reported and set-up
// carries on; the first such failure is returned so that the registration
// fails visibly instead of leaving a node type without its light data.
inline MStatus glintWeave::initialize() {
  using namespace glintWeaveSchema;
  constexpr float T = 1.0f;
  constexpr float F = 0.0f;

  static MObject* const color[] = {&aColorR, &aColorG, &aColorB};
  static MObject* const transparency[] = {&aTransparencyR, &aTransparencyG, &aTransparencyB};
  static MObject* const ambient[] = {&aAmbientColorR, &aAmbientColorG, &aAmbientColorB};
  static MObject* const incandescence[] = {&aIncandescenceR, &aIncandescenceG, &aIncandescenceB};
  static MObject* const outColor[] = {&aOutColorR, &aOutColorG, &aOutColorB};
  static MObject* const outTransparency[] = {&aOutTransparencyR, &aOutTransparencyG,
                                             &aOutTransparencyB};
  static MObject* const pointCamera[] = {&aPointCameraX, &aPointCameraY, &aPointCameraZ};
  static MObject* const pointObj[] = {&aPointObjX, &aPointObjY, &aPointObjZ};
  static MObject* const pointWorld[] = {&aPointWorldX, &aPointWorldY, &aPointWorldZ};
  static MObject* const normalCamera[] = {&aNormalCameraX, &aNormalCameraY, &aNormalCameraZ};
  static MObject* const lightDirection[] = {&aLightDirectionX, &aLightDirectionY,
                                            &aLightDirectionZ};
  static MObject* const lightIntensity[] = {&aLightIntensityR, &aLightIntensityG,
                                            &aLightIntensityB};
  static MObject* const lightData[] = {
      &aLightDirection, &aLightIntensity,      &aLightAmbient,       &aLightDiffuse,
      &aLightSpecular,  &aLightShadowFraction, &aPreShadowIntensity, &aLightBlindData};
  static MObject* const rayOrigin[] = {&aRayOx, &aRayOy, &aRayOz};
  static MObject* const rayDirection[] = {&aRayDirectionX, &aRayDirectionY, &aRayDirectionZ};

  constexpr Tested none = Tested::kNone;
  constexpr Tested all = Tested::kAll;
  constexpr Tested flags = Tested::kCallsOnly;

  // clang-format off
  // The calls after creation that recur.
#define GW_COLOR_INPUT(d) 4, {{Op::kKeyable, T}, {Op::kStorable, T}, {Op::kDefaultFloat3, d}, {Op::kUsedAsColor, T}}
#define GW_SCALAR_INPUT(d, lo, hi) 5, {{Op::kKeyable, T}, {Op::kStorable, T}, {Op::kDefaultFloat, d}, {Op::kSoftMin, lo}, {Op::kSoftMax, hi}}
#define GW_OUTPUT 3, {{Op::kHidden, F}, {Op::kReadable, T}, {Op::kWritable, F}}
#define GW_GEOMETRY 3, {{Op::kStorable, F}, {Op::kDefaultFloat3, 1.0f}, {Op::kHidden, T}}
#define GW_LIGHT_FLOAT 5, {{Op::kStorable, F}, {Op::kHidden, T}, {Op::kReadable, T}, {Op::kWritable, F}, {Op::kDefaultFloat, 1.0f}}
#define GW_LIGHT_VECTOR 5, {{Op::kStorable, F}, {Op::kHidden, T}, {Op::kReadable, T}, {Op::kWritable, F}, {Op::kDefaultFloat3, 1.0f}}
#define GW_LIGHT_BOOL(d) 5, {{Op::kStorable, F}, {Op::kHidden, T}, {Op::kReadable, T}, {Op::kWritable, F}, {Op::kDefaultBool, d}}
#define GW_RAY_INPUT 3, {{Op::kStorable, F}, {Op::kHidden, T}, {Op::kReadable, F}}
#define GW_NO_CALLS 0, {}
  static const Row rows[] = {
      {&aColorR, "colorR", "cr", Kind::kFloat, 0.5, nullptr, none, GW_NO_CALLS},
      {&aColorG, "colorG", "cg", Kind::kFloat, 0.5, nullptr, none, GW_NO_CALLS},
      {&aColorB, "colorB", "cb", Kind::kFloat, 0.5, nullptr, none, GW_NO_CALLS},
      {&aColor, "color", "c", Kind::kCompound, 0.0, color, none, GW_COLOR_INPUT(0.5f)},
      {&aTransparencyR, "transparencyR", "itr", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aTransparencyG, "transparencyG", "itg", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aTransparencyB, "transparencyB", "itb", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aTransparency, "transparency", "it", Kind::kCompound, 0.0, transparency, none, GW_COLOR_INPUT(0.0f)},
      {&aAmbientColorR, "ambientColorR", "ambCR", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aAmbientColorG, "ambientColorG", "ambCG", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aAmbientColorB, "ambientColorB", "ambCB", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aAmbientColor, "ambientColor", "ambC", Kind::kCompound, 0.0, ambient, none, GW_COLOR_INPUT(0.0f)},
      {&aIncandescenceR, "incandescenceR", "ir", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aIncandescenceG, "incandescenceG", "ig", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aIncandescenceB, "incandescenceB", "ib", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aIncandescence, "incandescence", "ic", Kind::kCompound, 0.0, incandescence, none, GW_COLOR_INPUT(0.0f)},
      {&aDiffuse, "diffuse", "dfl", Kind::kFloat, 0.0, nullptr, none, GW_SCALAR_INPUT(0.8f, 0.0f, 1.0f)},
      {&aSpecularU, "specularU", "su", Kind::kFloat, 0.0, nullptr, none, GW_SCALAR_INPUT(10.0f, 0.0f, 10000.0f)},
      {&aSpecularV, "specularV", "sv", Kind::kFloat, 0.0, nullptr, none, GW_SCALAR_INPUT(10.0f, 0.0f, 10000.0f)},
      {&aSpecularPower, "specularPower", "sp", Kind::kFloat, 0.0, nullptr, none, GW_SCALAR_INPUT(0.5f, 0.0f, 1.0f)},
      {&aReflectivity, "reflectivity", "rfly", Kind::kFloat, 0.0, nullptr, none, GW_SCALAR_INPUT(0.5f, 0.0f, 1.0f)},
      {&aReflectSamples, "reflectSamples", "rfs", Kind::kInt, 0.0, nullptr, none,
       6, {{Op::kKeyable, T}, {Op::kStorable, T}, {Op::kDefaultInt, 1.0f}, {Op::kSoftMin, 1.0f}, {Op::kMin, 1.0f}, {Op::kSoftMax, 200.0f}}},
      {&aOutColorR, "outColorR", "ocr", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aOutColorG, "outColorG", "ocg", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aOutColorB, "outColorB", "ocb", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aOutColor, "outColor", "oc", Kind::kCompound, 0.0, outColor, none, GW_OUTPUT},
      {&aOutTransparencyR, "outTransparencyR", "otr", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aOutTransparencyG, "outTransparencyG", "otg", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aOutTransparencyB, "outTransparencyB", "otb", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aOutTransparency, "outTransparency", "ot", Kind::kCompound, 0.0, outTransparency, none, GW_OUTPUT},
      {&aPointCameraX, "pointCameraX", "px", Kind::kFloat, 1.0, nullptr, none, GW_NO_CALLS},
      {&aPointCameraY, "pointCameraY", "py", Kind::kFloat, 1.0, nullptr, none, GW_NO_CALLS},
      {&aPointCameraZ, "pointCameraZ", "pz", Kind::kFloat, 1.0, nullptr, none, GW_NO_CALLS},
      {&aPointCamera, "pointCamera", "pc", Kind::kCompound, 0.0, pointCamera, none, GW_GEOMETRY},
      {&aPointObjX, "pointObjX", "pox", Kind::kFloat, 1.0, nullptr, none, GW_NO_CALLS},
      {&aPointObjY, "pointObjY", "poy", Kind::kFloat, 1.0, nullptr, none, GW_NO_CALLS},
      {&aPointObjZ, "pointObjZ", "poz", Kind::kFloat, 1.0, nullptr, none, GW_NO_CALLS},
      {&aPointObj, "pointObj", "po", Kind::kCompound, 0.0, pointObj, none, GW_GEOMETRY},
      {&aPointWorldX, "pointWorldX", "pwx", Kind::kFloat, 1.0, nullptr, none, GW_NO_CALLS},
      {&aPointWorldY, "pointWorldY", "pwy", Kind::kFloat, 1.0, nullptr, none, GW_NO_CALLS},
      {&aPointWorldZ, "pointWorldZ", "pwz", Kind::kFloat, 1.0, nullptr, none, GW_NO_CALLS},
      {&aPointWorld, "pointWorld", "pw", Kind::kCompound, 0.0, pointWorld, none, GW_GEOMETRY},
      {&aNormalCameraX, "normalCameraX", "nx", Kind::kFloat, 1.0, nullptr, none, GW_NO_CALLS},
      {&aNormalCameraY, "normalCameraY", "ny", Kind::kFloat, 1.0, nullptr, none, GW_NO_CALLS},
      {&aNormalCameraZ, "normalCameraZ", "nz", Kind::kFloat, 1.0, nullptr, none, GW_NO_CALLS},
      {&aNormalCamera, "normalCamera", "n", Kind::kCompound, 0.0, normalCamera, none, GW_GEOMETRY},
      {&aLightDirectionX, "lightDirectionX", "ldx", Kind::kFloat, 0.0, nullptr, all, GW_LIGHT_FLOAT},
      {&aLightDirectionY, "lightDirectionY", "ldy", Kind::kFloat, 0.0, nullptr, all, GW_LIGHT_FLOAT},
      {&aLightDirectionZ, "lightDirectionZ", "ldz", Kind::kFloat, 0.0, nullptr, all, GW_LIGHT_FLOAT},
      {&aLightDirection, "lightDirection", "ld", Kind::kCompound, 0.0, lightDirection, all, GW_LIGHT_VECTOR},
      {&aLightIntensityR, "lightIntensityR", "lir", Kind::kFloat, 0.0, nullptr, all, GW_LIGHT_FLOAT},
      {&aLightIntensityG, "lightIntensityG", "lig", Kind::kFloat, 0.0, nullptr, all, GW_LIGHT_FLOAT},
      {&aLightIntensityB, "lightIntensityB", "lib", Kind::kFloat, 0.0, nullptr, all, GW_LIGHT_FLOAT},
      {&aLightIntensity, "lightIntensity", "li", Kind::kCompound, 0.0, lightIntensity, all, GW_LIGHT_VECTOR},
      {&aLightAmbient, "lightAmbient", "la", Kind::kBoolean, 0.0, nullptr, all, GW_LIGHT_BOOL(T)},
      {&aLightDiffuse, "lightDiffuse", "ldf", Kind::kBoolean, 0.0, nullptr, all, GW_LIGHT_BOOL(T)},
      {&aLightSpecular, "lightSpecular", "ls", Kind::kBoolean, 0.0, nullptr, all, GW_LIGHT_BOOL(F)},
      {&aLightShadowFraction, "lightShadowFraction", "lsf", Kind::kFloat, 0.0, nullptr, all, GW_LIGHT_FLOAT},
      {&aPreShadowIntensity, "preShadowIntensity", "psi", Kind::kFloat, 0.0, nullptr, all, GW_LIGHT_FLOAT},
      {&aLightBlindData, "lightBlindData", "lbld", Kind::kAddress, 0.0, nullptr, all,
       4, {{Op::kStorable, F}, {Op::kHidden, T}, {Op::kReadable, T}, {Op::kWritable, F}}},
      {&aLightData, "lightDataArray", "ltd", Kind::kLightData, 0.0, lightData, all,
       4, {{Op::kArray, T}, {Op::kStorable, F}, {Op::kHidden, T}, {Op::kLightDefault, 0.0f}}},
      {&aRayOx, "rayOx", "rxo", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aRayOy, "rayOy", "ryo", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aRayOz, "rayOz", "rzo", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aRayOrigin, "rayOrigin", "rog", Kind::kCompound, 0.0, rayOrigin, flags, GW_RAY_INPUT},
      {&aRayDirectionX, "rayDirectionX", "rdx", Kind::kFloat, 1.0, nullptr, none, GW_NO_CALLS},
      {&aRayDirectionY, "rayDirectionY", "rdy", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aRayDirectionZ, "rayDirectionZ", "rdz", Kind::kFloat, 0.0, nullptr, none, GW_NO_CALLS},
      {&aRayDirection, "rayDirection", "rad", Kind::kCompound, 0.0, rayDirection, flags, GW_RAY_INPUT},
      {&aObjectId, "objectId", "oi", Kind::kAddress, 0.0, nullptr, flags, GW_RAY_INPUT},
      {&aRaySampler, "raySampler", "rtr", Kind::kAddress, 0.0, nullptr, flags, GW_RAY_INPUT},
      {&aRayDepth, "rayDepth", "rd", Kind::kShort, 0.0, nullptr, flags, GW_RAY_INPUT},
  };
#undef GW_COLOR_INPUT
#undef GW_SCALAR_INPUT
#undef GW_OUTPUT
#undef GW_GEOMETRY
#undef GW_LIGHT_FLOAT
#undef GW_LIGHT_VECTOR
#undef GW_LIGHT_BOOL
#undef GW_RAY_INPUT
#undef GW_NO_CALLS

  // The light-data children are added one by one before lightDataArray;
  // no other child is added on its own.
  static MObject* const added[] = {
      &aColor, &aTransparency, &aAmbientColor, &aIncandescence, &aDiffuse, &aSpecularU,
      &aSpecularV, &aSpecularPower, &aReflectivity, &aReflectSamples, &aOutColor,
      &aOutTransparency, &aRayDirection, &aPointCamera, &aPointObj, &aPointWorld, &aNormalCamera,
      &aLightDirection, &aLightIntensity, &aLightAmbient, &aLightDiffuse, &aLightSpecular,
      &aLightShadowFraction, &aPreShadowIntensity, &aLightBlindData, &aLightData, &aRayOrigin,
      &aObjectId, &aRaySampler, &aRayDepth,
  };

  // Input, then the output it affects. Only the transparency attributes
  // affect outTransparency; lightIntensity is reached through lightDataArray.
  struct Affects { MObject* input; MObject* output; };
  static const Affects affects[] = {
      {&aColorR, &aOutColor}, {&aColorG, &aOutColor}, {&aColorB, &aOutColor}, {&aColor, &aOutColor},
      {&aTransparencyR, &aOutTransparency}, {&aTransparencyG, &aOutTransparency},
      {&aTransparencyB, &aOutTransparency}, {&aTransparency, &aOutTransparency},
      {&aTransparencyR, &aOutColor}, {&aTransparencyG, &aOutColor}, {&aTransparencyB, &aOutColor},
      {&aTransparency, &aOutColor},
      {&aAmbientColorR, &aOutColor}, {&aAmbientColorG, &aOutColor}, {&aAmbientColorB, &aOutColor},
      {&aAmbientColor, &aOutColor},
      {&aIncandescenceR, &aOutColor}, {&aIncandescenceG, &aOutColor}, {&aIncandescenceB, &aOutColor},
      {&aIncandescence, &aOutColor},
      {&aDiffuse, &aOutColor}, {&aSpecularU, &aOutColor}, {&aSpecularV, &aOutColor},
      {&aSpecularPower, &aOutColor}, {&aReflectivity, &aOutColor}, {&aReflectSamples, &aOutColor},
      {&aRayDirectionX, &aOutColor}, {&aRayDirectionY, &aOutColor}, {&aRayDirectionZ, &aOutColor},
      {&aRayDirection, &aOutColor},
      {&aPointCamera, &aOutColor}, {&aPointCameraX, &aOutColor}, {&aPointCameraY, &aOutColor},
      {&aPointCameraZ, &aOutColor},
      {&aPointObjX, &aOutColor}, {&aPointObjY, &aOutColor}, {&aPointObjZ, &aOutColor},
      {&aPointObj, &aOutColor},
      {&aPointWorldX, &aOutColor}, {&aPointWorldY, &aOutColor}, {&aPointWorldZ, &aOutColor},
      {&aPointWorld, &aOutColor},
      {&aNormalCameraX, &aOutColor}, {&aNormalCameraY, &aOutColor}, {&aNormalCameraZ, &aOutColor},
      {&aNormalCamera, &aOutColor},
      {&aLightDirectionX, &aOutColor}, {&aLightDirectionY, &aOutColor},
      {&aLightDirectionZ, &aOutColor}, {&aLightDirection, &aOutColor},
      {&aLightAmbient, &aOutColor}, {&aLightSpecular, &aOutColor}, {&aLightDiffuse, &aOutColor},
      {&aLightShadowFraction, &aOutColor}, {&aPreShadowIntensity, &aOutColor},
      {&aLightBlindData, &aOutColor}, {&aLightData, &aOutColor},
      {&aRayOx, &aOutColor}, {&aRayOy, &aOutColor}, {&aRayOz, &aOutColor}, {&aRayOrigin, &aOutColor},
      {&aObjectId, &aOutColor}, {&aRaySampler, &aOutColor}, {&aRayDepth, &aOutColor},
  };
  // clang-format on

  MFnNumericAttribute fnNumeric;
  MFnLightDataAttribute fnLight;
  MStatus firstFailure;

  for (const Row& row : rows) {
    createRow(row, fnNumeric, fnLight, firstFailure);
    for (unsigned k = 0; k < row.callCount; ++k)
      callRow(row, row.calls[k], fnNumeric, fnLight, firstFailure);
  }
  // Neither the additions nor the dependencies are tested: a refusal here
  // shows in the node type itself.
  for (MObject* attribute : added) addAttribute(*attribute);
  for (const Affects& pair : affects) attributeAffects(*pair.input, *pair.output);

  return firstFailure;
}
