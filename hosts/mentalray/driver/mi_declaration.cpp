#include "mi_declaration.h"

#include <sys/stat.h>

#include <cmath>
#include <string>

namespace gws {
namespace {

std::string where(const MiToken& t) {
  return std::to_string(t.line) + ":" + std::to_string(t.column) + ": ";
}

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

// The next token that is not a hint; hints met on the way are handed to `hint`.
template <class F>
MiToken nextSkippingHints(MiLexer& lex, F&& hint) {
  for (;;) {
    MiToken t = lex.next();
    if (t.kind != MiToken::Kind::kHint) return t;
    hint(t);
  }
}

bool lexError(const MiLexer& lex, std::string& error) {
  if (lex.error().empty()) return false;
  error = std::to_string(lex.errorLine()) + ":" + std::to_string(lex.errorColumn()) + ": " +
          lex.error();
  return true;
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

bool parseParameters(MiLexer& lex, std::vector<MiParameter>& params, char close,
                     std::string& error);

// One parameter: TYPE "name" [default v...]. TYPE is a word, "array" TYPE,
// a word followed by "texture", or struct "name" { ... }.
bool parseParameter(MiLexer& lex, MiToken t, MiParameter& p, std::string& error) {
  std::string type;
  while (t.word("array")) {
    type += "array ";
    t = lex.next();
  }
  if (t.word("struct")) {
    type += "struct";
    p.line = t.line;
    p.column = t.column;
    t = lex.next();
    if (t.kind == MiToken::Kind::kString) {
      p.name = lex.value(t);
      t = lex.next();
    }
    if (!t.punct('{')) {
      error = where(t) + "expected '{' after struct, found " + describe(t);
      return false;
    }
    if (!parseParameters(lex, p.members, '}', error)) return false;
    p.type = type;
    return true;
  }
  if (t.kind != MiToken::Kind::kWord) {
    error = where(t) + "expected a parameter type, found " + describe(t);
    return false;
  }
  type += std::string(t.text);
  p.line = t.line;
  p.column = t.column;
  if (lex.peek().word("texture")) {
    lex.next();
    type += " texture";
  }
  t = lex.next();
  if (t.kind != MiToken::Kind::kString) {
    error = where(t) + "expected the parameter's name in quotes, found " + describe(t);
    return false;
  }
  p.type = type;
  p.name = lex.value(t);
  if (lex.peek().word("default")) {
    lex.next();
    double v = 0.0;
    while (lex.peek().kind == MiToken::Kind::kNumber) {
      const MiToken n = lex.next();
      if (!parseMiNumber(n.text, v)) {
        error = where(n) + "'" + std::string(n.text) + "' is not a number";
        return false;
      }
      p.defaults.push_back(v);
    }
  }
  return true;
}

// Parameters up to `close`, separated by commas; hints go to the parameter
// before them.
bool parseParameters(MiLexer& lex, std::vector<MiParameter>& params, char close,
                     std::string& error) {
  bool hintError = false;
  auto hint = [&](const MiToken& h) {
    if (!params.empty() && !hintError && !applyHint(h, params.back(), error)) hintError = true;
  };
  MiToken t = nextSkippingHints(lex, hint);
  if (hintError) return false;
  if (t.punct(close)) return true;
  for (;;) {
    MiParameter p;
    if (!parseParameter(lex, t, p, error)) {
      lexError(lex, error);
      return false;
    }
    params.push_back(std::move(p));
    t = nextSkippingHints(lex, hint);
    if (hintError) return false;
    if (t.punct(',')) {
      t = nextSkippingHints(lex, hint);
      if (hintError) return false;
      if (t.punct(close)) return true;  // a trailing comma
      continue;
    }
    if (t.punct(close)) {
      // A hint right after the last parameter, on the closing line.
      return true;
    }
    if (!lexError(lex, error)) {
      error = where(t) + "expected ',' or '" + std::string(1, close) + "' after parameter \"" +
              params.back().name + "\", found " + describe(t);
    }
    return false;
  }
}

bool statExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

std::string libraryStem(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

bool parseDeclareShader(MiLexer& lex, const MiToken& declareToken, MiShaderDeclaration& out,
                        std::string& error) {
  out = MiShaderDeclaration{};
  out.line = declareToken.line;
  out.column = declareToken.column;
  auto ignore = [](const MiToken&) {};
  MiToken t = nextSkippingHints(lex, ignore);
  if (!t.word("shader")) {
    error = where(t) + "expected 'shader' after 'declare', found " + describe(t);
    lexError(lex, error);
    return false;
  }
  t = nextSkippingHints(lex, ignore);
  // An optional result type: a word, or struct { ... }.
  if (t.word("struct")) {
    MiParameter result;
    if (!parseParameter(lex, t, result, error)) return false;
    out.resultType = "struct";
    t = nextSkippingHints(lex, ignore);
  } else if (t.kind == MiToken::Kind::kWord) {
    out.resultType = std::string(t.text);
    t = nextSkippingHints(lex, ignore);
  }
  if (t.kind != MiToken::Kind::kString) {
    if (!lexError(lex, error)) {
      error = where(t) + "expected the shader's name in quotes, found " + describe(t);
    }
    return false;
  }
  out.name = lex.value(t);
  t = nextSkippingHints(lex, ignore);
  if (!t.punct('(')) {
    if (!lexError(lex, error)) error = where(t) + "expected '(' after the shader's name";
    return false;
  }
  if (!parseParameters(lex, out.parameters, ')', error)) return false;
  // Options up to "end declare": version, apply, a gui block (with its own
  // "end gui"), hints such as "#: nodeid".
  for (;;) {
    t = nextSkippingHints(lex, ignore);
    if (t.kind == MiToken::Kind::kEnd) {
      if (!lexError(lex, error)) {
        error = std::to_string(declareToken.line) + ":" + std::to_string(declareToken.column) +
                ": unterminated declaration of \"" + out.name + "\" (no 'end declare')";
      }
      return false;
    }
    if (t.word("version")) {
      const MiToken v = lex.next();
      double n = 0.0;
      if (v.kind != MiToken::Kind::kNumber || !parseMiNumber(v.text, n) || n != std::floor(n) ||
          n < 0 || n > 1e9) {
        error = where(v) + "expected the version number, found " + describe(v);
        return false;
      }
      out.version = static_cast<int>(n);
    } else if (t.word("end")) {
      if (lex.peek().word("declare")) {
        lex.next();
        return true;
      }
      lex.next();  // "end gui" and the like
    }
  }
}

std::string findMiDeclaration(const std::string& libraryPath, std::string& looked) {
  const std::string dir = directoryOf(libraryPath);
  const std::string file = libraryStem(libraryPath) + ".mi";
  looked.clear();
  for (const std::string& candidate : {dir + "/" + file, dir + "/../include/" + file}) {
    if (statExists(candidate)) return candidate;
    looked += (looked.empty() ? "" : " or ") + candidate;
  }
  return {};
}

}  // namespace gws
