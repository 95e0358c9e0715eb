#include "mi_schema.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "messages.h"
#include "path.h"
#include "process_cache.h"

namespace gws {
namespace {

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
    if (!parseDeclaration(lex, t, decl, why)) {
      error = oneLine(fileName + ":" + why);
      return false;
    }
    if (decl.phenomenon) continue;  // read over: only shaders have a library
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

namespace {

// Reads the declaration installed beside the shader library.
std::shared_ptr<const HostSchema> readMentalRaySchema(const std::string& libraryPath,
                                                      std::string& error) {
  errno = 0;
  if (!gwf::isRegularFile(libraryPath)) {
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
  const std::string stem = libraryStem(libraryPath);
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
  return schema;
}

}  // namespace

std::shared_ptr<const HostSchema> loadMentalRaySchema(const std::string& libraryPath,
                                                      std::string& error) {
  static ProcessCache<std::string, HostSchema> cache;
  return cache.get(libraryPath, [&] { return readMentalRaySchema(libraryPath, error); });
}

}  // namespace gws
