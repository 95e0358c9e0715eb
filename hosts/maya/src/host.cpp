// The stand-in host's state, registration, MEL, tracing and the small API
// classes.

// The host is not a plug-in: it must not define (and export) the plug-in's
// MApiVersion, which would interpose on every loaded plug-in's own.
#define MNoVersionString
#include "host.h"

#include <maya/MFnPlugin.h>
#include <maya/MGlobal.h>
#include <maya/MRenderUtil.h>

#include <cstddef>
#include <cstdio>

namespace mayahost {
namespace detail {

Host& host() {
  // Never destroyed: plug-ins may still hold attribute objects at exit.
  static Host* const instance = new Host;
  return *instance;
}

Outcome enterCall(const char* function, const std::string& subject) {
  Host& h = host();
  const unsigned occurrence = ++h.callCounts[function];
  Outcome outcome;
  for (const Injection& injection : h.injections) {
    if (injection.function == function &&
        (injection.occurrence == 0 || injection.occurrence == occurrence)) {
      outcome.status = MStatus(injection.code);
      outcome.refuse = injection.mode == FailMode::kRefuse;
      break;
    }
  }
  outcome.record = h.calls.size();
  h.calls.push_back(CallRecord{function, subject, outcome.status});
  return outcome;
}

void finishCall(const Outcome& outcome, const MStatus& result) {
  host().calls[outcome.record].result = result;
}

namespace {

bool isFloatCompound(const Attr& a) {
  return a.kind == AttributeKind::kCompound && a.numericType == MFnNumericData::k3Float;
}

void layoutAttr(NodeTypeRec& type, Attr& a, unsigned& counter, const Attr* array) {
  a.arrayAttr = array;
  if (a.flags.array && array == nullptr) {
    a.arrayAttr = nullptr;
    a.arrayIndex = static_cast<int>(type.arrays.size());
    type.arrays.push_back(&a);
    unsigned elementCounter = 0;
    for (const AttributeRecord* c : a.children)
      layoutAttr(type, *const_cast<Attr*>(static_cast<const Attr*>(c)), elementCounter, &a);
    a.elementSlots = elementCounter;
    return;
  }
  if (isFloatCompound(a)) {
    a.slot = static_cast<int>(counter++);
    for (size_t k = 0; k < a.children.size(); ++k) {
      Attr& c = *const_cast<Attr*>(a.child(k));
      c.slot = a.slot;
      c.component = static_cast<int>(k);
      c.arrayAttr = array;
    }
    return;
  }
  if (!a.children.empty()) {
    for (const AttributeRecord* c : a.children)
      layoutAttr(type, *const_cast<Attr*>(static_cast<const Attr*>(c)), counter, array);
    return;
  }
  a.slot = static_cast<int>(counter++);
}

void initValue(ValueSlot& slot, const Attr& a) {
  const double def = a.defaults.empty() ? 0.0 : a.defaults[0];
  if (a.component >= 0) {
    slot.vec[static_cast<unsigned>(a.component)] = static_cast<float>(def);
    return;
  }
  switch (a.numericType) {
    case MFnNumericData::kBoolean:
      slot.b = def != 0.0;
      break;
    case MFnNumericData::kChar:
      slot.c = static_cast<char>(def);
      break;
    case MFnNumericData::kByte:
      slot.uc = static_cast<unsigned char>(def);
      break;
    case MFnNumericData::kShort:
      slot.s = static_cast<short>(def);
      break;
    case MFnNumericData::kInt:
      slot.i = static_cast<int>(def);
      break;
    case MFnNumericData::kFloat:
      slot.f = static_cast<float>(def);
      break;
    case MFnNumericData::kDouble:
      slot.d = def;
      break;
    case MFnNumericData::kAddr:
      slot.addr = a.addressDefault;
      break;
    default:
      break;
  }
}

// The children's own defaults, then the compound's float children.
void initTree(std::vector<ValueSlot>& slots, const Attr& a) {
  if (a.flags.array && a.arrayAttr == nullptr) return;  // elements start empty
  if (a.slot >= 0) initValue(slots[static_cast<size_t>(a.slot)], a);
  for (size_t k = 0; k < a.children.size(); ++k) initTree(slots, *a.child(k));
}

// Where in its slot a handle of `a` finds what its as*() reads: the
// component of a float compound (as MFloatVector::operator[] picks it), or
// the member of the whole value's type. Types no accessor reads get 0.
int readOffsetOf(const Attr& a) {
  if (a.component >= 0) {
    const size_t xyz = a.component == 0   ? offsetof(MFloatVector, x)
                       : a.component == 1 ? offsetof(MFloatVector, y)
                                          : offsetof(MFloatVector, z);
    return static_cast<int>(offsetof(ValueSlot, vec) + xyz);
  }
  struct Member {
    MFnNumericData::Type type;
    size_t offset;
  };
  static constexpr Member kMembers[] = {
      {MFnNumericData::kBoolean, offsetof(ValueSlot, b)},
      {MFnNumericData::kChar, offsetof(ValueSlot, c)},
      {MFnNumericData::kByte, offsetof(ValueSlot, uc)},
      {MFnNumericData::kShort, offsetof(ValueSlot, s)},
      {MFnNumericData::kInt, offsetof(ValueSlot, i)},
      {MFnNumericData::kFloat, offsetof(ValueSlot, f)},
      {MFnNumericData::kDouble, offsetof(ValueSlot, d)},
      {MFnNumericData::k3Float, offsetof(ValueSlot, vec)},
      {MFnNumericData::kAddr, offsetof(ValueSlot, addr)},
  };
  for (const Member& m : kMembers) {
    if (m.type == a.wholeType) return static_cast<int>(m.offset);
  }
  return 0;
}

}  // namespace

void layoutType(NodeTypeRec& type) {
  unsigned counter = 0;
  type.arrays.clear();
  for (const AttributeRecord* r : type.created) {
    Attr& a = *const_cast<Attr*>(static_cast<const Attr*>(r));
    if (a.parent == nullptr && a.present) layoutAttr(type, a, counter, nullptr);
  }
  type.slotCount = counter;
  for (const AttributeRecord* r : type.created) {
    Attr& a = *const_cast<Attr*>(static_cast<const Attr*>(r));
    const bool direct = a.present && a.arrayAttr == nullptr && a.arrayIndex < 0 && a.slot >= 0;
    a.valueSlot = direct ? a.slot : -1;
    a.directOwner = direct ? a.owner : nullptr;
    a.wholeType = a.present && a.component < 0 ? a.numericType : MFnNumericData::kInvalid;
    a.readType = a.component >= 0 ? MFnNumericData::kFloat : a.wholeType;
    a.readOffset = readOffsetOf(a);
    a.valueByte = direct ? a.slot * static_cast<int>(sizeof(ValueSlot)) + a.readOffset : -1;
  }
  type.lightArray = -1;
  for (size_t k = 0; k < type.arrays.size(); ++k) {
    const Attr& array = *type.arrays[k];
    if (array.kind == AttributeKind::kLightData &&
        array.children.size() == NodeTypeRec::kLightChildren) {
      type.lightArray = static_cast<int>(k);
      for (int c = 0; c < NodeTypeRec::kLightChildren; ++c)
        type.lightSlots[c] = array.child(static_cast<size_t>(c))->slot;
      break;
    }
  }
}

void initStorage(Storage& storage, const NodeTypeRec& type) {
  storage.type = &type;
  storage.slots.assign(type.slotCount, ValueSlot{});
  storage.arrays.clear();
  for (const Attr* array : type.arrays) storage.arrays.push_back(ArrayStore{array, array, {}});
  for (const AttributeRecord* r : type.created) {
    const Attr& a = *static_cast<const Attr*>(r);
    if (a.parent == nullptr && a.present) initTree(storage.slots, a);
  }
}

void initElement(ElementStore& element, const Attr& array, unsigned logicalIndex) {
  element.logicalIndex = logicalIndex;
  element.slots.assign(array.elementSlots, ValueSlot{});
  for (size_t k = 0; k < array.children.size(); ++k) initTree(element.slots, *array.child(k));
  // A light-data array's own default decides what a new light holds.
  if (array.kind == AttributeKind::kLightData && array.defaults.size() == 12 &&
      array.children.size() == 8) {
    const std::vector<double>& d = array.defaults;
    auto slotOf = [&](size_t k) -> ValueSlot& {
      return element.slots[static_cast<size_t>(array.child(k)->slot)];
    };
    if (array.child(0)->slot >= 0)
      slotOf(0).vec = MFloatVector(static_cast<float>(d[0]), static_cast<float>(d[1]),
                                   static_cast<float>(d[2]));
    if (array.child(1)->slot >= 0)
      slotOf(1).vec = MFloatVector(static_cast<float>(d[3]), static_cast<float>(d[4]),
                                   static_cast<float>(d[5]));
    if (array.child(2)->slot >= 0) slotOf(2).b = d[6] != 0.0;
    if (array.child(3)->slot >= 0) slotOf(3).b = d[7] != 0.0;
    if (array.child(4)->slot >= 0) slotOf(4).b = d[8] != 0.0;
    if (array.child(5)->slot >= 0) slotOf(5).f = static_cast<float>(d[9]);
    if (array.child(6)->slot >= 0) slotOf(6).f = static_cast<float>(d[10]);
    if (array.child(7)->slot >= 0) slotOf(7).addr = nullptr;
  }
}

}  // namespace detail
}  // namespace mayahost

using mayahost::detail::Access;
using mayahost::detail::Attr;
using mayahost::detail::host;

// ---- MStatus ------------------------------------------------------------------

MString MStatus::errorString() const {
  static const char* const names[] = {"kSuccess",          "kFailure",        "kInsufficientMemory",
                                      "kInvalidParameter", "kLicenseFailure", "kUnknownParameter",
                                      "kNotImplemented",   "kNotFound",       "kEndOfFile"};
  const unsigned code = static_cast<unsigned>(code_);
  return MString(code < sizeof names / sizeof names[0] ? names[code] : "kUnknown");
}

void MStatus::perror(const char* msg) const {
  std::fprintf(stderr, "%s: %s\n", msg ? msg : "", errorString().asChar());
  std::fflush(stderr);
}

void MStatus::perror(const MString& msg) const { perror(msg.asChar()); }

std::ostream& operator<<(std::ostream& os, MStatus& s) { return os << s.errorString(); }

// ---- MObject, MFloatVector ------------------------------------------------------

MObject MObject::kNullObj;

bool MObject::hasFn(MFn::Type type) const {
  if (type_ == type) return true;
  if (type == MFn::kBase) return ptr_ != nullptr;
  if (type == MFn::kAttribute)
    return type_ == MFn::kNumericAttribute || type_ == MFn::kCompoundAttribute ||
           type_ == MFn::kLightDataAttribute;
  return false;
}

const char* MObject::apiTypeStr() const {
  struct Named {
    MFn::Type type;
    const char* name;
  };
  static constexpr Named kNames[] = {
      {MFn::kNumericAttribute, "kNumericAttribute"},
      {MFn::kCompoundAttribute, "kCompoundAttribute"},
      {MFn::kLightDataAttribute, "kLightDataAttribute"},
      {MFn::kPluginDependNode, "kPluginDependNode"},
      {MFn::kPlugin, "kPlugin"},
  };
  for (const Named& n : kNames) {
    if (n.type == type_) return n.name;
  }
  return "kInvalid";
}

const MFloatVector MFloatVector::zero(0.0f, 0.0f, 0.0f);
const MFloatVector MFloatVector::one(1.0f, 1.0f, 1.0f);
const MFloatVector MFloatVector::xAxis(1.0f, 0.0f, 0.0f);
const MFloatVector MFloatVector::yAxis(0.0f, 1.0f, 0.0f);
const MFloatVector MFloatVector::zAxis(0.0f, 0.0f, 1.0f);
const MFloatVector MFloatVector::xNegAxis(-1.0f, 0.0f, 0.0f);
const MFloatVector MFloatVector::yNegAxis(0.0f, -1.0f, 0.0f);
const MFloatVector MFloatVector::zNegAxis(0.0f, 0.0f, -1.0f);

// ---- MFnBase ---------------------------------------------------------------------

MFnBase::~MFnBase() = default;

MObject MFnBase::object(MStatus* ReturnStatus) const {
  if (ReturnStatus) *ReturnStatus = object_.isNull() ? MS::kInvalidParameter : MS::kSuccess;
  return object_;
}

MStatus MFnBase::setObject(MObject& object) {
  object_ = object;
  return MS::kSuccess;
}

// ---- MPxNode ---------------------------------------------------------------------

MObject MPxNode::message;
MObject MPxNode::isHistoricallyInteresting;
MObject MPxNode::caching;
MObject MPxNode::state;

MPxNode::MPxNode() : instance_(nullptr), mpSafe_(false) {}
MPxNode::~MPxNode() = default;
void MPxNode::postConstructor() {}
MStatus MPxNode::compute(const MPlug&, MDataBlock&) { return MS::kUnknownParameter; }
MPxNode::Type MPxNode::type() const { return kDependNode; }
bool MPxNode::isAbstractClass() const { return false; }
MPxNode::SchedulingType MPxNode::schedulingType() const { return kDefaultScheduling; }
MObject MPxNode::thisMObject() const { return Access::object(instance_, MFn::kPluginDependNode); }
void MPxNode::setMPSafe(bool flag) { mpSafe_ = flag; }

MStatus MPxNode::addAttribute(const MObject& attr) {
  auto& h = host();
  std::lock_guard<std::recursive_mutex> lock(h.mutex);
  Attr* a = Access::attr(attr);
  auto outcome = mayahost::detail::enterCall("MPxNode::addAttribute", a ? a->longName : "");
  MStatus result = outcome.status;
  if (!outcome.refuse) {
    if (!h.registering) {
      result = MS::kFailure;  // only during a type's initialize
    } else if (!a || a->owner != h.registering) {
      result = MS::kInvalidParameter;
    } else if (a->addedDirectly) {
      result = MS::kFailure;  // already added
    } else {
      a->addedDirectly = true;
      std::vector<Attr*> pending{a};
      while (!pending.empty()) {
        Attr* p = pending.back();
        pending.pop_back();
        p->present = true;
        for (const mayahost::AttributeRecord* c : p->children)
          pending.push_back(const_cast<Attr*>(static_cast<const Attr*>(c)));
      }
      h.registering->added.push_back(a);
    }
  }
  mayahost::detail::finishCall(outcome, result);
  return result;
}

MStatus MPxNode::attributeAffects(const MObject& whenChanges, const MObject& isAffected) {
  auto& h = host();
  std::lock_guard<std::recursive_mutex> lock(h.mutex);
  Attr* in = Access::attr(whenChanges);
  Attr* out = Access::attr(isAffected);
  auto outcome = mayahost::detail::enterCall(
      "MPxNode::attributeAffects",
      (in ? in->longName : std::string()) + " -> " + (out ? out->longName : std::string()));
  MStatus result = outcome.status;
  if (!outcome.refuse) {
    if (!h.registering) {
      result = MS::kFailure;
    } else if (!in || !out || in->owner != h.registering || out->owner != h.registering ||
               !in->present || !out->present) {
      result = MS::kInvalidParameter;  // both must belong to the type and be added
    } else {
      h.registering->affects.emplace_back(in, out);
    }
  }
  mayahost::detail::finishCall(outcome, result);
  return result;
}

MStatus MPxNode::inheritAttributesFrom(const MString&) { return MS::kNotImplemented; }

// ---- MFnPlugin ---------------------------------------------------------------------

MFnPlugin::MFnPlugin() = default;

MFnPlugin::MFnPlugin(MObject& object, const char* vendor, const char* version,
                     const char* requiredApiVersion, MStatus* ReturnStatus) {
  auto& h = host();
  std::lock_guard<std::recursive_mutex> lock(h.mutex);
  auto outcome = mayahost::detail::enterCall("MFnPlugin::MFnPlugin", vendor ? vendor : "");
  MStatus result = outcome.status;
  if (!outcome.refuse) {
    if (object.apiType() != MFn::kPlugin) {
      result = MS::kInvalidParameter;
    } else {
      object_ = object;
      auto* rec = static_cast<mayahost::detail::PluginRec*>(Access::pointer(object));
      rec->vendor = vendor ? vendor : "";
      rec->version = version ? version : "";
      rec->requiredApiVersion = requiredApiVersion ? requiredApiVersion : "";
    }
  }
  mayahost::detail::finishCall(outcome, result);
  if (ReturnStatus) *ReturnStatus = result;
}

MFnPlugin::~MFnPlugin() = default;

MString MFnPlugin::vendor(MStatus* ReturnStatus) const {
  auto* rec = static_cast<mayahost::detail::PluginRec*>(Access::pointer(object_));
  if (ReturnStatus) *ReturnStatus = rec ? MS::kSuccess : MS::kFailure;
  return rec ? MString(rec->vendor.c_str()) : MString();
}

MString MFnPlugin::version(MStatus* ReturnStatus) const {
  auto* rec = static_cast<mayahost::detail::PluginRec*>(Access::pointer(object_));
  if (ReturnStatus) *ReturnStatus = rec ? MS::kSuccess : MS::kFailure;
  return rec ? MString(rec->version.c_str()) : MString();
}

MString MFnPlugin::apiVersion(MStatus* ReturnStatus) const {
  if (ReturnStatus) *ReturnStatus = MS::kSuccess;
  return MString(MAYA_STRINGIFY(MAYA_API_VERSION));
}

MStatus MFnPlugin::registerNode(const MString& typeName, const MTypeId& typeId,
                                MCreatorFunction creatorFunction, MInitializeFunction initFunction,
                                MPxNode::Type type, const MString* classification) {
  auto& h = host();
  std::lock_guard<std::recursive_mutex> lock(h.mutex);
  auto outcome = mayahost::detail::enterCall("MFnPlugin::registerNode", typeName.asChar());
  h.types.emplace_back();
  mayahost::detail::NodeTypeRec& rec = h.types.back();
  rec.name = typeName.asChar();
  rec.id = typeId.id();
  rec.type = type;
  rec.hasClassification = classification != nullptr;
  if (classification) rec.classification = classification->asChar();
  rec.creator = creatorFunction;
  rec.initialize = initFunction;
  rec.plugin = static_cast<mayahost::detail::PluginRec*>(Access::pointer(object_));
  MStatus result = outcome.status;
  if (!outcome.refuse) {
    bool clash = false;
    for (const auto& t : h.types)
      if (&t != &rec && t.registered && (t.name == rec.name || t.id == rec.id)) clash = true;
    if (object_.apiType() != MFn::kPlugin) {
      result = MS::kInvalidParameter;  // not made on the plug-in's object
    } else if (clash || rec.name.empty()) {
      result = MS::kFailure;
    } else if (!creatorFunction || !initFunction) {
      result = MS::kInvalidParameter;
    } else {
      // Maya calls the type's initialize during registration; a failed
      // initialize fails the registration.
      h.registering = &rec;
      rec.initializeStatus = initFunction();
      h.registering = nullptr;
      if (!rec.initializeStatus) {
        result = MS::kFailure;
      } else {
        mayahost::detail::layoutType(rec);
        rec.registered = true;
      }
    }
  }
  rec.registrationStatus = result;
  mayahost::detail::finishCall(outcome, result);
  return result;
}

MStatus MFnPlugin::deregisterNode(const MTypeId& typeId) {
  auto& h = host();
  std::lock_guard<std::recursive_mutex> lock(h.mutex);
  char subject[32];
  std::snprintf(subject, sizeof subject, "0x%x", typeId.id());
  auto outcome = mayahost::detail::enterCall("MFnPlugin::deregisterNode", subject);
  MStatus result = outcome.status;
  if (!outcome.refuse) {
    mayahost::detail::NodeTypeRec* found = nullptr;
    for (auto& t : h.types)
      if (t.registered && t.id == typeId.id()) found = &t;
    if (!found) {
      result = MS::kFailure;
    } else if (found->liveNodes > 0) {
      result = MS::kFailure;  // nodes of the type still exist
    } else {
      found->registered = false;
    }
  }
  mayahost::detail::finishCall(outcome, result);
  return result;
}

// ---- MGlobal ------------------------------------------------------------------------

namespace {

// The one MEL idiom the host understands: refresh the Create Render Node window
// for a classification when that window exists.
void evaluateMel(const std::string& command) {
  auto& h = host();
  const std::string condition = "if( `window -exists createRenderNodeWindow` )";
  const std::string call = "{refreshCreateRenderNodeWindow(\"";
  if (command.compare(0, condition.size(), condition) != 0) return;
  const size_t open = command.find(call, condition.size());
  if (open == std::string::npos) return;
  const size_t start = open + call.size();
  const size_t end = command.find("\");}", start);
  if (end == std::string::npos) return;
  if (h.windowOpen) h.windowRefreshes.push_back(command.substr(start, end - start));
}

}  // namespace

MStatus MGlobal::executeCommand(const MString& command, bool displayEnabled, bool undoEnabled) {
  auto& h = host();
  std::lock_guard<std::recursive_mutex> lock(h.mutex);
  auto outcome = mayahost::detail::enterCall("MGlobal::executeCommand", command.asChar());
  MStatus result = outcome.status;
  if (!outcome.refuse) evaluateMel(command.asChar());
  h.commands.push_back(
      mayahost::CommandRecord{command.asChar(), displayEnabled, undoEnabled, result});
  mayahost::detail::finishCall(outcome, result);
  return result;
}

MStatus MGlobal::executeCommand(const MString& command, int& result, bool displayEnabled,
                                bool undoEnabled) {
  result = 0;
  return executeCommand(command, displayEnabled, undoEnabled);
}

MStatus MGlobal::executeCommand(const MString& command, double& result, bool displayEnabled,
                                bool undoEnabled) {
  result = 0.0;
  return executeCommand(command, displayEnabled, undoEnabled);
}

MStatus MGlobal::executeCommand(const MString& command, MString& result, bool displayEnabled,
                                bool undoEnabled) {
  result.clear();
  return executeCommand(command, displayEnabled, undoEnabled);
}

void MGlobal::displayInfo(const MString& text) { std::fprintf(stderr, "%s\n", text.asChar()); }
void MGlobal::displayWarning(const MString& text) {
  std::fprintf(stderr, "Warning: %s\n", text.asChar());
}
void MGlobal::displayError(const MString& text) {
  std::fprintf(stderr, "Error: %s\n", text.asChar());
}

// ---- MRenderUtil ----------------------------------------------------------------------

MStatus MRenderUtil::raytrace(const MFloatVector& rayOrigin, const MFloatVector& rayDirection,
                              const void* objectId, const void* raySampler, const short rayDepth,
                              MFloatVector& resultColor, MFloatVector& resultTransparency,
                              const bool isReflectedRays) {
  // No lock: the binding is immutable once published.
  const mayahost::detail::TracerBinding* binding = host().tracer.load(std::memory_order_acquire);
  if (!binding || !binding->tracer) return MS::kFailure;
  mayahost::TraceCall call;
  call.origin = rayOrigin;
  call.direction = rayDirection;
  call.objectId = objectId;
  call.raySampler = raySampler;
  call.rayDepth = rayDepth;
  call.reflected = isReflectedRays;
  return binding->tracer(binding->user, call, resultColor, resultTransparency);
}
