// Stand-in for <maya/MDataBlock.h>: a node's values for one evaluation. Only
// the host makes one; every member is non-const, as in the devkit.
//
// What a compute asks for most, a plain value or an array of its own node by
// attribute object, is served inline; everything else (foreign or unknown
// attributes, plugs) by the host library under the same rules.
#pragma once

#include <maya/MArrayDataHandle.h>
#include <maya/MDataHandle.h>
#include <maya/MObject.h>
#include <maya/MPlug.h>
#include <maya/MStatus.h>

class OPENMAYA_EXPORT MDataBlock {
 public:
  MDataHandle inputValue(const MPlug& plug, MStatus* ReturnStatus = NULL);
  MDataHandle inputValue(const MObject& attribute, MStatus* ReturnStatus = NULL) {
    return valueOf(mayahost::detail::AttrView::of(attribute), ReturnStatus);
  }
  MDataHandle outputValue(const MPlug& plug, MStatus* ReturnStatus = NULL);
  MDataHandle outputValue(const MObject& attribute, MStatus* ReturnStatus = NULL) {
    return valueOf(mayahost::detail::AttrView::of(attribute), ReturnStatus);
  }
  MArrayDataHandle inputArrayValue(const MPlug& plug, MStatus* ReturnStatus = NULL);
  MArrayDataHandle inputArrayValue(const MObject& attribute, MStatus* ReturnStatus = NULL) {
    return arrayOf(mayahost::detail::AttrView::of(attribute), ReturnStatus);
  }
  MArrayDataHandle outputArrayValue(const MPlug& plug, MStatus* ReturnStatus = NULL);
  MArrayDataHandle outputArrayValue(const MObject& attribute, MStatus* ReturnStatus = NULL) {
    return arrayOf(mayahost::detail::AttrView::of(attribute), ReturnStatus);
  }
  MStatus setClean(const MPlug& plug);
  MStatus setClean(const MObject& attribute);
  bool isClean(const MPlug& plug);
  bool isClean(const MObject& attribute);

  MDataBlock(const MDataBlock&) = default;
  ~MDataBlock() = default;

 private:
  friend struct mayahost::detail::Access;
  explicit MDataBlock(mayahost::detail::BlockContext* context) : context_(context) {}
  // A plain value of the block's own node: one comparison (directOwner is
  // null for anything else, kNoAttribute's included, and a block's type
  // never is) and one look-up. The rest goes to otherValueOf. `a` is never
  // null (AttrView::of).
  MDataHandle valueOf(const mayahost::detail::AttrView* a, MStatus* status) {
    if (a->directOwner == context_->type) {
      if (status) *status = MStatus::kSuccess;
      return MDataHandle(context_->slots + a->valueSlot,
                         reinterpret_cast<char*>(context_->slots) + a->valueByte, a, context_);
    }
    return otherValueOf(a, status);
  }
  MDataHandle otherValueOf(const mayahost::detail::AttrView* a, MStatus* status);
  // An array of the block's own node; otherwise a violation (otherArrayOf).
  MArrayDataHandle arrayOf(const mayahost::detail::AttrView* a, MStatus* status) {
    if (a->owner == context_->type && a->arrayIndex >= 0) {
      if (status) *status = MStatus::kSuccess;
      return MArrayDataHandle(context_->arrays + a->arrayIndex, context_);
    }
    return otherArrayOf(status);
  }
  MArrayDataHandle otherArrayOf(MStatus* status);
  // Never null: only the host makes a data block, always with its context.
  mayahost::detail::BlockContext* context_;
};
