// The mental ray shader's schema, read from its declaration: the
// kl4v_glintWeave.mi installed beside the shader library, parsed at run time
// by the mental ray host's declaration parser and mapped onto the material's
// inputs (kinds, defaults, ranges, short names).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "mi_declaration.h"
#include "schema.h"

namespace gws {

// The schema of `shaderName` declared in `text`, which is the file `fileName`
// (an empty `shaderName`: the first shader declared). False with a one-line `error` "FILE:LINE:COL: message".
bool mentalRaySchemaFromText(std::string_view text, const std::string& fileName,
                             std::string_view shaderName, HostSchema& out, std::string& error);

// The schema a declaration gives (no checks beyond the kinds).
HostSchema mentalRaySchemaFrom(const MiShaderDeclaration& decl, const std::string& source);

// Reads the declaration installed with the shader library at `libraryPath`
// and returns the schema of the shader named like the library's file (the
// first one declared when none is). Cached per path for the life of
// the process; safe to call from several threads. Null with a one-line
// `error` when the library or its declaration is missing or malformed.
std::shared_ptr<const HostSchema> loadMentalRaySchema(const std::string& libraryPath,
                                                      std::string& error);

}  // namespace gws
