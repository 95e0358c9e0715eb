// Attribute function sets: every attribute the plug-in creates is kept with
// all its settings, and every call made on it is recorded.
#include <maya/MFnAttribute.h>
#include <maya/MFnLightDataAttribute.h>
#include <maya/MFnNumericAttribute.h>

#include <cstdio>
#include <initializer_list>
#include <string>

#include "attribute_calls.h"
#include "host.h"

// The function sets are written against the stand-in's records, its call
// log and its lock, all in mayahost::detail.
using namespace mayahost::detail;
using namespace mayahost::detail::attribute_calls;
using mayahost::AttributeFlags;
using mayahost::AttributeKind;
using mayahost::AttributeRecord;

namespace {

MStatus setFlag(MFnBase& fn, const char* function, const char* name, bool AttributeFlags::*flag,
                bool state) {
  return modify(fn, function, std::string(name) + "(" + truth(state) + ")", [&](Attr& a) {
    a.flags.*flag = state;
    return true;
  });
}

template <class T>
T readFlag(const MFnBase& fn, bool AttributeFlags::*flag, MStatus* status) {
  Lock lock(host().mutex);
  const Attr* a = Access::fnAttr(fn);
  if (status) *status = a ? MS::kSuccess : MS::kInvalidParameter;
  return a ? a->flags.*flag : false;
}

bool isScalar(MFnNumericData::Type t) {
  switch (t) {
    case MFnNumericData::kBoolean:
    case MFnNumericData::kByte:
    case MFnNumericData::kChar:
    case MFnNumericData::kShort:
    case MFnNumericData::kInt:
    case MFnNumericData::kInt64:
    case MFnNumericData::kFloat:
    case MFnNumericData::kDouble:
    case MFnNumericData::kAddr:
      return true;
    default:
      return false;
  }
}

// The numeric type of a compound of 2 or 3 children of one numeric type.
MFnNumericData::Type compoundType(MFnNumericData::Type child, size_t count) {
  const bool three = count == 3;
  switch (child) {
    case MFnNumericData::kFloat:
      return three ? MFnNumericData::k3Float : MFnNumericData::k2Float;
    case MFnNumericData::kDouble:
      return three ? MFnNumericData::k3Double : MFnNumericData::k2Double;
    case MFnNumericData::kInt:
      return three ? MFnNumericData::k3Int : MFnNumericData::k2Int;
    case MFnNumericData::kShort:
      return three ? MFnNumericData::k3Short : MFnNumericData::k2Short;
    default:
      return MFnNumericData::kInvalid;
  }
}

}  // namespace

// ---- MFnAttribute ---------------------------------------------------------------------

MFnAttribute::MFnAttribute(MObject& object, MStatus* ReturnStatus) {
  const bool ok = Access::attr(object) != nullptr;
  if (ok) object_ = object;
  if (ReturnStatus) *ReturnStatus = ok ? MS::kSuccess : MS::kInvalidParameter;
}
MFnAttribute::~MFnAttribute() = default;

bool MFnAttribute::isReadable(MStatus* s) const {
  return readFlag<bool>(*this, &AttributeFlags::readable, s);
}
bool MFnAttribute::isWritable(MStatus* s) const {
  return readFlag<bool>(*this, &AttributeFlags::writable, s);
}
bool MFnAttribute::isConnectable(MStatus* s) const {
  return readFlag<bool>(*this, &AttributeFlags::connectable, s);
}
bool MFnAttribute::isStorable(MStatus* s) const {
  return readFlag<bool>(*this, &AttributeFlags::storable, s);
}
bool MFnAttribute::isCached(MStatus* s) const {
  return readFlag<bool>(*this, &AttributeFlags::cached, s);
}
bool MFnAttribute::isArray(MStatus* s) const {
  return readFlag<bool>(*this, &AttributeFlags::array, s);
}
bool MFnAttribute::isKeyable(MStatus* s) const {
  return readFlag<bool>(*this, &AttributeFlags::keyable, s);
}
bool MFnAttribute::isHidden(MStatus* s) const {
  return readFlag<bool>(*this, &AttributeFlags::hidden, s);
}
bool MFnAttribute::isUsedAsColor(MStatus* s) const {
  return readFlag<bool>(*this, &AttributeFlags::usedAsColor, s);
}
bool MFnAttribute::isChannelBoxFlagSet(MStatus* s) const {
  return readFlag<bool>(*this, &AttributeFlags::channelBox, s);
}
bool MFnAttribute::indexMatters(MStatus* s) const {
  return readFlag<bool>(*this, &AttributeFlags::indexMatters, s);
}

MString MFnAttribute::name(MStatus* ReturnStatus) const {
  Lock lock(host().mutex);
  const Attr* a = Access::fnAttr(*this);
  if (ReturnStatus) *ReturnStatus = a ? MS::kSuccess : MS::kInvalidParameter;
  return a ? MString(a->longName.c_str()) : MString();
}

MString MFnAttribute::shortName(MStatus* ReturnStatus) const {
  Lock lock(host().mutex);
  const Attr* a = Access::fnAttr(*this);
  if (ReturnStatus) *ReturnStatus = a ? MS::kSuccess : MS::kInvalidParameter;
  return a ? MString(a->shortName.c_str()) : MString();
}

#define GW_FLAG_SETTER(Method, field)                                                        \
  MStatus MFnAttribute::Method(bool state) {                                                 \
    return setFlag(*this, "MFnAttribute::" #Method, #Method, &AttributeFlags::field, state); \
  }
GW_FLAG_SETTER(setReadable, readable)
GW_FLAG_SETTER(setWritable, writable)
GW_FLAG_SETTER(setConnectable, connectable)
GW_FLAG_SETTER(setStorable, storable)
GW_FLAG_SETTER(setCached, cached)
GW_FLAG_SETTER(setArray, array)
GW_FLAG_SETTER(setIndexMatters, indexMatters)
GW_FLAG_SETTER(setKeyable, keyable)
GW_FLAG_SETTER(setChannelBox, channelBox)
GW_FLAG_SETTER(setHidden, hidden)
GW_FLAG_SETTER(setUsedAsColor, usedAsColor)
GW_FLAG_SETTER(setIndeterminant, indeterminant)
GW_FLAG_SETTER(setRenderSource, renderSource)
GW_FLAG_SETTER(setWorldSpace, worldSpace)
GW_FLAG_SETTER(setAffectsWorldSpace, affectsWorldSpace)
GW_FLAG_SETTER(setUsesArrayDataBuilder, usesArrayDataBuilder)
GW_FLAG_SETTER(setInternal, internal)
#undef GW_FLAG_SETTER

MStatus MFnAttribute::setDisconnectBehavior(DisconnectBehavior behavior) {
  return modify(*this, "MFnAttribute::setDisconnectBehavior",
                "setDisconnectBehavior(" + std::to_string(static_cast<int>(behavior)) + ")",
                [](Attr&) { return true; });
}

// ---- MFnNumericAttribute ------------------------------------------------------------------

MFnNumericAttribute::MFnNumericAttribute(MObject& object, MStatus* ReturnStatus) {
  const Attr* a = Access::attr(object);
  const bool ok = a && (a->kind == AttributeKind::kNumeric || a->kind == AttributeKind::kCompound ||
                        a->kind == AttributeKind::kAddress);
  if (ok) object_ = object;
  if (ReturnStatus) *ReturnStatus = ok ? MS::kSuccess : MS::kInvalidParameter;
}
MFnNumericAttribute::~MFnNumericAttribute() = default;

MObject MFnNumericAttribute::create(const MString& fullName, const MString& briefName,
                                    MFnNumericData::Type unitType, double defaultValue,
                                    MStatus* ReturnStatus) {
  return createAttr(*this, "MFnNumericAttribute::create", fullName, ReturnStatus, [&]() -> Attr* {
    if (fullName.length() == 0 || !isScalar(unitType) || unitType == MFnNumericData::kAddr)
      return nullptr;
    Attr& made = newAttr(fullName, briefName, AttributeKind::kNumeric, unitType);
    made.createDefault = defaultValue;
    made.defaults = {defaultValue};
    return &made;
  });
}

MObject MFnNumericAttribute::create(const MString& fullName, const MString& briefName,
                                    const MObject& child1, const MObject& child2,
                                    const MObject& child3, MStatus* ReturnStatus) {
  return createAttr(*this, "MFnNumericAttribute::create", fullName, ReturnStatus, [&]() -> Attr* {
    std::vector<Attr*> kids{Access::attr(child1), Access::attr(child2)};
    if (!child3.isNull()) kids.push_back(Access::attr(child3));
    bool ok = fullName.length() > 0;
    for (Attr* k : kids)
      ok = ok && adoptable(k) && k->kind == AttributeKind::kNumeric &&
           k->numericType == kids[0]->numericType;
    const MFnNumericData::Type type =
        ok ? compoundType(kids[0]->numericType, kids.size()) : MFnNumericData::kInvalid;
    if (!ok || type == MFnNumericData::kInvalid) return nullptr;
    Attr& made = newAttr(fullName, briefName, AttributeKind::kCompound, type);
    for (Attr* k : kids) {
      adopt(made, *k);
      made.defaults.push_back(k->defaults.empty() ? 0.0 : k->defaults[0]);
    }
    return &made;
  });
}

namespace {
MObject createTriple(MFnNumericAttribute& fn, const MString& fullName, const MString& briefName,
                     const char* suffixes[3], bool color, MStatus* ReturnStatus) {
  Lock lock(host().mutex);
  MStatus status;
  MObject kids[3];
  for (int k = 0; k < 3; ++k) {
    kids[k] = fn.create(fullName + suffixes[k], briefName + suffixes[k], MFnNumericData::kFloat,
                        0.0, &status);
    if (!status) {
      if (ReturnStatus) *ReturnStatus = status;
      return MObject();
    }
  }
  MObject parent = fn.create(fullName, briefName, kids[0], kids[1], kids[2], &status);
  if (status && color) Access::fnAttr(fn)->flags.usedAsColor = true;
  if (ReturnStatus) *ReturnStatus = status;
  return parent;
}
}  // namespace

MObject MFnNumericAttribute::createColor(const MString& fullName, const MString& briefName,
                                         MStatus* ReturnStatus) {
  const char* suffixes[3] = {"R", "G", "B"};
  return createTriple(*this, fullName, briefName, suffixes, true, ReturnStatus);
}

MObject MFnNumericAttribute::createPoint(const MString& fullName, const MString& briefName,
                                         MStatus* ReturnStatus) {
  const char* suffixes[3] = {"X", "Y", "Z"};
  return createTriple(*this, fullName, briefName, suffixes, false, ReturnStatus);
}

MObject MFnNumericAttribute::createAddr(const MString& fullName, const MString& briefName,
                                        void* defaultValue, MStatus* ReturnStatus) {
  return createAttr(
      *this, "MFnNumericAttribute::createAddr", fullName, ReturnStatus, [&]() -> Attr* {
        if (fullName.length() == 0) return nullptr;
        Attr& made = newAttr(fullName, briefName, AttributeKind::kAddress, MFnNumericData::kAddr);
        made.addressDefault = defaultValue;
        made.defaults = {0.0};
        return &made;
      });
}

MObject MFnNumericAttribute::child(unsigned int index, MStatus* ReturnStatus) const {
  Lock lock(host().mutex);
  const Attr* a = Access::fnAttr(*this);
  const bool ok = a && index < a->children.size();
  if (ReturnStatus) *ReturnStatus = ok ? MS::kSuccess : MS::kInvalidParameter;
  return ok ? Access::attrObject(a->child(index)) : MObject();
}

MFnNumericData::Type MFnNumericAttribute::unitType(MStatus* ReturnStatus) const {
  Lock lock(host().mutex);
  const Attr* a = Access::fnAttr(*this);
  if (ReturnStatus) *ReturnStatus = a ? MS::kSuccess : MS::kInvalidParameter;
  return a ? a->numericType : MFnNumericData::kInvalid;
}

namespace {
bool numeric(const Attr& a) {
  return a.kind == AttributeKind::kNumeric || a.kind == AttributeKind::kCompound;
}

// A limit setter (setMin, setMax, setSoftMin, setSoftMax) with its one, two
// or three values; the attribute keeps the first. The one-value form refuses
// a non-numeric attribute before storing anything, the compound forms store
// the first value and then report whether the attribute takes limits.
MStatus setLimit(MFnBase& fn, const char* function, const char* setter,
                 std::initializer_list<double> values, bool AttributeRecord::*has,
                 double AttributeRecord::*limit) {
  std::string call = std::string(setter) + "(";
  const char* separator = "";
  for (const double v : values) {
    call += separator + number(v);
    separator = " ";
  }
  call += ")";
  const bool single = values.size() == 1;
  const double first = *values.begin();
  return modify(fn, function, call, [&](Attr& a) {
    if (single && !numeric(a)) return false;
    a.*has = true;
    a.*limit = first;
    return numeric(a);
  });
}
}  // namespace

// The one-value limit setters, and the two- and three-value forms of setMin
// and setMax for compound attributes.
#define GW_LIMIT_SETTER(Name, Has, field)                                                    \
  MStatus MFnNumericAttribute::Name(double m) {                                              \
    return setLimit(*this, "MFnNumericAttribute::" #Name, #Name, {m}, &AttributeRecord::Has, \
                    &AttributeRecord::field);                                                \
  }
#define GW_COMPOUND_LIMIT_SETTERS(Name, Has, field)                                               \
  MStatus MFnNumericAttribute::Name(double m1, double m2) {                                       \
    return setLimit(*this, "MFnNumericAttribute::" #Name, #Name, {m1, m2}, &AttributeRecord::Has, \
                    &AttributeRecord::field);                                                     \
  }                                                                                               \
  MStatus MFnNumericAttribute::Name(double m1, double m2, double m3) {                            \
    return setLimit(*this, "MFnNumericAttribute::" #Name, #Name, {m1, m2, m3},                    \
                    &AttributeRecord::Has, &AttributeRecord::field);                              \
  }
GW_LIMIT_SETTER(setMin, hasMin, min)
GW_COMPOUND_LIMIT_SETTERS(setMin, hasMin, min)
GW_LIMIT_SETTER(setMax, hasMax, max)
GW_COMPOUND_LIMIT_SETTERS(setMax, hasMax, max)
GW_LIMIT_SETTER(setSoftMin, hasSoftMin, softMin)
GW_LIMIT_SETTER(setSoftMax, hasSoftMax, softMax)
#undef GW_LIMIT_SETTER
#undef GW_COMPOUND_LIMIT_SETTERS

#define GW_LIMIT_GETTERS(Has, Get, field, flag)                                 \
  bool MFnNumericAttribute::Has(MStatus* ReturnStatus) const {                  \
    Lock lock(host().mutex);                                                    \
    const Attr* a = Access::fnAttr(*this);                                      \
    if (ReturnStatus) *ReturnStatus = a ? MS::kSuccess : MS::kInvalidParameter; \
    return a && a->flag;                                                        \
  }                                                                             \
  MStatus MFnNumericAttribute::Get(double& value) const {                       \
    Lock lock(host().mutex);                                                    \
    const Attr* a = Access::fnAttr(*this);                                      \
    if (!a || !a->flag) return MS::kFailure;                                    \
    value = a->field;                                                           \
    return MS::kSuccess;                                                        \
  }
GW_LIMIT_GETTERS(hasMin, getMin, min, hasMin)
GW_LIMIT_GETTERS(hasMax, getMax, max, hasMax)
GW_LIMIT_GETTERS(hasSoftMin, getSoftMin, softMin, hasSoftMin)
GW_LIMIT_GETTERS(hasSoftMax, getSoftMax, softMax, hasSoftMax)
#undef GW_LIMIT_GETTERS

namespace {

// Sets a numeric default; a float compound's default is its children's.
MStatus setNumericDefault(MFnBase& fn, const char* tag, std::vector<double> values) {
  std::string call = std::string("setDefault(") + tag;
  for (double v : values) call += " " + number(v);
  call += ")";
  return modify(fn, "MFnNumericAttribute::setDefault", call, [&](Attr& a) {
    if (!numeric(a)) return false;
    if (a.kind == AttributeKind::kCompound) {
      if (values.size() != a.children.size()) return false;
      for (size_t k = 0; k < values.size(); ++k)
        const_cast<Attr*>(a.child(k))->defaults = {values[k]};
    } else if (values.size() != 1) {
      return false;
    }
    a.defaults = values;
    return true;
  });
}

}  // namespace

MStatus MFnNumericAttribute::setDefault(bool v) {
  Lock lock(host().mutex);
  std::string call = std::string("setDefault(bool ") + truth(v) + ")";
  return modify(*this, "MFnNumericAttribute::setDefault", call, [&](Attr& a) {
    if (a.kind != AttributeKind::kNumeric) return false;
    a.defaults = {v ? 1.0 : 0.0};
    return true;
  });
}
MStatus MFnNumericAttribute::setDefault(char v) {
  return setNumericDefault(*this, "char", {static_cast<double>(v)});
}
MStatus MFnNumericAttribute::setDefault(int v) {
  return setNumericDefault(*this, "int", {static_cast<double>(v)});
}
MStatus MFnNumericAttribute::setDefault(float v) {
  return setNumericDefault(*this, "float", {static_cast<double>(v)});
}
MStatus MFnNumericAttribute::setDefault(double v) {
  return setNumericDefault(*this, "double", {v});
}
MStatus MFnNumericAttribute::setDefault(int a, int b) {
  return setNumericDefault(*this, "int2", {static_cast<double>(a), static_cast<double>(b)});
}
MStatus MFnNumericAttribute::setDefault(int a, int b, int c) {
  return setNumericDefault(
      *this, "int3", {static_cast<double>(a), static_cast<double>(b), static_cast<double>(c)});
}
MStatus MFnNumericAttribute::setDefault(float a, float b) {
  return setNumericDefault(*this, "float2", {static_cast<double>(a), static_cast<double>(b)});
}
MStatus MFnNumericAttribute::setDefault(float a, float b, float c) {
  return setNumericDefault(
      *this, "float3", {static_cast<double>(a), static_cast<double>(b), static_cast<double>(c)});
}
MStatus MFnNumericAttribute::setDefault(double a, double b) {
  return setNumericDefault(*this, "double2", {a, b});
}
MStatus MFnNumericAttribute::setDefault(double a, double b, double c) {
  return setNumericDefault(*this, "double3", {a, b, c});
}
MStatus MFnNumericAttribute::setDefault(MInt64 v) {
  return setNumericDefault(*this, "int64", {static_cast<double>(v)});
}
MStatus MFnNumericAttribute::setDefault(double a, double b, double c, double d) {
  return setNumericDefault(*this, "double4", {a, b, c, d});
}
MStatus MFnNumericAttribute::setDefault(void* v) {
  return modify(*this, "MFnNumericAttribute::setDefault", "setDefault(addr)", [&](Attr& a) {
    if (a.kind != AttributeKind::kAddress) return false;
    a.addressDefault = v;
    return true;
  });
}

namespace {
template <class T>
MStatus getFirstDefault(const MFnBase& fn, T& value) {
  Lock lock(host().mutex);
  const Attr* a = Access::fnAttr(fn);
  if (!a || a->defaults.empty()) return MS::kFailure;
  value = static_cast<T>(a->defaults[0]);
  return MS::kSuccess;
}
}  // namespace

MStatus MFnNumericAttribute::getDefault(bool& v) {
  double d = 0.0;
  const MStatus s = getFirstDefault(*this, d);
  v = d != 0.0;
  return s;
}
MStatus MFnNumericAttribute::getDefault(int& v) { return getFirstDefault(*this, v); }
MStatus MFnNumericAttribute::getDefault(float& v) { return getFirstDefault(*this, v); }
MStatus MFnNumericAttribute::getDefault(double& v) { return getFirstDefault(*this, v); }
MStatus MFnNumericAttribute::getDefault(float& a, float& b, float& c) {
  Lock lock(host().mutex);
  const Attr* at = Access::fnAttr(*this);
  if (!at || at->defaults.size() != 3) return MS::kFailure;
  a = static_cast<float>(at->defaults[0]);
  b = static_cast<float>(at->defaults[1]);
  c = static_cast<float>(at->defaults[2]);
  return MS::kSuccess;
}
