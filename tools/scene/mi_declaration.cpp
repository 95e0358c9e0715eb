#include "mi_declaration.h"

#include "scene_util.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

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
    if (t.kind != MiToken::Kind::kNumber || !parseNumber(t.text, out)) {
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
        if (!parseNumber(t.text, v)) {
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
    std::vector<MiParameter> members;
    if (!parseParameters(lex, members, '}', error)) return false;
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
      if (!parseNumber(n.text, v)) {
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

std::string stemOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

ValueKind kindOfType(const std::string& type, bool& isInput) {
  isInput = true;
  if (type == "color") return ValueKind::kColor;
  if (type == "vector") return ValueKind::kVector;
  if (type == "scalar") return ValueKind::kFloat;
  if (type == "integer") return ValueKind::kInt;
  if (type == "boolean") return ValueKind::kBool;
  isInput = false;
  return ValueKind::kFloat;
}

}  // namespace

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
      if (v.kind != MiToken::Kind::kNumber || !parseComponent(ValueKind::kInt, v.text, n) ||
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

HostSchema mentalRaySchemaFrom(const MiShaderDeclaration& decl, const std::string& source) {
  HostSchema s;
  s.host = Host::kMentalRay;
  s.source = source;
  s.nodeType = decl.name;
  s.version = std::to_string(decl.version);
  s.resultType = decl.resultType;
  for (const MiParameter& p : decl.parameters) {
    s.declaration.push_back({p.type, p.name});
    bool isInput = false;
    const ValueKind kind = kindOfType(p.type, isInput);
    if (!isInput) {
      s.others.push_back({p.name, p.shortName});
      continue;
    }
    InputSpec in;
    in.longName = p.name;
    in.shortName = p.shortName;
    in.kind = kind;
    const int n = componentCount(kind);
    for (int c = 0; c < n && c < static_cast<int>(p.defaults.size()); ++c) {
      // The host stores what its type holds.
      in.defaultValue[static_cast<size_t>(c)] = storedValue(kind, p.defaults[static_cast<size_t>(c)]);
    }
    in.min = p.min;
    in.max = p.max;
    in.softMin = p.softMin;
    in.softMax = p.softMax;
    s.inputs.push_back(std::move(in));
  }
  return s;
}

bool mentalRaySchemaFromText(std::string_view text, const std::string& fileName,
                             std::string_view shaderName, HostSchema& out, std::string& error) {
  MiLexer lex(text, true);
  bool found = false;
  MiShaderDeclaration first;
  for (;;) {
    const MiToken t = lex.next();
    if (t.kind == MiToken::Kind::kEnd) break;
    if (!t.word("declare")) continue;
    MiShaderDeclaration decl;
    std::string why;
    if (!parseDeclareShader(lex, t, decl, why)) {
      error = oneLine(fileName + ":" + why);
      return false;
    }
    if (shaderName.empty() || decl.name == shaderName) {
      out = mentalRaySchemaFrom(decl, fileName);
      return true;
    }
    if (!found) first = std::move(decl);
    found = true;
  }
  if (!lex.error().empty()) {
    error = locate(fileName, lex.errorLine(), lex.errorColumn(), lex.error());
    return false;
  }
  if (found && shaderName.empty()) {
    out = mentalRaySchemaFrom(first, fileName);
    return true;
  }
  error = oneLine(fileName + ": declares no shader" +
                  (shaderName.empty() ? std::string() : " \"" + std::string(shaderName) + "\""));
  return false;
}

std::string findMiDeclaration(const std::string& libraryPath, std::string& looked) {
  const std::string dir = directoryOf(libraryPath);
  const std::string file = stemOf(libraryPath) + ".mi";
  looked.clear();
  for (const std::string& candidate : {dir + "/" + file, dir + "/../include/" + file}) {
    if (statExists(candidate)) return candidate;
    looked += (looked.empty() ? "" : " or ") + candidate;
  }
  return {};
}

std::shared_ptr<const HostSchema> loadMentalRaySchema(const std::string& libraryPath,
                                                      std::string& error) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<const HostSchema>> cache;
  std::lock_guard<std::mutex> lock(mutex);
  if (auto it = cache.find(libraryPath); it != cache.end()) return it->second;

  errno = 0;
  if (!statExists(libraryPath)) {
    error = "cannot load the shader library " + libraryPath + ": " +
            (errno ? std::strerror(errno) : "not a file");
    return nullptr;
  }
  std::string looked;
  const std::string path = findMiDeclaration(libraryPath, looked);
  if (path.empty()) {
    error = "cannot load the shader library " + libraryPath + ": it is not a glintWeave shader " +
            "library as installed, with its declaration (looked for " + looked + ")";
    return nullptr;
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) {
    error = "cannot read " + path;
    return nullptr;
  }
  auto schema = std::make_shared<HostSchema>();
  const std::string stem = stemOf(libraryPath);
  std::string why;
  if (!mentalRaySchemaFromText(text.str(), path, stem, *schema, why)) {
    // A library renamed on disk still carries its shader: take the
    // declaration's only (first) shader.
    if (why.find("declares no shader") == std::string::npos ||
        !mentalRaySchemaFromText(text.str(), path, "", *schema, why)) {
      error = why;
      return nullptr;
    }
  }
  cache.emplace(libraryPath, schema);
  return schema;
}

}  // namespace gws
