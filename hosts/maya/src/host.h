// The stand-in host's own state, shared by the API classes and the driver.
#pragma once

#include <maya/MDataBlock.h>
#include <maya/MFloatVector.h>
#include <maya/MFnBase.h>
#include <maya/MObject.h>
#include <maya/MPlug.h>
#include <maya/MPxNode.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "mayahost.h"

namespace mayahost {
namespace detail {

struct NodeTypeRec;

// An attribute: its record, and the view of it that the headers' inline data
// access reads (where its value lives; see AttrView). An attribute object
// and a plug point at the view; Access converts between the two.
struct Attr : AttrView, AttributeRecord {
  bool present = false;  // added, directly or as a descendant
  bool addedDirectly = false;
  // For a value inside an array element: the array.
  const Attr* arrayAttr = nullptr;
  const Attr* parentAttr() const { return static_cast<const Attr*>(parent); }
  const Attr* child(size_t i) const { return static_cast<const Attr*>(children[i]); }
};

struct NodeTypeRec : NodeTypeRecord {
  MCreatorFunction creator = nullptr;
  MInitializeFunction initialize = nullptr;
  PluginRec* plugin = nullptr;
  unsigned slotCount = 0;
  std::vector<const Attr*> arrays;
  unsigned liveNodes = 0;
  // The first light-data array with the renderer's eight children, which
  // the renderer's light connections fill: its place among the arrays (or
  // -1) and its children's slots in an element, found when laid out.
  static constexpr int kLightChildren = 8;
  int lightArray = -1;
  int lightSlots[kLightChildren] = {-1, -1, -1, -1, -1, -1, -1, -1};
};

struct PluginRec : PluginRecord {};

// ElementStore and ArrayStore, which the inline light loop reads, are in
// <maya/MArrayDataHandle.h>.

struct Storage {
  const NodeTypeRec* type = nullptr;
  std::vector<ValueSlot> slots;
  std::vector<ArrayStore> arrays;
};

inline BlockContext contextOf(Storage* s) {
  return BlockContext(s, s->type, s->slots.data(), s->arrays.data());
}

struct Injection {
  std::string function;
  unsigned occurrence = 0;
  MStatus::MStatusCode code = MStatus::kFailure;
  FailMode mode = FailMode::kRefuse;
};

struct TracerBinding {
  Tracer tracer = nullptr;
  void* user = nullptr;
};

struct Host {
  std::recursive_mutex mutex;
  std::deque<Attr> attrs;
  std::deque<NodeTypeRec> types;
  std::deque<PluginRec> plugins;
  NodeTypeRec* registering = nullptr;
  std::vector<CallRecord> calls;
  std::map<std::string, unsigned> callCounts;
  std::vector<Injection> injections;
  std::vector<CommandRecord> commands;
  bool windowOpen = false;
  std::vector<std::string> windowRefreshes;
  std::deque<TracerBinding> tracerBindings;
  std::atomic<const TracerBinding*> tracer{nullptr};
};

Host& host();

// What an API call on the registration side should do.
struct Outcome {
  MStatus status;       // what to return
  bool refuse = false;  // do nothing
  size_t record = 0;    // index into host().calls
};
// Logs the call and applies any injected failure. Caller holds the lock.
Outcome enterCall(const char* function, const std::string& subject);
// Stores the final status of a logged call.
void finishCall(const Outcome& outcome, const MStatus& result);

struct Access {
  static Attr* attr(const MObject& object) {
    switch (object.type_) {
      case MFn::kNumericAttribute:
      case MFn::kCompoundAttribute:
      case MFn::kLightDataAttribute:
      case MFn::kAttribute:
        return static_cast<Attr*>(static_cast<AttrView*>(object.ptr_));
      default:
        return nullptr;
    }
  }
  // The record of a view the headers handed over; kNoAttribute, which
  // stands for "none" there, is null here.
  static Attr* fromView(const AttrView* view) {
    if (view && view->none) return nullptr;
    return static_cast<Attr*>(const_cast<AttrView*>(view));
  }
  static MObject object(void* ptr, MFn::Type type) {
    MObject o;
    o.ptr_ = ptr;
    o.type_ = ptr ? type : MFn::kInvalid;
    if (attr(o)) o.attr_ = static_cast<const AttrView*>(ptr);
    return o;
  }
  static MObject attrObject(const Attr* a) {
    if (!a) return MObject();
    MFn::Type type = MFn::kNumericAttribute;
    if (a->kind == AttributeKind::kCompound) type = MFn::kCompoundAttribute;
    if (a->kind == AttributeKind::kLightData) type = MFn::kLightDataAttribute;
    return object(static_cast<AttrView*>(const_cast<Attr*>(a)), type);
  }
  static void* pointer(const MObject& object) { return object.ptr_; }
  static Attr* fnAttr(const MFnBase& fn) { return attr(fn.object_); }
  static void setFnObject(MFnBase& fn, const MObject& object) { fn.object_ = object; }
  static MDataBlock dataBlock(BlockContext* context) { return MDataBlock(context); }
  static MPlug plug(void* node, const Attr* attr) {
    MPlug p;
    p.node_ = node;
    p.attr_ = attr;
    return p;
  }
  static const Attr* plugAttr(const MPlug& p) { return fromView(p.attr_); }
  // A plug's attribute as the headers' inline paths take it: never null.
  static const AttrView* plugView(const MPlug& p) {
    return p.attr_ ? p.attr_ : &kNoAttribute;
  }
  // A handle of the value of `attr` (a laid-out attribute) in `slot`.
  static MDataHandle valueHandle(ValueSlot* slot, const AttrView* attr, BlockContext* context) {
    return MDataHandle(slot, attr, context, nullptr);
  }
  // A handle without a value: of an array, or an invalid one.
  static MDataHandle emptyHandle(const AttrView* attr, BlockContext* context, ArrayStore* array) {
    return MDataHandle(attr, context, nullptr, array);
  }
  static MArrayDataHandle arrayHandle(ArrayStore* array, BlockContext* context) {
    return MArrayDataHandle(array, context);
  }
  static void bindNode(MPxNode& node, void* instance) { node.instance_ = instance; }
  static bool mpSafe(const MPxNode& node) { return node.mpSafe_; }
  static ArrayStore* handleArray(const MDataHandle& h) { return h.array_; }
  static BlockContext* handleContext(const MDataHandle& h) { return h.context_; }
};

// Sets up a storage for a node of `type` with every value at its default.
void initStorage(Storage& storage, const NodeTypeRec& type);
void initElement(ElementStore& element, const Attr& array, unsigned logicalIndex);
// Lays out the values of a freshly registered type. Caller holds the lock.
void layoutType(NodeTypeRec& type);

}  // namespace detail
}  // namespace mayahost
