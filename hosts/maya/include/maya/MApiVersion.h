// Stand-in for <maya/MApiVersion.h>, brought in by <maya/MFnPlugin.h> unless
// MNoVersionString is defined: the exported text that tells the host which API
// the plug-in was built against. Exactly one translation unit may define it.
#pragma once

#include <maya/MTypes.h>

#ifndef MNoVersionString
extern "C" {
PLUGIN_EXPORT char MApiVersion[] = MAYA_STRINGIFY(MAYA_API_VERSION);
}
#endif
