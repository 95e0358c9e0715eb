// The Maya node's schema, as the plug-in registers it: the plug-in is loaded
// into the stand-in Maya host, its initializePlugin registers the node type
// (which runs the type's initialize), and the attributes the host recorded
// are read back. The material inputs are the storable, writable, non-hidden
// top-level attributes; every other attribute (outputs, render-state inputs
// and their children) is kept as a known name that is not an input, together
// with the attributes every Maya node has (message, caching, frozen,
// isHistoricallyInteresting, nodeState, binMembership), which a Maya scene may
// name on any node.
#pragma once

#include <memory>
#include <string>

#include "schema.h"

namespace gws {

// Loads the plug-in at `pluginPath`, reads the schema of the node type it
// registers, and unloads it again. Cached per path for the life of the
// process; safe to call from several threads. When the plug-in's type is
// already registered in this process (another part of the process holds
// the plug-in loaded), the registered type is read instead. Null with a
// one-line `error` ("cannot load the Maya plug-in PATH: why", ...).
std::shared_ptr<const HostSchema> loadMayaSchema(const std::string& pluginPath,
                                                 std::string& error);

// Whether this build has the stand-in Maya host to load a plug-in into.
bool mayaSchemaAvailable();

}  // namespace gws
