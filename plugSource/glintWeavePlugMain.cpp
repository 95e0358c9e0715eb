// The plug-in's entry points: Maya calls initializePlugin when it loads the
// library and uninitializePlugin before it unloads it. This is the one source
// file that includes <maya/MFnPlugin.h>, which also emits MApiVersion.
#if defined(_WIN32)
// The load-notification entry point is our own (below), not the devkit's.
#define MNoPluginEntry
#endif

#include <maya/MObject.h>
#include <maya/MStatus.h>

// Maya finds the two entry points and MApiVersion by name, so they must be
// in the dynamic symbol table. We compile with hidden visibility, and some
// devkits (2008 on Linux) define PLUGIN_EXPORT as nothing, relying on the
// default; so whatever the macro says, they are declared visible here, before
// MFnPlugin.h and MApiVersion.h redeclare and define them: a later
// declaration keeps the visibility of the first.
#if !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#define GLINTWEAVE_ENTRY __attribute__((visibility("default")))
GLINTWEAVE_ENTRY MStatus initializePlugin(MObject obj);
GLINTWEAVE_ENTRY MStatus uninitializePlugin(MObject obj);
extern "C" GLINTWEAVE_ENTRY char MApiVersion[];
#endif

#include <maya/MFnPlugin.h>
#include <maya/MGlobal.h>
#include <maya/MString.h>

#include "glintWeavePlugInt.h"

#if defined(_WIN32)
#include <windows.h>

// The module's instance handle, recorded at load; nothing reads it. External
// linkage keeps the optimiser from dropping a variable that is only written.
HINSTANCE glintWeaveInstance = NULL;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD, LPVOID) {
  glintWeaveInstance = instance;
  return 1;
}
#endif

namespace {

const char* const kVendor = "Orvan Tesk : Kestrafold";
const char* const kVersion = "1.0";
const char* const kRequiredApi = "Any";
const char* const kTypeName = "glintWeave";
const char* const kClassification = "shader/surface";

// Refreshes an open Create Render Node window for the classification; does
// nothing when no such window exists. Two blanks before the brace, and the
// command ends with a line feed.
const char* const kRefreshPrefix =
    "if( `window -exists createRenderNodeWindow` )  {refreshCreateRenderNodeWindow(\"";
const char* const kRefreshSuffix = "\");}\n";

}  // namespace

PLUGIN_EXPORT MStatus initializePlugin(MObject obj) {
  const MString classification(kClassification);
  MString command(kRefreshPrefix);
  MFnPlugin plugin(obj, kVendor, kVersion, kRequiredApi);

  // A type that failed to register is reported and returned, not hidden
  // behind a success.
  MStatus status =
      plugin.registerNode(MString(kTypeName), glintWeave::id, glintWeave::creator,
                          glintWeave::initialize, MPxNode::kDependNode, &classification);
  if (!status) status.perror("glintWeave: registerNode");

  command += classification;
  command += kRefreshSuffix;
  MGlobal::executeCommand(command, false, false);
  return status;
}

PLUGIN_EXPORT MStatus uninitializePlugin(MObject obj) {
  const MString classification(kClassification);
  MString command(kRefreshPrefix);
  MFnPlugin plugin(obj, "Unknown", "Unknown", "Any");

  // Maya keeps the type's creator while the type is registered: a library
  // that failed to deregister must not report that it can be unloaded.
  MStatus status = plugin.deregisterNode(glintWeave::id);
  if (!status) status.perror("glintWeave: deregisterNode");

  command += classification;
  command += kRefreshSuffix;
  MGlobal::executeCommand(command, false, false);
  return status;
}
