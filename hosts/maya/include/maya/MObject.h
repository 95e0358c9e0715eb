// Stand-in for <maya/MObject.h>: an opaque handle to something the host owns
// (an attribute, a node, the plug-in).
#pragma once

#include <maya/MFn.h>
#include <maya/MTypes.h>

class OPENMAYA_EXPORT MObject {
 public:
  MObject() : ptr_(nullptr), type_(MFn::kInvalid) {}
  MObject(const MObject&) = default;
  MObject& operator=(const MObject&) = default;
  ~MObject() = default;

  bool hasFn(MFn::Type type) const;
  bool isNull() const { return ptr_ == nullptr; }
  MFn::Type apiType() const { return type_; }
  const char* apiTypeStr() const;
  bool operator==(const MObject& other) const { return ptr_ == other.ptr_; }
  bool operator!=(const MObject& other) const { return ptr_ != other.ptr_; }

  static MObject kNullObj;

 private:
  friend struct mayahost::detail::Access;
  void* ptr_;
  MFn::Type type_;
};
