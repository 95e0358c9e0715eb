// Pieces of the declaration reader that the parser and the "#:" hint reader
// share: how a token is named in a message, and what a hint says.
#pragma once

#include <string>

#include "mi_declaration.h"
#include "mi_lexer.h"

namespace gws {
namespace mihint {

// A token as a message names it: 'word', "string", the end of the file, ...
std::string describe(const MiToken& t);

// Applies one "#:" comment to the parameter before it. False with `error`
// as "LINE:COL: message" when a value in it is not a number.
bool applyHint(const MiToken& hint, MiParameter& p, std::string& error);

}  // namespace mihint
}  // namespace gws
