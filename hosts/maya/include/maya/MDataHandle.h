// Stand-in for <maya/MDataHandle.h>. The accessors are const and return
// references into the data block's storage. Reading a value as the wrong type
// is a host rule violation: the stand-in counts it on the data block and hands
// back a scratch value instead of the storage.
#pragma once

#include <maya/MFloatVector.h>
#include <maya/MObject.h>
#include <maya/MStatus.h>

class MPlug;

class OPENMAYA_EXPORT MDataHandle {
 public:
  MDataHandle();
  MDataHandle(const MDataHandle&) = default;
  MDataHandle& operator=(const MDataHandle&) = default;
  ~MDataHandle() = default;

  bool& asBool() const;
  char& asChar() const;
  unsigned char& asUChar() const;
  short& asShort() const;
  int& asInt() const;
  int& asLong() const;  // obsolete spelling of asInt
  float& asFloat() const;
  double& asDouble() const;
  MFloatVector& asFloatVector() const;
  void*& asAddr() const;

  MDataHandle child(const MPlug& plug);
  MDataHandle child(const MObject& attribute);

  void set(bool value);
  void set(char value);
  void set(short value);
  void set(int value);
  void set(float value);
  void set(double value);
  void set(const MFloatVector& value);
  void set(float x, float y, float z);
  void setClean();

 private:
  friend struct mayahost::detail::Access;
  mayahost::detail::ValueSlot* slot_;
  const mayahost::detail::Attr* attr_;
  mayahost::detail::BlockContext* context_;
  mayahost::detail::ElementStore* element_;
  mayahost::detail::ArrayStore* array_;
  int component_;
};
