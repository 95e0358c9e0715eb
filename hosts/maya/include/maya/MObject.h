// Stand-in for <maya/MObject.h>: an opaque handle to something the host owns
// (an attribute, a node, the plug-in).
#pragma once

#include <maya/MFn.h>
#include <maya/MFnNumericData.h>
#include <maya/MTypes.h>

class MObject;

namespace mayahost {
namespace detail {

// The part of the host's record of an attribute (Attr derives from it) that
// the headers' inline data access reads during compute: where the
// attribute's value lives and as what it may be read. The host fills it when
// the attribute is created and when its node type is laid out; an attribute
// object and a plug point at this part of the record.
struct AttrView {
  const NodeTypeRec* owner = nullptr;  // the type being registered when it was created
  const AttrView* parentView = nullptr;
  // A slot of the node's storage, or of an array element; children of a
  // float compound share their parent's slot and pick a component.
  int slot = -1;
  int component = -1;
  // The slot of a value read straight from the node's storage (not an
  // array, not inside one), else -1.
  int valueSlot = -1;
  // The numeric type that a handle's as*() accepts whole (kInvalid for a
  // component of a float compound).
  MFnNumericData::Type wholeType = MFnNumericData::kInvalid;
  unsigned elementSlots = 0;  // for an array attribute: slots per element
  int arrayIndex = -1;        // for an array attribute: its place among the node's arrays

  // Derived from the above when the type is laid out, so that a handle is
  // made and read with one comparison each:
  // - owner when valueSlot >= 0, else null (a block's type never is);
  const NodeTypeRec* directOwner = nullptr;
  // - what a handle of the attribute's value reads: a component as kFloat,
  //   a whole value as wholeType; and where, in bytes from its slot;
  MFnNumericData::Type readType = MFnNumericData::kInvalid;
  int readOffset = 0;
  // - for a direct value, the same in bytes from the node's first slot.
  int valueByte = -1;

  // Set only in kNoAttribute, what an object that is no attribute points at:
  // it belongs to no type and has no value, so the inline paths turn it away
  // without testing for it, and the host library reads it as "none".
  bool none = false;

  AttrView() = default;
  constexpr explicit AttrView(bool isNone) : none(isNone) {}

  // The attribute an object stands for, or kNoAttribute: never null.
  static const AttrView* of(const MObject& object);
};

inline constexpr AttrView kNoAttribute{true};

}  // namespace detail
}  // namespace mayahost

class OPENMAYA_EXPORT MObject {
 public:
  MObject() : ptr_(nullptr), type_(MFn::kInvalid), attr_(&mayahost::detail::kNoAttribute) {}
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
  friend struct mayahost::detail::AttrView;
  void* ptr_;
  MFn::Type type_;
  // The attribute it stands for (ptr_ as an attribute), or kNoAttribute.
  const mayahost::detail::AttrView* attr_;
};

inline const mayahost::detail::AttrView* mayahost::detail::AttrView::of(const MObject& object) {
  return object.attr_;
}
