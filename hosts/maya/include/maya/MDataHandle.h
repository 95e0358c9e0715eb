// Stand-in for <maya/MDataHandle.h>. The accessors are const and return
// references into the data block's storage. Reading a value as the wrong type
// is a host rule violation: the stand-in counts it on the data block and hands
// back a scratch value instead of the storage.
//
// A compute makes dozens of these calls per sample, so the accessors,
// child() and set*() are inline: a handle carries the address of its value
// and the one type its as*() accepts, and only a violation calls into the
// host library.
#pragma once

#include <maya/MFloatVector.h>
#include <maya/MFnNumericData.h>
#include <maya/MObject.h>
#include <maya/MStatus.h>

class MPlug;
class MDataBlock;
class MArrayDataHandle;

namespace mayahost {
namespace detail {

// One value of any kind; a float compound keeps its three children in vec.
struct ValueSlot {
  MFloatVector vec;
  double d = 0.0;
  void* addr = nullptr;
  float f = 0.0f;
  int i = 0;
  short s = 0;
  bool b = false;
  char c = 0;
  unsigned char uc = 0;
};

// Per-evaluation bookkeeping; lives on the evaluating thread's stack. Every
// data block has one (never null).
struct BlockContext {
  static constexpr unsigned kMaxCleaned = 16;
  BlockContext(Storage* s, const NodeTypeRec* t, ValueSlot* values, ArrayStore* arrayValues)
      : storage(s), type(t), slots(values), arrays(arrayValues) {}
  Storage* storage;
  const NodeTypeRec* type;  // the storage's (never null), kept at hand for every inputValue
  ValueSlot* slots;         // the storage's values
  ArrayStore* arrays;       // the storage's arrays
  // Only the first cleanedCount entries are meaningful.
  const AttrView* cleaned[kMaxCleaned];
  unsigned cleanedCount = 0;
  unsigned violations = 0;
  void markClean(const AttrView* attr) {
    for (unsigned k = 0; k < cleanedCount; ++k)
      if (cleaned[k] == attr) return;
    if (cleanedCount < kMaxCleaned) cleaned[cleanedCount++] = attr;
  }
  bool isClean(const AttrView* attr) const {
    for (unsigned k = 0; k < cleanedCount; ++k)
      if (cleaned[k] == attr) return true;
    return false;
  }
};

}  // namespace detail
}  // namespace mayahost

class OPENMAYA_EXPORT MDataHandle {
 public:
  MDataHandle()
      : value_(nullptr),
        type_(MFnNumericData::kInvalid),
        slot_(nullptr),
        attr_(nullptr),
        context_(nullptr),
        element_(nullptr),
        array_(nullptr) {}
  MDataHandle(const MDataHandle&) = default;
  MDataHandle& operator=(const MDataHandle&) = default;
  ~MDataHandle() = default;

  bool& asBool() const {
    return type_ == MFnNumericData::kBoolean ? *static_cast<bool*>(value_) : misread(context_).b;
  }
  char& asChar() const {
    return type_ == MFnNumericData::kChar ? *static_cast<char*>(value_) : misread(context_).c;
  }
  unsigned char& asUChar() const {
    return type_ == MFnNumericData::kByte ? *static_cast<unsigned char*>(value_)
                                          : misread(context_).uc;
  }
  short& asShort() const {
    return type_ == MFnNumericData::kShort ? *static_cast<short*>(value_) : misread(context_).s;
  }
  int& asInt() const {
    return type_ == MFnNumericData::kInt ? *static_cast<int*>(value_) : misread(context_).i;
  }
  int& asLong() const { return asInt(); }  // obsolete spelling of asInt
  // A child of a float compound reads as a float: its component of the
  // parent's value.
  float& asFloat() const {
    return type_ == MFnNumericData::kFloat ? *static_cast<float*>(value_) : misread(context_).f;
  }
  double& asDouble() const {
    return type_ == MFnNumericData::kDouble ? *static_cast<double*>(value_) : misread(context_).d;
  }
  MFloatVector& asFloatVector() const {
    return type_ == MFnNumericData::k3Float ? *static_cast<MFloatVector*>(value_)
                                            : misread(context_).vec;
  }
  void*& asAddr() const {
    return type_ == MFnNumericData::kAddr ? *static_cast<void**>(value_) : misread(context_).addr;
  }

  MDataHandle child(const MPlug& plug);
  MDataHandle child(const MObject& attribute) {
    const mayahost::detail::AttrView* a = mayahost::detail::AttrView::of(attribute);
    if (attr_ && a->parentView == attr_) {
      // A child of an array element, e.g. one light's lightDirection. Every
      // element holds its array's elementSlots values.
      if (element_ && a->slot >= 0 && static_cast<unsigned>(a->slot) < attr_->elementSlots)
        return MDataHandle(element_ + a->slot, a, context_, element_);
      // A component of a float compound.
      if (slot_ && a->component >= 0) return MDataHandle(slot_, a, context_, element_);
    }
    return orphan(context_, a);
  }

  void set(bool value) { asBool() = value; }
  void set(char value) { asChar() = value; }
  void set(short value) { asShort() = value; }
  void set(int value) { asInt() = value; }
  void set(float value) { asFloat() = value; }
  void set(double value) { asDouble() = value; }
  void set(const MFloatVector& value) { asFloatVector() = value; }
  void set(float x, float y, float z) { asFloatVector() = MFloatVector(x, y, z); }
  void setClean() {
    if (context_ && attr_) context_->markClean(attr_);
  }

 private:
  friend struct mayahost::detail::Access;
  friend class MDataBlock;
  friend class MArrayDataHandle;
  // A handle of a value: the attribute's value in `slot`.
  MDataHandle(mayahost::detail::ValueSlot* slot, const mayahost::detail::AttrView* attr,
              mayahost::detail::BlockContext* context, mayahost::detail::ValueSlot* element)
      : value_(reinterpret_cast<char*>(slot) + attr->readOffset),
        type_(attr->readType),
        slot_(slot),
        attr_(attr),
        context_(context),
        element_(element),
        array_(nullptr) {}
  // The same, with the address of what as*() reads already worked out.
  MDataHandle(mayahost::detail::ValueSlot* slot, void* value,
              const mayahost::detail::AttrView* attr, mayahost::detail::BlockContext* context)
      : value_(value),
        type_(attr->readType),
        slot_(slot),
        attr_(attr),
        context_(context),
        element_(nullptr),
        array_(nullptr) {}
  // A handle without a value: of an array, of an array element, or an
  // invalid one.
  MDataHandle(const mayahost::detail::AttrView* attr, mayahost::detail::BlockContext* context,
              mayahost::detail::ValueSlot* element, mayahost::detail::ArrayStore* array)
      : value_(nullptr),
        type_(MFnNumericData::kInvalid),
        slot_(nullptr),
        attr_(attr),
        context_(context),
        element_(element),
        array_(array) {}
  // A wrong-typed or invalid access: counted as a violation on the block and
  // served from the calling thread's scratch value, zeroed first, so that no
  // storage is touched. (Static, so that a handle never has to be in memory.)
  static mayahost::detail::ValueSlot& misread(mayahost::detail::BlockContext* context);
  // child() of an attribute that is not one here: counted, and a handle
  // without a value.
  static MDataHandle orphan(mayahost::detail::BlockContext* context,
                            const mayahost::detail::AttrView* attribute);

  void* value_;                      // what as*() of type_ reads, or null
  MFnNumericData::Type type_;        // the one type as*() accepts; kInvalid: none
  mayahost::detail::ValueSlot* slot_;  // the slot value_ lies in, or null
  const mayahost::detail::AttrView* attr_;
  mayahost::detail::BlockContext* context_;
  mayahost::detail::ValueSlot* element_;  // the values of the array element it is in, or null
  mayahost::detail::ArrayStore* array_;
};
