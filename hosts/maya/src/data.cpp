// Plugs and data access during compute. Nothing here locks or allocates:
// several threads evaluate at once, each on its own data block.
#include <maya/MArrayDataHandle.h>
#include <maya/MDataBlock.h>
#include <maya/MDataHandle.h>
#include <maya/MPlug.h>

#include "host.h"

using mayahost::AttributeKind;
using mayahost::detail::Access;
using mayahost::detail::ArrayStore;
using mayahost::detail::Attr;
using mayahost::detail::BlockContext;
using mayahost::detail::ElementStore;
using mayahost::detail::ValueSlot;

namespace {

// Where a wrong-typed or invalid access lands: counted as a violation on the
// block, and served from this thread's scratch so no storage is touched.
ValueSlot& scratch(BlockContext* context) {
  if (context) ++context->violations;
  thread_local ValueSlot slot;
  slot = ValueSlot{};
  return slot;
}

// Whether a handle with a value slot may be read whole as `type`. A handle
// with a slot always has its attribute.
bool typed(const Attr* a, MFnNumericData::Type type) { return a->wholeType == type; }

void setStatus(MStatus* status, MStatus::MStatusCode code) {
  if (status) *status = code;
}

}  // namespace

// ---- MPlug -----------------------------------------------------------------------------

MPlug::MPlug(const MObject& node, const MObject& attribute)
    : node_(Access::pointer(node)), attr_(Access::attr(attribute)) {}

MObject MPlug::attribute(MStatus* ReturnStatus) const {
  setStatus(ReturnStatus, attr_ ? MS::kSuccess : MS::kFailure);
  return Access::attrObject(attr_);
}

MObject MPlug::node(MStatus* ReturnStatus) const {
  setStatus(ReturnStatus, node_ ? MS::kSuccess : MS::kFailure);
  return Access::object(node_, MFn::kPluginDependNode);
}

MPlug MPlug::parent(MStatus* ReturnStatus) const {
  const Attr* p = attr_ ? attr_->parentAttr() : nullptr;
  setStatus(ReturnStatus, p ? MS::kSuccess : MS::kFailure);
  return p ? Access::plug(node_, p) : MPlug();
}

MPlug MPlug::child(unsigned int index, MStatus* ReturnStatus) const {
  const bool ok = attr_ && index < attr_->children.size();
  setStatus(ReturnStatus, ok ? MS::kSuccess : MS::kFailure);
  return ok ? Access::plug(node_, attr_->child(index)) : MPlug();
}

unsigned int MPlug::numChildren(MStatus* ReturnStatus) const {
  setStatus(ReturnStatus, attr_ ? MS::kSuccess : MS::kFailure);
  return attr_ ? static_cast<unsigned int>(attr_->children.size()) : 0u;
}

bool MPlug::isNull(MStatus* ReturnStatus) const {
  setStatus(ReturnStatus, MS::kSuccess);
  return attr_ == nullptr;
}
bool MPlug::isChild(MStatus* ReturnStatus) const {
  setStatus(ReturnStatus, MS::kSuccess);
  return attr_ && attr_->parent;
}
bool MPlug::isCompound(MStatus* ReturnStatus) const {
  setStatus(ReturnStatus, MS::kSuccess);
  return attr_ && !attr_->children.empty();
}
bool MPlug::isArray(MStatus* ReturnStatus) const {
  setStatus(ReturnStatus, MS::kSuccess);
  return attr_ && attr_->flags.array;
}

bool MPlug::operator==(const MObject& attribute) const {
  return attr_ != nullptr && attr_ == Access::attr(attribute);
}

// ---- MDataHandle ------------------------------------------------------------------------

MDataHandle::MDataHandle()
    : slot_(nullptr),
      attr_(nullptr),
      context_(nullptr),
      element_(nullptr),
      array_(nullptr),
      component_(-1) {}

bool& MDataHandle::asBool() const {
  return slot_ && typed(attr_, MFnNumericData::kBoolean) ? slot_->b : scratch(context_).b;
}
char& MDataHandle::asChar() const {
  return slot_ && typed(attr_, MFnNumericData::kChar) ? slot_->c : scratch(context_).c;
}
unsigned char& MDataHandle::asUChar() const {
  return slot_ && typed(attr_, MFnNumericData::kByte) ? slot_->uc : scratch(context_).uc;
}
short& MDataHandle::asShort() const {
  return slot_ && typed(attr_, MFnNumericData::kShort) ? slot_->s : scratch(context_).s;
}
int& MDataHandle::asInt() const {
  return slot_ && typed(attr_, MFnNumericData::kInt) ? slot_->i : scratch(context_).i;
}
int& MDataHandle::asLong() const { return asInt(); }
float& MDataHandle::asFloat() const {
  if (slot_ && attr_ && component_ >= 0) return slot_->vec[static_cast<unsigned>(component_)];
  return slot_ && typed(attr_, MFnNumericData::kFloat) ? slot_->f : scratch(context_).f;
}
double& MDataHandle::asDouble() const {
  return slot_ && typed(attr_, MFnNumericData::kDouble) ? slot_->d : scratch(context_).d;
}
MFloatVector& MDataHandle::asFloatVector() const {
  return slot_ && typed(attr_, MFnNumericData::k3Float) ? slot_->vec : scratch(context_).vec;
}
void*& MDataHandle::asAddr() const {
  return slot_ && typed(attr_, MFnNumericData::kAddr) ? slot_->addr : scratch(context_).addr;
}

MDataHandle MDataHandle::child(const MPlug& plug) { return child(plug.attribute()); }

MDataHandle MDataHandle::child(const MObject& attribute) {
  const Attr* a = Access::attr(attribute);
  if (a && attr_ && a->parent == attr_) {
    // A child of an array element, e.g. one light's lightDirection. Every
    // element holds its array's elementSlots values.
    if (element_ && a->slot >= 0 && static_cast<unsigned>(a->slot) < attr_->elementSlots)
      return Access::handle(element_->slots.data() + a->slot, a, context_, element_, nullptr,
                            a->component);
    // A component of a float compound.
    if (slot_ && a->component >= 0)
      return Access::handle(slot_, a, context_, element_, nullptr, a->component);
  }
  if (context_) ++context_->violations;
  return Access::handle(nullptr, a, context_, nullptr, nullptr, -1);
}

void MDataHandle::set(bool value) { asBool() = value; }
void MDataHandle::set(char value) { asChar() = value; }
void MDataHandle::set(short value) { asShort() = value; }
void MDataHandle::set(int value) { asInt() = value; }
void MDataHandle::set(float value) { asFloat() = value; }
void MDataHandle::set(double value) { asDouble() = value; }
void MDataHandle::set(const MFloatVector& value) { asFloatVector() = value; }
void MDataHandle::set(float x, float y, float z) { asFloatVector() = MFloatVector(x, y, z); }

void MDataHandle::setClean() {
  if (context_ && attr_) context_->markClean(attr_);
}

// ---- MArrayDataHandle -----------------------------------------------------------------------

MArrayDataHandle::MArrayDataHandle() : array_(nullptr), context_(nullptr), position_(0) {}

MArrayDataHandle::MArrayDataHandle(const MDataHandle& in, MStatus* ReturnStatus)
    : array_(Access::handleArray(in)), context_(Access::handleContext(in)), position_(0) {
  setStatus(ReturnStatus, array_ ? MS::kSuccess : MS::kInvalidParameter);
}

MDataHandle MArrayDataHandle::inputValue(MStatus* ReturnStatus) {
  if (!array_ || position_ >= array_->elements.size()) {
    setStatus(ReturnStatus, MS::kInvalidParameter);
    if (context_) ++context_->violations;
    return Access::handle(nullptr, nullptr, context_, nullptr, nullptr, -1);
  }
  setStatus(ReturnStatus, MS::kSuccess);
  return Access::handle(nullptr, array_->attr, context_, &array_->elements[position_], nullptr, -1);
}

MDataHandle MArrayDataHandle::outputValue(MStatus* ReturnStatus) {
  return inputValue(ReturnStatus);
}

MStatus MArrayDataHandle::next() {
  if (!array_) return MS::kFailure;
  const unsigned count = static_cast<unsigned>(array_->elements.size());
  if (position_ + 1 < count) {
    ++position_;
    return MS::kSuccess;
  }
  position_ = count;  // past the end: further reads fail
  return MS::kFailure;
}

unsigned int MArrayDataHandle::elementCount(MStatus* ReturnStatus) {
  setStatus(ReturnStatus, array_ ? MS::kSuccess : MS::kFailure);
  return array_ ? static_cast<unsigned int>(array_->elements.size()) : 0u;
}

unsigned int MArrayDataHandle::elementIndex(MStatus* ReturnStatus) {
  const bool ok = array_ && position_ < array_->elements.size();
  setStatus(ReturnStatus, ok ? MS::kSuccess : MS::kFailure);
  return ok ? array_->elements[position_].logicalIndex : 0u;
}

MStatus MArrayDataHandle::jumpToElement(unsigned int index) {
  if (!array_) return MS::kFailure;
  for (unsigned k = 0; k < array_->elements.size(); ++k) {
    if (array_->elements[k].logicalIndex == index) {
      position_ = k;
      return MS::kSuccess;
    }
  }
  return MS::kFailure;
}

MStatus MArrayDataHandle::jumpToArrayElement(unsigned int position) {
  if (!array_ || position >= array_->elements.size()) return MS::kFailure;
  position_ = position;
  return MS::kSuccess;
}

MStatus MArrayDataHandle::setClean() {
  if (!array_ || !context_) return MS::kFailure;
  context_->markClean(array_->attr);
  return MS::kSuccess;
}

MStatus MArrayDataHandle::setAllClean() { return setClean(); }

// ---- MDataBlock ----------------------------------------------------------------------------

namespace {

// The rules of valueOf for everything but a plain value of the block's own
// type: arrays, foreign or unknown attributes, a block-less handle.
MDataHandle otherValueOf(BlockContext* context, const Attr* a, MStatus* status) {
  mayahost::detail::Storage* storage = context ? context->storage : nullptr;
  if (!storage || !a || a->owner != storage->type || a->arrayAttr != nullptr) {
    setStatus(status, MS::kInvalidParameter);
    if (context) ++context->violations;
    return Access::handle(nullptr, a, context, nullptr, nullptr, -1);
  }
  if (a->arrayIndex >= 0) {
    setStatus(status, MS::kSuccess);
    return Access::handle(nullptr, a, context, nullptr,
                          &storage->arrays[static_cast<size_t>(a->arrayIndex)], -1);
  }
  if (a->slot < 0) {
    setStatus(status, MS::kInvalidParameter);
    ++context->violations;
    return Access::handle(nullptr, a, context, nullptr, nullptr, -1);
  }
  setStatus(status, MS::kSuccess);
  return Access::handle(&storage->slots[static_cast<size_t>(a->slot)], a, context, nullptr, nullptr,
                        a->component);
}

// What a compute asks for most: a plain value of its own node, served with
// one comparison and one table look-up.
inline MDataHandle valueOf(BlockContext* context, const Attr* a, MStatus* status) {
  if (context && a && a->owner == context->type && a->valueSlot >= 0) {
    setStatus(status, MS::kSuccess);
    return Access::handle(context->slots + a->valueSlot, a, context, nullptr, nullptr,
                          a->component);
  }
  return otherValueOf(context, a, status);
}

MArrayDataHandle arrayOf(BlockContext* context, const Attr* a, MStatus* status) {
  mayahost::detail::Storage* storage = context ? context->storage : nullptr;
  if (!storage || !a || a->owner != storage->type || a->arrayIndex < 0) {
    setStatus(status, MS::kInvalidParameter);
    if (context) ++context->violations;
    return Access::arrayHandle(nullptr, context);
  }
  setStatus(status, MS::kSuccess);
  return Access::arrayHandle(&storage->arrays[static_cast<size_t>(a->arrayIndex)], context);
}

}  // namespace

MDataHandle MDataBlock::inputValue(const MPlug& plug, MStatus* ReturnStatus) {
  return valueOf(context_, Access::plugAttr(plug), ReturnStatus);
}
MDataHandle MDataBlock::inputValue(const MObject& attribute, MStatus* ReturnStatus) {
  return valueOf(context_, Access::attr(attribute), ReturnStatus);
}
MDataHandle MDataBlock::outputValue(const MPlug& plug, MStatus* ReturnStatus) {
  return valueOf(context_, Access::plugAttr(plug), ReturnStatus);
}
MDataHandle MDataBlock::outputValue(const MObject& attribute, MStatus* ReturnStatus) {
  return valueOf(context_, Access::attr(attribute), ReturnStatus);
}
MArrayDataHandle MDataBlock::inputArrayValue(const MPlug& plug, MStatus* ReturnStatus) {
  return arrayOf(context_, Access::plugAttr(plug), ReturnStatus);
}
MArrayDataHandle MDataBlock::inputArrayValue(const MObject& attribute, MStatus* ReturnStatus) {
  return arrayOf(context_, Access::attr(attribute), ReturnStatus);
}
MArrayDataHandle MDataBlock::outputArrayValue(const MPlug& plug, MStatus* ReturnStatus) {
  return arrayOf(context_, Access::plugAttr(plug), ReturnStatus);
}
MArrayDataHandle MDataBlock::outputArrayValue(const MObject& attribute, MStatus* ReturnStatus) {
  return arrayOf(context_, Access::attr(attribute), ReturnStatus);
}

MStatus MDataBlock::setClean(const MPlug& plug) { return setClean(plug.attribute()); }
MStatus MDataBlock::setClean(const MObject& attribute) {
  const Attr* a = Access::attr(attribute);
  if (!a || !context_) return MS::kInvalidParameter;
  context_->markClean(a);
  return MS::kSuccess;
}
bool MDataBlock::isClean(const MPlug& plug) { return isClean(plug.attribute()); }
bool MDataBlock::isClean(const MObject& attribute) {
  const Attr* a = Access::attr(attribute);
  return a && context_ && context_->isClean(a);
}
