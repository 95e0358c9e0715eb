// Stand-in for <maya/MArrayDataHandle.h>. The handle starts on the array's
// first element; next() fails once there is no further element, and the
// handle then stands past the end.
//
// What a light loop calls per sample (elementCount, inputValue, next) is
// inline and reads the array's elements directly.
#pragma once

#include <maya/MDataHandle.h>
#include <maya/MStatus.h>

#include <vector>

namespace mayahost {
namespace detail {

// The values of one array element, in its array's elementSlots slots.
struct ElementStore {
  unsigned logicalIndex = 0;
  std::vector<ValueSlot> slots;
};

// An array attribute's elements in a node's storage.
struct ArrayStore {
  const Attr* attr = nullptr;
  const AttrView* view = nullptr;  // the same attribute, as the headers see it
  std::vector<ElementStore> elements;
};

}  // namespace detail
}  // namespace mayahost

class OPENMAYA_EXPORT MArrayDataHandle {
 public:
  MArrayDataHandle(const MDataHandle& in, MStatus* ReturnStatus = NULL);
  MArrayDataHandle(const MArrayDataHandle&) = default;
  MArrayDataHandle& operator=(const MArrayDataHandle&) = default;
  ~MArrayDataHandle() = default;

  MDataHandle inputValue(MStatus* ReturnStatus = NULL) {
    if (!array_ || position_ >= array_->elements.size()) return pastEnd(context_, ReturnStatus);
    if (ReturnStatus) *ReturnStatus = MStatus::kSuccess;
    return MDataHandle(array_->view, context_, array_->elements[position_].slots.data(), nullptr);
  }
  MDataHandle outputValue(MStatus* ReturnStatus = NULL) { return inputValue(ReturnStatus); }
  MStatus next() {
    if (!array_) return MStatus::kFailure;
    const unsigned count = static_cast<unsigned>(array_->elements.size());
    if (position_ + 1 < count) {
      ++position_;
      return MStatus::kSuccess;
    }
    position_ = count;  // past the end: further reads fail
    return MStatus::kFailure;
  }
  unsigned int elementCount(MStatus* ReturnStatus = NULL) {
    if (ReturnStatus) *ReturnStatus = array_ ? MStatus::kSuccess : MStatus::kFailure;
    return array_ ? static_cast<unsigned int>(array_->elements.size()) : 0u;
  }
  unsigned int elementIndex(MStatus* ReturnStatus = NULL);
  MStatus jumpToElement(unsigned int index);
  MStatus jumpToArrayElement(unsigned int position);
  MStatus setClean();
  MStatus setAllClean();

 private:
  friend struct mayahost::detail::Access;
  friend class MDataBlock;
  MArrayDataHandle();  // private, as in the devkit
  MArrayDataHandle(mayahost::detail::ArrayStore* array, mayahost::detail::BlockContext* context)
      : array_(array), context_(context), position_(0) {}
  // inputValue() past the last element: counted as a violation, and a handle
  // without a value.
  static MDataHandle pastEnd(mayahost::detail::BlockContext* context, MStatus* status);
  mayahost::detail::ArrayStore* array_;
  mayahost::detail::BlockContext* context_;
  unsigned int position_;
};
