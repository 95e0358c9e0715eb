// The light-data attribute function set: a compound of the eight children a
// light hands a surface shader, with its defaults recorded like any other.
#include <maya/MFnLightDataAttribute.h>

#include <string>
#include <vector>

#include "attribute_calls.h"
#include "host.h"

using mayahost::AttributeKind;
using mayahost::detail::Access;
using mayahost::detail::Attr;
using mayahost::detail::host;
using namespace mayahost::detail::attribute_calls;

MFnLightDataAttribute::MFnLightDataAttribute(MObject& object, MStatus* ReturnStatus) {
  const Attr* a = Access::attr(object);
  const bool ok = a && a->kind == AttributeKind::kLightData;
  if (ok) object_ = object;
  if (ReturnStatus) *ReturnStatus = ok ? MS::kSuccess : MS::kInvalidParameter;
}
MFnLightDataAttribute::~MFnLightDataAttribute() = default;

MObject MFnLightDataAttribute::create(const MString& fullName, const MString& briefName,
                                      const MObject& direction, const MObject& intensity,
                                      const MObject& ambient, const MObject& diffuse,
                                      const MObject& specular, const MObject& shadowFraciton,
                                      const MObject& preShadowIntensity, const MObject& blindData,
                                      MStatus* ReturnStatus) {
  return createAttr(*this, "MFnLightDataAttribute::create", fullName, ReturnStatus, [&]() -> Attr* {
    Attr* kids[8] = {Access::attr(direction),
                     Access::attr(intensity),
                     Access::attr(ambient),
                     Access::attr(diffuse),
                     Access::attr(specular),
                     Access::attr(shadowFraciton),
                     Access::attr(preShadowIntensity),
                     Access::attr(blindData)};
    bool ok = fullName.length() > 0;
    for (Attr* k : kids) ok = ok && adoptable(k);
    if (!ok) return nullptr;
    Attr& made = newAttr(fullName, briefName, AttributeKind::kLightData, MFnNumericData::kInvalid);
    for (Attr* k : kids) adopt(made, *k);
    return &made;
  });
}

MObject MFnLightDataAttribute::child(unsigned int index, MStatus* returnStatus) {
  Lock lock(host().mutex);
  const Attr* a = Access::fnAttr(*this);
  const bool ok = a && index < a->children.size();
  if (returnStatus) *returnStatus = ok ? MS::kSuccess : MS::kInvalidParameter;
  return ok ? Access::attrObject(a->child(index)) : MObject();
}

MStatus MFnLightDataAttribute::setDefault(float dx, float dy, float dz, float ir, float ig,
                                          float ib, bool amb, bool dif, bool spec, float shadow,
                                          float preShadow, MUintPtrSz blind) {
  std::vector<double> values = {dx,
                                dy,
                                dz,
                                ir,
                                ig,
                                ib,
                                amb ? 1.0 : 0.0,
                                dif ? 1.0 : 0.0,
                                spec ? 1.0 : 0.0,
                                shadow,
                                preShadow,
                                static_cast<double>(blind)};
  std::string call = "setDefault(light";
  for (size_t k = 0; k < values.size(); ++k)
    call += " " + ((k >= 6 && k <= 8) ? std::string(truth(values[k] != 0.0)) : number(values[k]));
  call += ")";
  return modify(*this, "MFnLightDataAttribute::setDefault", call, [&](Attr& a) {
    if (a.kind != AttributeKind::kLightData) return false;
    a.defaults = values;
    return true;
  });
}

MStatus MFnLightDataAttribute::getDefault(float& dx, float& dy, float& dz, float& ir, float& ig,
                                          float& ib, bool& amb, bool& dif, bool& spec,
                                          float& shadow, float& preShadow, MUintPtrSz& blind) {
  Lock lock(host().mutex);
  const Attr* a = Access::fnAttr(*this);
  if (!a || a->defaults.size() != 12) return MS::kFailure;
  const std::vector<double>& d = a->defaults;
  dx = static_cast<float>(d[0]);
  dy = static_cast<float>(d[1]);
  dz = static_cast<float>(d[2]);
  ir = static_cast<float>(d[3]);
  ig = static_cast<float>(d[4]);
  ib = static_cast<float>(d[5]);
  amb = d[6] != 0.0;
  dif = d[7] != 0.0;
  spec = d[8] != 0.0;
  shadow = static_cast<float>(d[9]);
  preShadow = static_cast<float>(d[10]);
  blind = static_cast<MUintPtrSz>(d[11]);
  return MS::kSuccess;
}
