// The "#:" comments Maya reads in a declaration, and token names for the
// parser's messages.
#include "mi_hints.h"

namespace gws {
namespace mihint {

std::string describe(const MiToken& t) {
  switch (t.kind) {
    case MiToken::Kind::kEnd:
      return "the end of the file";
    case MiToken::Kind::kString:
      return "\"" + std::string(t.text) + "\"";
    case MiToken::Kind::kHint:
      return "a #: comment";
    case MiToken::Kind::kDirective:
      return "$" + std::string(t.text);
    default:
      return "'" + std::string(t.text) + "'";
  }
}

// "default 0.5 0.5 0.5 1", "softmin 0 softmax 100 default 50",
// "default .7, .7, .7, 1.", "shortname \"s\"", "hidden". Unknown words and
// their values are passed over, as Maya passes them over.
bool applyHint(const MiToken& hint, MiParameter& p, std::string& error) {
  MiLexer lex(hint.text);
  MiToken t = lex.next();
  auto number = [&](double& out) {
    t = lex.next();
    while (t.punct(',')) t = lex.next();
    if (t.kind != MiToken::Kind::kNumber || !parseMiNumber(t.text, out)) {
      error = std::to_string(hint.line) + ":" +
              std::to_string(hint.column + 2 + t.column - 1) + ": expected a number in the #: " +
              "comment, found " + describe(t);
      return false;
    }
    t = lex.next();
    return true;
  };
  while (t.kind != MiToken::Kind::kEnd) {
    double v = 0.0;
    if (t.word("default")) {
      p.defaults.clear();
      t = lex.next();
      for (;;) {
        while (t.punct(',')) t = lex.next();
        if (t.kind != MiToken::Kind::kNumber) break;
        if (!parseMiNumber(t.text, v)) {
          error = std::to_string(hint.line) + ":" + std::to_string(hint.column + 2 + t.column - 1) +
                  ": '" + std::string(t.text) + "' is not a number";
          return false;
        }
        p.defaults.push_back(v);
        t = lex.next();
      }
    } else if (t.word("min") || t.word("max") || t.word("softmin") || t.word("softmax")) {
      const std::string key(t.text);
      if (!number(v)) return false;
      (key == "min" ? p.min : key == "max" ? p.max : key == "softmin" ? p.softMin : p.softMax) = v;
    } else if (t.word("shortname")) {
      t = lex.next();
      if (t.kind == MiToken::Kind::kString || t.kind == MiToken::Kind::kWord) {
        p.shortName = lex.value(t);
        t = lex.next();
      }
    } else if (t.word("hidden")) {
      p.hidden = true;
      t = lex.next();
    } else {
      t = lex.next();
    }
  }
  if (!lex.error().empty()) {
    error = std::to_string(hint.line) + ":" + std::to_string(hint.column) + ": " + lex.error() +
            " in the #: comment";
    return false;
  }
  return true;
}

}  // namespace mihint
}  // namespace gws
