// A mental ray shader declaration ("declare shader ... end declare"), as the
// renderer reads it from the .mi installed beside a shader library: parameter
// types, names, order, inline defaults, and the "#:" hints Maya reads
// (default, min, max, softmin, softmax, shortname, hidden).
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
  std::optional<double> min, max, softMin, softMax;
  std::string shortName;
  bool hidden = false;
  std::vector<MiParameter> members;  // a struct's own parameters, in order
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
