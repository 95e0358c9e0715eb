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
using mayahost::detail::AttrView;
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

void setStatus(MStatus* status, MStatus::MStatusCode code) {
  if (status) *status = code;
}

}  // namespace

// ---- MPlug -----------------------------------------------------------------------------

MPlug::MPlug(const MObject& node, const MObject& attribute)
    : node_(Access::pointer(node)), attr_(Access::attr(attribute)) {}

MObject MPlug::attribute(MStatus* ReturnStatus) const {
  setStatus(ReturnStatus, attr_ ? MS::kSuccess : MS::kFailure);
  return Access::attrObject(Access::fromView(attr_));
}

MObject MPlug::node(MStatus* ReturnStatus) const {
  setStatus(ReturnStatus, node_ ? MS::kSuccess : MS::kFailure);
  return Access::object(node_, MFn::kPluginDependNode);
}

MPlug MPlug::parent(MStatus* ReturnStatus) const {
  const Attr* a = Access::fromView(attr_);
  const Attr* p = a ? a->parentAttr() : nullptr;
  setStatus(ReturnStatus, p ? MS::kSuccess : MS::kFailure);
  return p ? Access::plug(node_, p) : MPlug();
}

MPlug MPlug::child(unsigned int index, MStatus* ReturnStatus) const {
  const Attr* a = Access::fromView(attr_);
  const bool ok = a && index < a->children.size();
  setStatus(ReturnStatus, ok ? MS::kSuccess : MS::kFailure);
  return ok ? Access::plug(node_, a->child(index)) : MPlug();
}

unsigned int MPlug::numChildren(MStatus* ReturnStatus) const {
  const Attr* a = Access::fromView(attr_);
  setStatus(ReturnStatus, a ? MS::kSuccess : MS::kFailure);
  return a ? static_cast<unsigned int>(a->children.size()) : 0u;
}

bool MPlug::isNull(MStatus* ReturnStatus) const {
  setStatus(ReturnStatus, MS::kSuccess);
  return attr_ == nullptr;
}
bool MPlug::isChild(MStatus* ReturnStatus) const {
  setStatus(ReturnStatus, MS::kSuccess);
  const Attr* a = Access::fromView(attr_);
  return a && a->parent;
}
bool MPlug::isCompound(MStatus* ReturnStatus) const {
  setStatus(ReturnStatus, MS::kSuccess);
  const Attr* a = Access::fromView(attr_);
  return a && !a->children.empty();
}
bool MPlug::isArray(MStatus* ReturnStatus) const {
  setStatus(ReturnStatus, MS::kSuccess);
  const Attr* a = Access::fromView(attr_);
  return a && a->flags.array;
}

// ---- MDataHandle ------------------------------------------------------------------------
// The accessors, child() and set*() are inline in the header; what is left
// here are the rule violations.

ValueSlot& MDataHandle::misread(BlockContext* context) { return scratch(context); }

MDataHandle MDataHandle::orphan(BlockContext* context, const AttrView* attribute) {
  if (context) ++context->violations;
  return Access::emptyHandle(Access::fromView(attribute), context, nullptr);
}

MDataHandle MDataHandle::child(const MPlug& plug) { return child(plug.attribute()); }

// ---- MArrayDataHandle -----------------------------------------------------------------------
// elementCount, inputValue and next are inline in the header.

MArrayDataHandle::MArrayDataHandle() : array_(nullptr), context_(nullptr), position_(0) {}

MArrayDataHandle::MArrayDataHandle(const MDataHandle& in, MStatus* ReturnStatus)
    : array_(Access::handleArray(in)), context_(Access::handleContext(in)), position_(0) {
  setStatus(ReturnStatus, array_ ? MS::kSuccess : MS::kInvalidParameter);
}

MDataHandle MArrayDataHandle::pastEnd(BlockContext* context, MStatus* status) {
  setStatus(status, MS::kInvalidParameter);
  if (context) ++context->violations;
  return Access::emptyHandle(nullptr, context, nullptr);
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
  context_->markClean(array_->view);
  return MS::kSuccess;
}

MStatus MArrayDataHandle::setAllClean() { return setClean(); }

// ---- MDataBlock ----------------------------------------------------------------------------
// A plain value or an array of the block's own node, asked for by attribute
// object, is served inline (the header's valueOf and arrayOf); this is the
// rest, under the same rules.

// Everything but a plain value of the block's own type: arrays, foreign or
// unknown attributes.
MDataHandle MDataBlock::otherValueOf(const AttrView* view, MStatus* status) {
  const Attr* a = Access::fromView(view);
  BlockContext* context = context_;
  mayahost::detail::Storage* storage = context ? context->storage : nullptr;
  if (!storage || !a || a->owner != storage->type || a->arrayAttr != nullptr) {
    setStatus(status, MS::kInvalidParameter);
    if (context) ++context->violations;
    return Access::emptyHandle(a, context, nullptr);
  }
  if (a->arrayIndex >= 0) {
    setStatus(status, MS::kSuccess);
    return Access::emptyHandle(a, context, &storage->arrays[static_cast<size_t>(a->arrayIndex)]);
  }
  if (a->slot < 0) {
    setStatus(status, MS::kInvalidParameter);
    ++context->violations;
    return Access::emptyHandle(a, context, nullptr);
  }
  setStatus(status, MS::kSuccess);
  return Access::valueHandle(&storage->slots[static_cast<size_t>(a->slot)], a, context);
}

MArrayDataHandle MDataBlock::otherArrayOf(MStatus* status) {
  setStatus(status, MS::kInvalidParameter);
  if (context_) ++context_->violations;
  return Access::arrayHandle(nullptr, context_);
}

MDataHandle MDataBlock::inputValue(const MPlug& plug, MStatus* ReturnStatus) {
  return valueOf(Access::plugView(plug), ReturnStatus);
}
MDataHandle MDataBlock::outputValue(const MPlug& plug, MStatus* ReturnStatus) {
  return valueOf(Access::plugView(plug), ReturnStatus);
}
MArrayDataHandle MDataBlock::inputArrayValue(const MPlug& plug, MStatus* ReturnStatus) {
  return arrayOf(Access::plugView(plug), ReturnStatus);
}
MArrayDataHandle MDataBlock::outputArrayValue(const MPlug& plug, MStatus* ReturnStatus) {
  return arrayOf(Access::plugView(plug), ReturnStatus);
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
