// What every attribute function set of the stand-in host does around a
// call: the log entry, injected failures, the record of the call on the
// attribute, making an attribute and handing it to the function set.
// Private to the host library (attributes.cpp and the function sets kept in
// files of their own).
#pragma once

#include <maya/MFnBase.h>
#include <maya/MFnNumericData.h>
#include <maya/MString.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "host.h"

namespace mayahost::detail::attribute_calls {

using Lock = std::lock_guard<std::recursive_mutex>;

inline std::string number(double v) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%g", v);
  return buffer;
}

inline const char* truth(bool v) { return v ? "true" : "false"; }

// Runs a setter on the function set's attribute: logs it, honours injected
// failures, refuses without an attribute, records the call on the attribute.
template <class Apply>
MStatus modify(MFnBase& fn, const char* function, const std::string& call, Apply apply) {
  Lock lock(host().mutex);
  Attr* a = Access::fnAttr(fn);
  auto outcome = enterCall(function, a ? a->longName : std::string());
  MStatus result = outcome.status;
  if (!outcome.refuse) {
    if (!a) {
      result = MS::kInvalidParameter;
    } else if (!apply(*a)) {
      result = MS::kInvalidParameter;
    } else {
      a->calls.push_back(call);
    }
  }
  finishCall(outcome, result);
  return result;
}

inline Attr& newAttr(const MString& fullName, const MString& briefName, AttributeKind kind,
                     MFnNumericData::Type type) {
  auto& h = host();
  h.attrs.emplace_back();
  Attr& a = h.attrs.back();
  a.longName = fullName.asChar();
  a.shortName = briefName.asChar();
  a.kind = kind;
  a.numericType = type;
  a.owner = h.registering;
  if (h.registering) h.registering->created.push_back(&a);
  return a;
}

// A child may belong to one parent only and must not be an array.
inline bool adoptable(const Attr* c) { return c && c->parent == nullptr && !c->flags.array; }

// Makes `child` the next child of `parent`.
inline void adopt(Attr& parent, Attr& child) {
  child.parent = &parent;
  child.parentView = &parent;
  parent.children.push_back(&child);
}

// Runs a create call: logs it, honours injected failures, makes the
// attribute (`make` returns null when the arguments are refused), reports
// the status and hands the new attribute to the function set.
template <class Make>
MObject createAttr(MFnBase& fn, const char* function, const MString& fullName,
                   MStatus* ReturnStatus, Make make) {
  Lock lock(host().mutex);
  auto outcome = enterCall(function, fullName.asChar());
  MStatus result = outcome.status;
  Attr* made = nullptr;
  if (!outcome.refuse) {
    made = make();
    if (!made) result = MS::kInvalidParameter;
  }
  finishCall(outcome, result);
  if (ReturnStatus) *ReturnStatus = result;
  const MObject object = Access::attrObject(made);
  Access::setFnObject(fn, object);
  return object;
}

}  // namespace mayahost::detail::attribute_calls
