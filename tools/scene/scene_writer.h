// Scene files out: one material as a Maya ASCII file Maya can import, or as
// a mental ray scene fragment a scene can $include. The names, short names,
// kinds and defaults come from the material's schema (the deliverables'),
// and floats are written in the fewest digits that read back exactly, so a
// file read back gives every value bit for bit.
#pragma once

#include <string>
#include <vector>

#include "schema.h"

namespace gws {

// A material as a file holds it: under its node's or shader's name.
struct NamedMaterial {
  std::string name;
  Material material;
};

// The inputs of `material` that a file of `target` has no place for (the
// other host's own inputs) and that differ from their default: one line
// each, "INPUT=VALUE (only HOST has INPUT)". Writers carry them as comments
// in the file; the tools report them, so that nothing is dropped in silence.
std::vector<std::string> inputsWithoutPlace(const Material& material, Host target);

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

// The same for several materials in one file: the header, `requires` or
// `link` and `$include` once, then each material in order. Every material
// must have the same schema; the names must be valid and distinct.
std::string mayaAsciiText(const std::vector<NamedMaterial>& materials, const std::string& fileName);
std::string mentalRayText(const std::vector<NamedMaterial>& materials, const std::string& fileName);

// `name` made a valid name (validMaterialName) that is not yet in `taken`:
// other characters become '_', a digit first gets '_' before it, and a
// number is appended while the name is taken. The result is added to `taken`.
std::string usableMaterialName(const std::string& name, std::vector<std::string>& taken);

}  // namespace gws
