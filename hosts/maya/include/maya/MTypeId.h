// Stand-in for <maya/MTypeId.h>. Ids are stored in binary scenes: a node
// type's id never changes.
#pragma once

#include <maya/MStatus.h>
#include <maya/MTypes.h>

class OPENMAYA_EXPORT MTypeId {
 public:
  MTypeId() : id_(0) {}
  MTypeId(unsigned int id) : id_(id) {}
  MTypeId(unsigned int prefix, unsigned int id) : id_((prefix << 8) | (id & 0xFFu)) {}
  MTypeId(const MTypeId&) = default;
  MTypeId& operator=(const MTypeId&) = default;
  ~MTypeId() = default;

  bool operator==(const MTypeId& other) const { return id_ == other.id_; }
  bool operator!=(const MTypeId& other) const { return id_ != other.id_; }
  unsigned int id(MStatus* ReturnStatus = NULL) const {
    if (ReturnStatus) *ReturnStatus = MStatus::kSuccess;
    return id_;
  }

 private:
  unsigned int id_;
};
