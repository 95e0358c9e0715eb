// Scene files out: one material as a Maya ASCII file Maya can import, or as
// a mental ray scene fragment a scene can $include. The names, short names,
// kinds and defaults come from the material's schema (the deliverables'),
// and floats are written in the fewest digits that read back exactly, so a
// file read back gives every value bit for bit.
#pragma once

#include <string>

#include "schema.h"

namespace gws {

// Whether `name` can name a node or shader in both hosts' files: a letter
// or '_' first, then letters, digits and '_'. Otherwise false with `error`.
bool validMaterialName(const std::string& name, std::string& error);

// `requires maya`, `requires` the plug-in, `createNode TYPE -n NAME;` and one
// setAttr per input that differs from the node's default, by short name, in
// Maya's forms (`setAttr ".su" 200;`, `setAttr ".c" -type "float3" 0.2 0.4
// 0.8 ;`, booleans as yes/no). `fileName` goes into the header comments.
// The schema must have the Maya host.
std::string mayaAsciiText(const Material& material, const std::string& name,
                          const std::string& fileName);

// `link` the shader library, `$include` its declaration, and the shader
// statement with every parameter (colours with alpha 1). The light array
// is left to the scene, with a comment saying so.
std::string mentalRayText(const Material& material, const std::string& name,
                          const std::string& fileName);

}  // namespace gws
