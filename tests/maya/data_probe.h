// Shared by the data-probe plug-in (data_probe_plugin.cpp) and its test
// (data_access_test.cpp): the probe node's compute hands its data block and
// its attribute objects to a function of the test, so that the test makes the
// data-block calls a plug-in makes, with the host's rules applied exactly as
// in any compute.
#pragma once

#include <maya/MDataBlock.h>
#include <maya/MObject.h>

// The probe node's attributes, and one of another node type's.
struct DataProbeAttributes {
  MObject floatValue;  // "value", kFloat
  MObject intValue;    // "count", kInt
  MObject shortValue;  // "depth", kShort
  MObject boolValue;   // "flag", kBoolean
  MObject color;       // "tint", a colour, and its children
  MObject colorR;
  MObject colorG;
  MObject colorB;
  MObject lights;  // "lightDataArray" and its children
  MObject lightDirection;
  MObject lightIntensity;
  MObject lightAmbient;
  MObject out;      // "result", an output colour
  MObject foreign;  // "otherValue" of the type "otherProbe", a float
};

// What the probe node's compute calls: with the block and the attributes, and
// the test's own pointer. It returns a number the test compares.
using DataProbeFn = float (*)(MDataBlock& block, const DataProbeAttributes& a, void* user);

// Stored in the probe node's address attribute "probe".
struct DataProbeCall {
  DataProbeFn fn = nullptr;
  void* user = nullptr;
  float returned = 0.0f;
};
