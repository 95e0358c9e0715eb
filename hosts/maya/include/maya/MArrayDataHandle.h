// Stand-in for <maya/MArrayDataHandle.h>. The handle starts on the array's
// first element; next() fails once there is no further element, and the
// handle then stands past the end.
#pragma once

#include <maya/MDataHandle.h>
#include <maya/MStatus.h>

class OPENMAYA_EXPORT MArrayDataHandle {
 public:
  MArrayDataHandle(const MDataHandle& in, MStatus* ReturnStatus = NULL);
  MArrayDataHandle(const MArrayDataHandle&) = default;
  MArrayDataHandle& operator=(const MArrayDataHandle&) = default;
  ~MArrayDataHandle() = default;

  MDataHandle inputValue(MStatus* ReturnStatus = NULL);
  MDataHandle outputValue(MStatus* ReturnStatus = NULL);
  MStatus next();
  unsigned int elementCount(MStatus* ReturnStatus = NULL);
  unsigned int elementIndex(MStatus* ReturnStatus = NULL);
  MStatus jumpToElement(unsigned int index);
  MStatus jumpToArrayElement(unsigned int position);
  MStatus setClean();
  MStatus setAllClean();

 private:
  friend struct mayahost::detail::Access;
  MArrayDataHandle();  // private, as in the devkit
  mayahost::detail::ArrayStore* array_;
  mayahost::detail::BlockContext* context_;
  unsigned int position_;
};
