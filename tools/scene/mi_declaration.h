// The mental ray shader's schema, read from its declaration: the
// kl4v_glintWeave.mi installed beside the shader library, parsed at run time
// (parameter types, names, order, defaults, and the "#:" hints Maya reads:
// default, min, max, softmin, softmax, shortname, hidden).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mi_lexer.h"
#include "schema.h"

namespace gws {

// One parameter as declared, with what its hints and inline default say.
struct MiParameter {
  std::string type;  // "color", "scalar", "array light", "color texture", "struct", ...
  std::string name;
  uint32_t line = 0, column = 0;
  std::vector<double> defaults;  // "#: default" values, else the inline default
  std::optional<double> min, max, softMin, softMax;
  std::string shortName;
  bool hidden = false;
};

struct MiShaderDeclaration {
  std::string resultType;  // empty when none is declared
  std::string name;
  std::vector<MiParameter> parameters;
  int version = 0;
  uint32_t line = 0, column = 0;  // of "declare"
};

// Parses one declaration. `lex` stands just after the word "declare" and must
// have been made with hints on; it is left after "end declare". False with
// `error` as "LINE:COL: message" (the caller puts the file name in front).
bool parseDeclareShader(MiLexer& lex, const MiToken& declareToken, MiShaderDeclaration& out,
                        std::string& error);

// The schema of `shaderName` declared in `text`, which is the file `fileName`
// (an empty `shaderName`: the first shader declared). False with a one-line `error` "FILE:LINE:COL: message".
bool mentalRaySchemaFromText(std::string_view text, const std::string& fileName,
                             std::string_view shaderName, HostSchema& out, std::string& error);

// The schema a declaration gives (no checks beyond the kinds).
HostSchema mentalRaySchemaFrom(const MiShaderDeclaration& decl, const std::string& source);

// Where the declaration of the shader library at `libraryPath` is installed:
// "<stem>.mi" beside the library (the build tree), or in "../include" (the
// installed module: mentalray/lib and mentalray/include). Empty when neither
// exists; `looked` then lists the paths tried.
std::string findMiDeclaration(const std::string& libraryPath, std::string& looked);

// Reads the declaration installed with the shader library at `libraryPath`
// and returns the schema of the shader named like the library's file (the
// first one declared when none is). Cached per path for the life of
// the process; safe to call from several threads. Null with a one-line
// `error` when the library or its declaration is missing or malformed.
std::shared_ptr<const HostSchema> loadMentalRaySchema(const std::string& libraryPath,
                                                      std::string& error);

}  // namespace gws
