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

struct Attr : AttributeRecord {
  NodeTypeRec* owner = nullptr;  // the type being registered when it was created
  bool present = false;          // added, directly or as a descendant
  bool addedDirectly = false;
  // Where its value lives: a slot of the node's storage, or of an element of
  // an array (arrayAttr). Children of a float compound share their parent's
  // slot and pick a component.
  int slot = -1;
  int component = -1;
  const Attr* arrayAttr = nullptr;
  int arrayIndex = -1;        // for an array attribute: its ArrayStore
  unsigned elementSlots = 0;  // for an array attribute: slots per element
  // Set once the type is laid out, for the data-block calls of compute: the
  // slot of a value read straight from the node's storage (not an array,
  // not inside one), else -1; and the numeric type that the handle's as*()
  // accepts whole (kInvalid for a component of a float compound).
  int valueSlot = -1;
  MFnNumericData::Type wholeType = MFnNumericData::kInvalid;
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
};

struct PluginRec : PluginRecord {};

// One value of any kind; a float compound keeps its three children in vec.
struct ValueSlot {
  MFloatVector vec;
  double d = 0.0;
  void* addr = nullptr;
  float f = 0.0f;
  int i = 0;
  short s = 0;
  bool b = false;
  char c = 0;
  unsigned char uc = 0;
};

struct ElementStore {
  unsigned logicalIndex = 0;
  std::vector<ValueSlot> slots;
};

struct ArrayStore {
  const Attr* attr = nullptr;
  std::vector<ElementStore> elements;
};

struct Storage {
  const NodeTypeRec* type = nullptr;
  std::vector<ValueSlot> slots;
  std::vector<ArrayStore> arrays;
};

// Per-evaluation bookkeeping; lives on the evaluating thread's stack.
struct BlockContext {
  static constexpr unsigned kMaxCleaned = 16;
  explicit BlockContext(Storage* s) : storage(s), type(s->type), slots(s->slots.data()) {}
  Storage* storage;
  const NodeTypeRec* type;  // the storage's, kept at hand for every inputValue
  ValueSlot* slots;
  // Only the first cleanedCount entries are meaningful.
  const Attr* cleaned[kMaxCleaned];
  unsigned cleanedCount = 0;
  unsigned violations = 0;
  void markClean(const Attr* attr) {
    for (unsigned k = 0; k < cleanedCount; ++k)
      if (cleaned[k] == attr) return;
    if (cleanedCount < kMaxCleaned) cleaned[cleanedCount++] = attr;
  }
  bool isClean(const Attr* attr) const {
    for (unsigned k = 0; k < cleanedCount; ++k)
      if (cleaned[k] == attr) return true;
    return false;
  }
};

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
        return static_cast<Attr*>(object.ptr_);
      default:
        return nullptr;
    }
  }
  static MObject object(void* ptr, MFn::Type type) {
    MObject o;
    o.ptr_ = ptr;
    o.type_ = ptr ? type : MFn::kInvalid;
    return o;
  }
  static MObject attrObject(const Attr* a) {
    if (!a) return MObject();
    MFn::Type type = MFn::kNumericAttribute;
    if (a->kind == AttributeKind::kCompound) type = MFn::kCompoundAttribute;
    if (a->kind == AttributeKind::kLightData) type = MFn::kLightDataAttribute;
    return object(const_cast<Attr*>(a), type);
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
  static const Attr* plugAttr(const MPlug& p) { return p.attr_; }
  static MDataHandle handle(ValueSlot* slot, const Attr* attr, BlockContext* context,
                            ElementStore* element, ArrayStore* array, int component) {
    MDataHandle h;
    h.slot_ = slot;
    h.attr_ = attr;
    h.context_ = context;
    h.element_ = element;
    h.array_ = array;
    h.component_ = component;
    return h;
  }
  static MArrayDataHandle arrayHandle(ArrayStore* array, BlockContext* context) {
    MArrayDataHandle h;
    h.array_ = array;
    h.context_ = context;
    h.position_ = 0;
    return h;
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
