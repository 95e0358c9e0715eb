// Stand-in for <maya/MPlug.h>: a node's attribute as the dependency graph
// sees it. compute() compares the requested plug with attribute objects.
#pragma once

#include <maya/MObject.h>
#include <maya/MStatus.h>

class OPENMAYA_EXPORT MPlug {
 public:
  MPlug() : node_(nullptr), attr_(nullptr) {}
  MPlug(const MObject& node, const MObject& attribute);
  MPlug(const MPlug&) = default;
  MPlug& operator=(const MPlug&) = default;
  ~MPlug() = default;

  MObject attribute(MStatus* ReturnStatus = NULL) const;
  MObject node(MStatus* ReturnStatus = NULL) const;
  MPlug parent(MStatus* ReturnStatus = NULL) const;
  MPlug child(unsigned int index, MStatus* ReturnStatus = NULL) const;
  unsigned int numChildren(MStatus* ReturnStatus = NULL) const;
  bool isNull(MStatus* ReturnStatus = NULL) const;
  bool isChild(MStatus* ReturnStatus = NULL) const;
  bool isCompound(MStatus* ReturnStatus = NULL) const;
  bool isArray(MStatus* ReturnStatus = NULL) const;

  bool operator==(const MPlug& other) const { return attr_ == other.attr_ && node_ == other.node_; }
  bool operator==(const MObject& attribute) const {
    return attr_ != nullptr && attr_ == mayahost::detail::AttrView::of(attribute);
  }
  bool operator!=(const MPlug& other) const { return !(*this == other); }
  bool operator!=(const MObject& attribute) const { return !(*this == attribute); }
  operator MObject() const { return attribute(); }

 private:
  friend struct mayahost::detail::Access;
  void* node_;
  const mayahost::detail::AttrView* attr_;
};
