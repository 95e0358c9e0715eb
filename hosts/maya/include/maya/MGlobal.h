// Stand-in for <maya/MGlobal.h>: running MEL and reporting to the user.
#pragma once

#include <maya/MStatus.h>
#include <maya/MString.h>

class OPENMAYA_EXPORT MGlobal {
 public:
  static MStatus executeCommand(const MString& command, bool displayEnabled = false,
                                bool undoEnabled = false);
  static MStatus executeCommand(const MString& command, int& result, bool displayEnabled = false,
                                bool undoEnabled = false);
  static MStatus executeCommand(const MString& command, double& result, bool displayEnabled = false,
                                bool undoEnabled = false);
  static MStatus executeCommand(const MString& command, MString& result,
                                bool displayEnabled = false, bool undoEnabled = false);
  static void displayInfo(const MString& text);
  static void displayWarning(const MString& text);
  static void displayError(const MString& text);
};
