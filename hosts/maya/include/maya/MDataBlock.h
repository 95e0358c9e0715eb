// Stand-in for <maya/MDataBlock.h>: a node's values for one evaluation. Only
// the host makes one; every member is non-const, as in the devkit.
#pragma once

#include <maya/MArrayDataHandle.h>
#include <maya/MDataHandle.h>
#include <maya/MObject.h>
#include <maya/MPlug.h>
#include <maya/MStatus.h>

class OPENMAYA_EXPORT MDataBlock {
 public:
  MDataHandle inputValue(const MPlug& plug, MStatus* ReturnStatus = NULL);
  MDataHandle inputValue(const MObject& attribute, MStatus* ReturnStatus = NULL);
  MDataHandle outputValue(const MPlug& plug, MStatus* ReturnStatus = NULL);
  MDataHandle outputValue(const MObject& attribute, MStatus* ReturnStatus = NULL);
  MArrayDataHandle inputArrayValue(const MPlug& plug, MStatus* ReturnStatus = NULL);
  MArrayDataHandle inputArrayValue(const MObject& attribute, MStatus* ReturnStatus = NULL);
  MArrayDataHandle outputArrayValue(const MPlug& plug, MStatus* ReturnStatus = NULL);
  MArrayDataHandle outputArrayValue(const MObject& attribute, MStatus* ReturnStatus = NULL);
  MStatus setClean(const MPlug& plug);
  MStatus setClean(const MObject& attribute);
  bool isClean(const MPlug& plug);
  bool isClean(const MObject& attribute);

  MDataBlock(const MDataBlock&) = default;
  ~MDataBlock() = default;

 private:
  friend struct mayahost::detail::Access;
  explicit MDataBlock(mayahost::detail::BlockContext* context) : context_(context) {}
  mayahost::detail::BlockContext* context_;
};
