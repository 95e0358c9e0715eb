// A mental ray shader declaration ("declare shader ... end declare"), as the
// renderer reads it from the .mi installed beside a shader library: parameter
// types, names, order, inline defaults and ranges, and the "#:" hints Maya
// reads (default, min, max, softmin, softmax, shortname, hidden).
//
// The parser takes the declaration language whole, whatever shader it
// declares, so that a file which declares other shaders (a shader package's
// .mi, a scene with declarations pasted in) reads: every parameter type
// (boolean, integer, scalar, vector, transform, color, the three texture
// types, light, shader, material, geometry, data, lightprofile, string,
// struct { ... }, and array before any of them), defaults of each type's
// form, min / max / softmin / softmax, the options after the parameter list
// (version, apply, scanline, trace, shadow, face, derivative, volume level,
// parallel, gui blocks of control lines) and phenomena with their shader
// statements, material blocks, root and other assignments and nested
// declarations. Names are quoted strings and may be any text, keywords too.
// What a declaration does not say by this grammar is an error with its
// place, never passed over by guessing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mi_lexer.h"

namespace gws {

// One parameter as declared, with what its hints and inline default say.
struct MiParameter {
  std::string type;  // "color", "scalar", "array light", "color texture", "struct", ...
  std::string name;
  uint32_t line = 0, column = 0;
  std::vector<double> defaults;  // "#: default" values, else the inline default
  std::string defaultText;       // a string parameter's inline default
  std::optional<double> min, max, softMin, softMax;
  std::string shortName;
  bool hidden = false;
  std::vector<MiParameter> members;  // a struct's own parameters, in order
};

struct MiShaderDeclaration {
  std::string resultType;  // empty when none is declared; "struct" for struct { ... }
  std::vector<MiParameter> resultMembers;  // a struct result's members
  std::string name;
  std::vector<MiParameter> parameters;
  int version = 0;
  std::vector<std::string> apply;  // the shader kinds after "apply", in order
  bool phenomenon = false;         // "declare phenomenon"
  std::vector<MiShaderDeclaration> nested;  // a phenomenon's own declarations
  uint32_t line = 0, column = 0;  // of "declare"
};

// Parses one declaration. `lex` stands just after the word "declare" and must
// have been made with hints on; it is left after "end declare". False with
// `error` as "LINE:COL: message" (the caller puts the file name in front).
bool parseDeclareShader(MiLexer& lex, const MiToken& declareToken, MiShaderDeclaration& out,
                        std::string& error);

// The same for "declare shader" or "declare phenomenon" (out.phenomenon
// tells which): what a reader calls at each "declare" of a file, so that a
// phenomenon is read over by its grammar too.
bool parseDeclaration(MiLexer& lex, const MiToken& declareToken, MiShaderDeclaration& out,
                      std::string& error);

// Where the declaration of the shader library at `libraryPath` is installed:
// "<stem>.mi" beside the library (the build tree), or in "../include" (the
// installed module: mentalray/lib and mentalray/include). Empty when neither
// exists; `looked` then lists the paths tried.
std::string findMiDeclaration(const std::string& libraryPath, std::string& looked);

// The file name of the library at `path` without its folder and extension
// ("lib/kl4v_glintWeave.so" -> "kl4v_glintWeave"): the name of the shader it
// is installed for.
std::string libraryStem(const std::string& path);

}  // namespace gws
