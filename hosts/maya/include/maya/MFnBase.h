// Stand-in for <maya/MFnBase.h>: a function set works on one object at a time.
#pragma once

#include <maya/MObject.h>
#include <maya/MStatus.h>

class OPENMAYA_EXPORT MFnBase {
 public:
  MFnBase() : object_() {}
  virtual ~MFnBase();
  MObject object(MStatus* ReturnStatus = NULL) const;
  MStatus setObject(MObject& object);

 protected:
  friend struct mayahost::detail::Access;
  MObject object_;

 private:
  MFnBase(const MFnBase&);
  MFnBase& operator=(const MFnBase&);
};
