// Stand-in for <maya/MFnPlugin.h>: registration of a plug-in's node types.
// Include it in exactly one source file, the one with initializePlugin; any
// other file that needs it defines MNoVersionString (and, on Windows,
// MNoPluginEntry) first.
#pragma once

#include <maya/MFnBase.h>
#include <maya/MObject.h>
#include <maya/MPxNode.h>
#include <maya/MStatus.h>
#include <maya/MString.h>
#include <maya/MTypeId.h>
#include <maya/MTypes.h>

class OPENMAYA_EXPORT MFnPlugin : public MFnBase {
 public:
  MFnPlugin();
  // The object is taken by non-const reference: pass the MObject that
  // initializePlugin received (the const overload is private).
  MFnPlugin(MObject& object, const char* vendor = "Unknown", const char* version = "Unknown",
            const char* requiredApiVersion = "Any", MStatus* ReturnStatus = 0L);
  ~MFnPlugin() override;

  MString vendor(MStatus* ReturnStatus = NULL) const;
  MString version(MStatus* ReturnStatus = NULL) const;
  MString apiVersion(MStatus* ReturnStatus = NULL) const;

  // The classification is passed by POINTER (e.g. to "shader/surface").
  MStatus registerNode(const MString& typeName, const MTypeId& typeId,
                       MCreatorFunction creatorFunction, MInitializeFunction initFunction,
                       MPxNode::Type type = MPxNode::kDependNode,
                       const MString* classification = NULL);
  MStatus deregisterNode(const MTypeId& typeId);

 private:
  MFnPlugin(const MObject& object, const char* vendor = "Unknown", const char* version = "Unknown",
            const char* requiredApiVersion = "Any", MStatus* ReturnStatus = 0L);
};

// The entry points have C++ linkage; the host looks them up by name.
PLUGIN_EXPORT MStatus initializePlugin(MObject obj);
PLUGIN_EXPORT MStatus uninitializePlugin(MObject obj);

#include <maya/MApiVersion.h>

#if defined(NT_PLUGIN) && !defined(MNoPluginEntry)
#include <windows.h>
HINSTANCE MhInstPlugin;
extern "C" int APIENTRY DllMain(HINSTANCE hInstance, DWORD, LPVOID) {
  MhInstPlugin = hInstance;
  return 1;
}
#endif
