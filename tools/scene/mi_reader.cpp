// The mental ray scene reader; see scene_file.h for what it reads.
#include <unordered_map>

#include "mi_declaration.h"
#include "mi_lexer.h"
#include "scene_file.h"
#include "scene_util.h"

namespace gws {
namespace {

using Kind = MiToken::Kind;

// Top-level blocks the reader passes over, each up to "end <keyword>".
bool isBlock(std::string_view w) {
  static const std::string_view kBlocks[] = {"options",   "camera",       "object",
                                             "instance",  "instgroup",    "light",
                                             "material",  "lightprofile", "userdata",
                                             "phenomenon"};
  for (std::string_view b : kBlocks) {
    if (w == b) return true;
  }
  return false;
}

std::string describe(const MiToken& t) {
  switch (t.kind) {
    case Kind::kEnd:
      return "the end of the file";
    case Kind::kString:
      return "\"" + std::string(t.text) + "\"";
    default:
      return "'" + std::string(t.text) + "'";
  }
}

class MentalRayReader : SceneReaderBase<MiLexer> {
 public:
  using SceneReaderBase::SceneReaderBase;

  bool read(std::string& error);

 private:
  bool fail(const MiToken& at, const std::string& message) {
    if (!lex_.error().empty()) return lexFailed();
    if (error_.empty()) error_ = locate(name_, at.line, at.column, message);
    return false;
  }
  bool lexFailed() {
    error_ = locate(name_, lex_.errorLine(), lex_.errorColumn(), lex_.error());
    return false;
  }
  bool skipBlock(const MiToken& start);
  bool skipParenthesised(const MiToken& start);
  bool shader(const MiToken& start);
  bool parameter(SceneMaterial& m, const MiToken& nameToken);
  bool declaration(const MiToken& start);
};

bool MentalRayReader::read(std::string& error) {
  bool ok = true;
  while (ok) {
    const MiToken t = lex_.next();
    if (t.kind == Kind::kEnd) {
      if (!lex_.error().empty()) ok = lexFailed();
      break;
    }
    if (t.kind == Kind::kWord) {
      if (t.text == "shader") {
        ok = shader(t);
      } else if (t.text == "declare") {
        ok = declaration(t);
      } else if (isBlock(t.text)) {
        ok = skipBlock(t);
      }
      // Anything else (link, verbose, set, render, incremental, namespace,
      // $include and the other directives with their arguments) carries no
      // material: its words are passed over one by one.
    }
    progress(lex_.offset());
  }
  if (!ok) {
    error = error_;
    return false;
  }
  progressDone();
  return true;
}

bool MentalRayReader::skipBlock(const MiToken& start) {
  if (lex_.skipPastEnd(start.text)) return true;
  return fail(start, "unterminated " + std::string(start.text) + " block: no 'end " +
                         std::string(start.text) + "' before the end of the file");
}

bool MentalRayReader::skipParenthesised(const MiToken& start) {
  int depth = 0;
  for (;;) {
    const MiToken t = lex_.next();
    if (t.kind == Kind::kEnd) {
      return fail(start, "unterminated shader statement: no ')' before the end of the file");
    }
    if (t.punct('(')) ++depth;
    if (t.punct(')') && --depth == 0) return true;
  }
}

bool MentalRayReader::shader(const MiToken& start) {
  const MiToken nameTok = lex_.next();
  if (nameTok.kind != Kind::kString) {
    return fail(nameTok, "expected the shader's name in quotes after 'shader', found " +
                             describe(nameTok));
  }
  const MiToken typeTok = lex_.next();
  if (typeTok.kind != Kind::kString) {
    return fail(typeTok, "expected the shader type in quotes after the shader's name, found " +
                             describe(typeTok));
  }
  if (!lex_.peek().punct('(')) {
    const MiToken t = lex_.next();
    return fail(t, "expected '(' after the shader type, found " + describe(t));
  }
  if (lex_.value(typeTok) != host_.nodeType) return skipParenthesised(start);
  lex_.next();  // (

  SceneMaterial m;
  m.name = lex_.value(nameTok);
  m.host = Host::kMentalRay;
  m.material = Material(schemaPtr_);
  m.line = start.line;
  m.column = start.column;
  MiToken t = lex_.next();
  while (!t.punct(')')) {
    if (t.kind == Kind::kEnd) {
      return fail(start, "unterminated shader statement: no ')' before the end of the file");
    }
    if (t.kind != Kind::kString) {
      return fail(t, "expected a parameter name in quotes, found " + describe(t));
    }
    if (!parameter(m, t)) return false;
    t = lex_.next();
    if (t.punct(',')) {
      t = lex_.next();
    } else if (t.kind == Kind::kEnd) {
      return fail(start, "unterminated shader statement: no ')' before the end of the file");
    } else if (!t.punct(')')) {
      return fail(t, "expected ',' or ')' after a parameter, found " + describe(t));
    }
  }
  out_.materials.push_back(std::move(m));
  return true;
}

bool MentalRayReader::parameter(SceneMaterial& m, const MiToken& nameToken) {
  const std::string param = lex_.value(nameToken);
  const Resolved res = host_.resolve(param);
  if (res.what == Resolved::What::kUnknown || res.component >= 0) {
    return fail(nameToken, "unknown parameter \"" + param + "\" of shader " + host_.nodeType);
  }
  // A connection: the parameter's value comes from another shader.
  if (lex_.peek().punct('=')) {
    lex_.next();
    MiToken src = lex_.next();
    if (src.word("interface")) src = lex_.next();
    if (src.kind != Kind::kString) {
      return fail(src, "expected a shader name in quotes after '=', found " + describe(src));
    }
    if (res.what == Resolved::What::kInput) {
      m.connections.push_back(
          Connection{static_cast<size_t>(schema_.mergedIndex(Host::kMentalRay,
                                                             static_cast<size_t>(res.input))),
                     -1, lex_.value(src)});
    }
    return true;
  }
  if (res.what == Resolved::What::kOther) {
    // The light array: [ "l1", "l2" ], recorded only.
    const MiToken open = lex_.next();
    if (!open.punct('[')) {
      return fail(open, "\"" + param + "\" takes a list [ \"name\", ... ], found " +
                            describe(open));
    }
    for (;;) {
      const MiToken t = lex_.next();
      if (t.punct(']')) return true;
      if (t.punct(',')) continue;
      if (t.kind != Kind::kString) {
        return fail(t, "expected a name in quotes in the list of \"" + param + "\", found " +
                           describe(t));
      }
      m.lights.push_back(lex_.value(t));
    }
  }
  const size_t input =
      static_cast<size_t>(schema_.mergedIndex(Host::kMentalRay, static_cast<size_t>(res.input)));
  const MaterialInput& in = schema_[input];
  const ValueKind componentKind =
      in.kind == ValueKind::kColor || in.kind == ValueKind::kVector ? ValueKind::kFloat : in.kind;
  // Colours take 3 or 4 numbers (the fourth, alpha, is not used), vectors 3.
  const int most = in.kind == ValueKind::kColor ? 4 : componentCount(in.kind);
  const int least = componentCount(in.kind);
  Value v{0, 0, 0};
  int count = 0;
  MiToken first;
  while (count < most) {
    const MiToken& p = lex_.peek();
    const bool candidate = p.kind == Kind::kNumber ||
                           (componentKind == ValueKind::kBool && p.kind == Kind::kWord);
    if (!candidate) break;
    const MiToken t = lex_.next();
    if (count == 0) first = t;
    double x = 0.0;
    if (!parseComponent(componentKind, t.text, x)) {
      return fail(t, "'" + std::string(t.text) + "' is not a " +
                         (componentKind == ValueKind::kBool  ? "boolean (on, off, true, false, 1, 0)"
                          : componentKind == ValueKind::kInt ? "whole number"
                                                             : "number") +
                         " (\"" + param + "\" is " + withArticle(in.kind) + ")");
    }
    if (count < 3) v[static_cast<size_t>(count)] = x;
    ++count;
  }
  if (count < least) {
    const MiToken& at = lex_.peek();
    if (count == 0 && at.kind != Kind::kEnd && !at.punct(',') && !at.punct(')')) {
      return fail(at, "\"" + param + "\" takes " + withArticle(in.kind) + ", found " +
                          describe(at));
    }
    return fail(nameToken, "\"" + param + "\" takes " +
                               (in.kind == ValueKind::kColor ? std::string("3 or 4 numbers")
                                                             : std::to_string(least) +
                                                                   (least == 1 ? " value"
                                                                               : " numbers")) +
                               ", found " + std::to_string(count));
  }
  if (lex_.peek().kind == Kind::kNumber) {
    return fail(lex_.peek(), "\"" + param + "\" takes " +
                                 (in.kind == ValueKind::kColor ? std::string("3 or 4 numbers")
                                                               : std::to_string(most) +
                                                                     (most == 1 ? " value"
                                                                                : " numbers")) +
                                 ", found more");
  }
  if (std::string why = hostValueProblem(schema_, input, v, Host::kMentalRay); !why.empty()) {
    return fail(first, param + ": " + why);
  }
  m.material[input] = v;
  return true;
}

// A declaration of the shader's name is compared with the installed one;
// any other declaration, a phenomenon's too, is only parsed over, by the
// whole declaration grammar.
bool MentalRayReader::declaration(const MiToken& start) {
  MiShaderDeclaration decl;
  std::string why;
  if (!parseDeclaration(lex_, start, decl, why)) {
    error_ = oneLine(name_ + ":" + why);
    return false;
  }
  if (decl.phenomenon || decl.name != host_.nodeType) return true;
  const auto& ours = host_.declaration;
  std::string difference;
  const size_t n = std::max(ours.size(), decl.parameters.size());
  for (size_t i = 0; i < n && difference.empty(); ++i) {
    const std::string here = i < decl.parameters.size()
                                 ? decl.parameters[i].type + " \"" + decl.parameters[i].name + "\""
                                 : "missing";
    const std::string there =
        i < ours.size() ? ours[i].type + " \"" + ours[i].name + "\"" : "missing";
    if (here != there) {
      difference = "parameter " + std::to_string(i + 1) + " is " + here + " here but " + there +
                   " in the installed declaration";
    }
  }
  if (!difference.empty()) {
    out_.warnings.push_back(locate(name_, start.line, start.column,
                                   "warning: this declaration of \"" + host_.nodeType +
                                       "\" differs from the installed one (" + host_.source +
                                       "): " + difference +
                                       "; the installed declaration is used"));
  }
  return true;
}

}  // namespace

bool readMentalRay(std::string_view text, const std::string& name,
                   const std::shared_ptr<const MaterialSchema>& schema, SceneFile& out,
                   std::string& error, const ReadOptions& options) {
  return readSceneWith<MentalRayReader>(
      Host::kMentalRay, "cannot read a mental ray scene without the shader's declaration",
      {"it has no shader of type \"", "\""}, text, name, schema, out, error, options);
}

}  // namespace gws
