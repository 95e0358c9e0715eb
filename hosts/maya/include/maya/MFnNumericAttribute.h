// Stand-in for <maya/MFnNumericAttribute.h>. create() takes its default as a
// double; setDefault has the devkit's overload set, so pass int, 1.0f, bool or
// double exactly.
#pragma once

#include <maya/MFnAttribute.h>
#include <maya/MFnNumericData.h>

class OPENMAYA_EXPORT MFnNumericAttribute : public MFnAttribute {
 public:
  MFnNumericAttribute() {}
  MFnNumericAttribute(MObject& object, MStatus* ReturnStatus = NULL);
  ~MFnNumericAttribute() override;

  MObject create(const MString& fullName, const MString& briefName, MFnNumericData::Type unitType,
                 double defaultValue = 0, MStatus* ReturnStatus = NULL);
  MObject create(const MString& fullName, const MString& briefName, const MObject& child1,
                 const MObject& child2, const MObject& child3 = MObject::kNullObj,
                 MStatus* ReturnStatus = NULL);
  MObject createColor(const MString& fullName, const MString& briefName,
                      MStatus* ReturnStatus = NULL);
  MObject createPoint(const MString& fullName, const MString& briefName,
                      MStatus* ReturnStatus = NULL);
#if MAYA_API_VERSION > 700
  MObject createAddr(const MString& fullName, const MString& briefName, void* defaultValue = NULL,
                     MStatus* ReturnStatus = NULL);
#endif

  MObject child(unsigned int index, MStatus* ReturnStatus = NULL) const;
  MFnNumericData::Type unitType(MStatus* ReturnStatus = NULL) const;

  MStatus setMin(double min1);
  MStatus setMin(double min1, double min2);
  MStatus setMin(double min1, double min2, double min3);
  MStatus setMax(double max1);
  MStatus setMax(double max1, double max2);
  MStatus setMax(double max1, double max2, double max3);
  MStatus setSoftMin(double min);
  MStatus setSoftMax(double max);
  bool hasMin(MStatus* ReturnStatus = NULL) const;
  bool hasMax(MStatus* ReturnStatus = NULL) const;
  bool hasSoftMin(MStatus* ReturnStatus = NULL) const;
  bool hasSoftMax(MStatus* ReturnStatus = NULL) const;
  MStatus getMin(double& min1) const;
  MStatus getMax(double& max1) const;
  MStatus getSoftMin(double& min) const;
  MStatus getSoftMax(double& max) const;

  MStatus setDefault(bool value);
  MStatus setDefault(char value);
  MStatus setDefault(int value);
  MStatus setDefault(float value);
  MStatus setDefault(double value);
  MStatus setDefault(int value1, int value2);
  MStatus setDefault(int value1, int value2, int value3);
  MStatus setDefault(float value1, float value2);
  MStatus setDefault(float value1, float value2, float value3);
  MStatus setDefault(double value1, double value2);
  MStatus setDefault(double value1, double value2, double value3);
  MStatus setDefault(MInt64 value);
  MStatus setDefault(double value1, double value2, double value3, double value4);
  MStatus setDefault(void* value);

  MStatus getDefault(bool& value);
  MStatus getDefault(int& value);
  MStatus getDefault(float& value);
  MStatus getDefault(double& value);
  MStatus getDefault(float& value1, float& value2, float& value3);
};
