#include "mi_declaration.h"

#include <cmath>
#include <initializer_list>
#include <string>

#include "mi_hints.h"

namespace gws {
namespace {

using mihint::applyHint;
using mihint::describe;

std::string where(const MiToken& t) {
  return std::to_string(t.line) + ":" + std::to_string(t.column) + ": ";
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

// The parameter types of the declaration language: how many default values
// each takes, and in what form.
enum class DefaultForm { kNone, kNumbers, kBoolean, kString };

struct TypeRule {
  std::string_view name;
  DefaultForm form;
  int least, most;  // default values
};

constexpr TypeRule kTypes[] = {
    {"boolean", DefaultForm::kBoolean, 1, 1},  {"integer", DefaultForm::kNumbers, 1, 1},
    {"scalar", DefaultForm::kNumbers, 1, 1},   {"vector", DefaultForm::kNumbers, 3, 3},
    {"color", DefaultForm::kNumbers, 3, 4},    {"transform", DefaultForm::kNumbers, 16, 16},
    {"string", DefaultForm::kString, 1, 1},    {"light", DefaultForm::kNone, 0, 0},
    {"shader", DefaultForm::kNone, 0, 0},      {"material", DefaultForm::kNone, 0, 0},
    {"geometry", DefaultForm::kNone, 0, 0},    {"data", DefaultForm::kNone, 0, 0},
    {"lightprofile", DefaultForm::kNone, 0, 0},
};
constexpr const char* kTypeList =
    "boolean, integer, scalar, vector, transform, color, color/scalar/vector texture, light, "
    "shader, material, geometry, data, lightprofile, string, struct, or array before one";

const TypeRule* typeRule(std::string_view name) {
  for (const TypeRule& r : kTypes) {
    if (r.name == name) return &r;
  }
  return nullptr;
}

// A boolean as declarations write it: on/off, true/false, yes/no.
bool booleanWord(const MiToken& t, double& out) {
  if (t.word("on") || t.word("true") || t.word("yes")) {
    out = 1.0;
    return true;
  }
  if (t.word("off") || t.word("false") || t.word("no")) {
    out = 0.0;
    return true;
  }
  return false;
}

bool isRangeWord(const MiToken& t) {
  return t.word("min") || t.word("max") || t.word("softmin") || t.word("softmax");
}

// Reads declarations by the grammar above; `error_` holds the first problem
// as "LINE:COL: message". Tokens are taken one at a time and a construct
// never reads past its own last token, so that "#:" hints after a parameter
// reach that parameter.
class DeclarationParser {
 public:
  DeclarationParser(MiLexer& lex, std::string& error) : lex_(lex), error_(error) {}

  bool declaration(const MiToken& declareToken, MiShaderDeclaration& out, bool phenomenonAllowed);

 private:
  bool fail(const MiToken& at, const std::string& message) {
    if (!lexError(lex_, error_)) error_ = where(at) + message;
    return false;
  }
  MiToken next() {
    return nextSkippingHints(lex_, [](const MiToken&) {});
  }
  const MiToken& peek() {
    while (lex_.peek().kind == MiToken::Kind::kHint) lex_.next();
    return lex_.peek();
  }
  bool parameters(std::vector<MiParameter>& params, char close);
  bool parameter(MiToken t, MiParameter& p, bool named);
  bool attributes(MiParameter& p);
  bool number(const MiToken& t, double& out);
  bool option(const MiToken& t, MiShaderDeclaration& out);
  bool phenomenonStatement(const MiToken& t, MiShaderDeclaration& out, bool& handled);
  bool balanced(const MiToken& open);
  bool gui(const MiToken& start);

  MiLexer& lex_;
  std::string& error_;
  // Structs within structs and declarations within phenomena, bounded so
  // that no file can exhaust the stack.
  int depth_ = 0;
  static constexpr int kMaxDepth = 64;
};

// Parameters up to `close`, separated by commas (a trailing one allowed);
// hints go to the parameter before them.
bool DeclarationParser::parameters(std::vector<MiParameter>& params, char close) {
  if (depth_ >= kMaxDepth) return fail(lex_.peek(), "structs nested too deeply");
  ++depth_;
  struct Leave {
    int& depth;
    ~Leave() { --depth; }
  } leave{depth_};
  bool hintError = false;
  auto hint = [&](const MiToken& h) {
    if (!params.empty() && !hintError && !applyHint(h, params.back(), error_)) hintError = true;
  };
  MiToken t = nextSkippingHints(lex_, hint);
  if (hintError) return false;
  if (t.punct(close)) return true;
  for (;;) {
    MiParameter p;
    if (!parameter(t, p, true)) return false;
    params.push_back(std::move(p));
    t = nextSkippingHints(lex_, hint);
    if (hintError) return false;
    if (t.punct(',')) {
      t = nextSkippingHints(lex_, hint);
      if (hintError) return false;
      if (t.punct(close)) return true;  // a trailing comma
      continue;
    }
    if (t.punct(close)) return true;
    return fail(t, "expected ',' or '" + std::string(1, close) + "' after parameter \"" +
                       params.back().name + "\", found " + describe(t));
  }
}

// [array] TYPE "name" [default ...] [min n] [max n] [softmin n] [softmax n],
// where TYPE is a type word, color/scalar/vector texture, or
// struct "name" { parameters }. Without `named` (a result type) there is no
// name and no attribute.
bool DeclarationParser::parameter(MiToken t, MiParameter& p, bool named) {
  p.line = t.line;
  p.column = t.column;
  std::string prefix;
  if (t.word("array")) {
    prefix = "array ";
    t = next();
  }
  if (t.word("struct")) {
    p.type = prefix + "struct";
    t = next();
    if (named) {
      if (t.kind != MiToken::Kind::kString) {
        return fail(t, "expected the struct's name in quotes, found " + describe(t));
      }
      p.name = lex_.value(t);
      t = next();
    }
    if (!t.punct('{')) return fail(t, "expected '{' after struct, found " + describe(t));
    return parameters(p.members, '}');
  }
  if (t.kind != MiToken::Kind::kWord) {
    return fail(t, "expected a parameter type, found " + describe(t));
  }
  const bool texture =
      (t.word("color") || t.word("scalar") || t.word("vector")) && peek().word("texture");
  if (!texture && !typeRule(t.text)) {
    return fail(t, "unknown parameter type " + describe(t) + " (" + kTypeList + ")");
  }
  p.type = prefix + std::string(t.text);
  if (texture) {
    next();
    p.type += " texture";
  }
  if (!named) return true;
  t = next();
  if (t.kind != MiToken::Kind::kString) {
    return fail(t, "expected the parameter's name in quotes, found " + describe(t));
  }
  p.name = lex_.value(t);
  return attributes(p);
}

bool DeclarationParser::number(const MiToken& t, double& out) {
  if (t.kind == MiToken::Kind::kNumber && parseMiNumber(t.text, out)) return true;
  return fail(t, "expected a number, found " + describe(t));
}

// A parameter's default and ranges, in any order. The default takes as many
// values as the type has: booleans on/off, true/false, yes/no or a number;
// integer and scalar one number, vector 3, color 3 or 4, transform 16; a
// string one quoted text. Arrays, structs and the types that name scene
// elements take none.
bool DeclarationParser::attributes(MiParameter& p) {
  const TypeRule* rule = p.type.rfind("array ", 0) == 0 ? nullptr : typeRule(p.type);
  // The next token, with the hints before it applied to the parameter.
  bool hintError = false;
  auto peek = [&]() -> const MiToken& {
    while (lex_.peek().kind == MiToken::Kind::kHint) {
      const MiToken h = lex_.next();
      if (!hintError && !applyHint(h, p, error_)) hintError = true;
    }
    return lex_.peek();
  };
  for (;;) {
    const MiToken& at = peek();
    if (hintError) return false;
    if (at.word("default")) {
      const MiToken d = next();
      if (!rule || rule->form == DefaultForm::kNone) {
        return fail(d, "a parameter of type " + p.type + " (\"" + p.name + "\") takes no default");
      }
      p.defaults.clear();
      if (rule->form == DefaultForm::kString) {
        const MiToken v = next();
        if (v.kind != MiToken::Kind::kString) {
          return fail(v, "expected the default text in quotes, found " + describe(v));
        }
        p.defaultText = lex_.value(v);
        continue;
      }
      // Values until the next token that cannot be one; their count is
      // checked against the type.
      const MiToken first = peek();
      double v = 0.0;
      while (static_cast<int>(p.defaults.size()) < rule->most) {
        const MiToken& n = peek();
        if (n.kind == MiToken::Kind::kNumber) {
          if (!number(next(), v)) return false;
          if (rule->form == DefaultForm::kBoolean) v = v != 0.0 ? 1.0 : 0.0;
        } else if (rule->form == DefaultForm::kBoolean && booleanWord(n, v)) {
          next();
        } else {
          break;
        }
        p.defaults.push_back(v);
      }
      const int count = static_cast<int>(p.defaults.size());
      if (count < rule->least || peek().kind == MiToken::Kind::kNumber) {
        const std::string wanted =
            rule->form == DefaultForm::kBoolean ? std::string("on, off, true, false, yes, no or a number")
            : rule->least == rule->most ? std::to_string(rule->least) + (rule->least == 1 ? " number" : " numbers")
                                        : std::to_string(rule->least) + " or " + std::to_string(rule->most) + " numbers";
        return fail(count < rule->least && count == 0 ? first : peek(),
                    "the default of " + p.type + " \"" + p.name + "\" takes " + wanted +
                        ", found " + (count < rule->least ? describe(peek()) : "more"));
      }
    } else if (isRangeWord(at)) {
      const MiToken key = next();
      if (!rule || rule->form == DefaultForm::kString) {
        return fail(key, "a parameter of type " + p.type + " (\"" + p.name + "\") takes no " +
                             std::string(key.text));
      }
      double v = 0.0;
      if (!number(next(), v)) return false;
      (key.text == "min" ? p.min : key.text == "max" ? p.max : key.text == "softmin" ? p.softMin : p.softMax) = v;
    } else {
      return true;
    }
  }
}

// A parenthesised or braced run, nested brackets and strings respected:
// the attribute list of a gui control, a shader statement's parameters.
bool DeclarationParser::balanced(const MiToken& open) {
  std::string stack(1, open.punct('(') ? ')' : open.punct('[') ? ']' : '}');
  while (!stack.empty()) {
    const MiToken t = next();
    if (t.kind == MiToken::Kind::kEnd) {
      return fail(open, "no matching '" + std::string(1, stack.back()) + "' before the end of the file");
    }
    if (t.punct('(')) stack += ')';
    else if (t.punct('[')) stack += ']';
    else if (t.punct('{')) stack += '}';
    else if (t.punct(')') || t.punct(']') || t.punct('}')) {
      if (t.text[0] != stack.back()) {
        return fail(t, "expected '" + std::string(1, stack.back()) + "', found " + describe(t));
      }
      stack.pop_back();
    }
  }
  return true;
}

// gui "name" ( control "name" "type" [( attributes )] ... ), braces taking
// the place of the outer parentheses as well; an "end gui" after the block
// is taken too.
bool DeclarationParser::gui(const MiToken& start) {
  const MiToken name = next();
  if (name.kind != MiToken::Kind::kString) {
    return fail(name, "expected the gui block's name in quotes, found " + describe(name));
  }
  const MiToken open = next();
  if (!open.punct('(') && !open.punct('{')) {
    return fail(open, "expected '(' or '{' after the gui block's name, found " + describe(open));
  }
  const char close = open.punct('(') ? ')' : '}';
  for (;;) {
    const MiToken t = next();
    if (t.punct(close)) break;
    if (t.kind == MiToken::Kind::kEnd) {
      return fail(start, "unterminated gui block: no '" + std::string(1, close) + "'");
    }
    if (!t.word("control")) {
      return fail(t, "expected 'control' or '" + std::string(1, close) + "' in the gui block, found " + describe(t));
    }
    for (const char* what : {"the control's name", "the control's type"}) {
      const MiToken s = next();
      if (s.kind != MiToken::Kind::kString) {
        return fail(s, std::string("expected ") + what + " in quotes, found " + describe(s));
      }
    }
    if (peek().punct('(') && !balanced(next())) return false;
  }
  return true;
}

// One option after the parameter list: version N, apply KIND[, KIND...],
// scanline / trace on|off, shadow on|off|sort|segments, face
// front|back|both, derivative N [N], volume level N, parallel, gui block.
// False with `error_` empty when `t` starts no option.
bool DeclarationParser::option(const MiToken& t, MiShaderDeclaration& out) {
  double v = 0.0;
  auto wholeNumber = [&](const char* what, double& n) {
    const MiToken x = next();
    if (x.kind != MiToken::Kind::kNumber || !parseMiNumber(x.text, n) || n != std::floor(n) ||
        n < 0 || n > 1e9) {
      return fail(x, std::string("expected ") + what + ", found " + describe(x));
    }
    return true;
  };
  auto oneOf = [&](std::initializer_list<const char*> words) {
    const MiToken x = next();
    std::string list;
    for (const char* w : words) {
      if (x.word(w)) return true;
      list += (list.empty() ? "" : ", ") + std::string(w);
    }
    return fail(x, "expected " + list + " after '" + std::string(t.text) + "', found " + describe(x));
  };
  if (t.word("version")) {
    if (!wholeNumber("the version number", v)) return false;
    out.version = static_cast<int>(v);
  } else if (t.word("apply")) {
    do {
      const MiToken k = next();
      if (k.kind != MiToken::Kind::kWord) {
        return fail(k, "expected a shader kind after 'apply' (lens, material, light, ...), found " + describe(k));
      }
      out.apply.emplace_back(k.text);
    } while (peek().punct(',') && (next(), true));
  } else if (t.word("scanline") || t.word("trace")) {
    return oneOf({"on", "off"});
  } else if (t.word("shadow")) {
    return oneOf({"on", "off", "sort", "segments"});
  } else if (t.word("face")) {
    return oneOf({"front", "back", "both"});
  } else if (t.word("derivative")) {
    if (!wholeNumber("the derivative's order", v)) return false;
    if (peek().kind == MiToken::Kind::kNumber && !wholeNumber("the derivative's order", v)) return false;
  } else if (t.word("volume") && peek().word("level")) {
    next();
    return wholeNumber("the volume level", v);
  } else if (t.word("parallel")) {
  } else if (t.word("gui")) {
    return gui(t);
  } else {
    return false;
  }
  return true;
}

// What a phenomenon holds besides options: shader statements, material and
// other blocks up to their "end", root = / lens = / ... assignments, and
// declarations of its own. `handled` says whether `t` started one.
bool DeclarationParser::phenomenonStatement(const MiToken& t, MiShaderDeclaration& out,
                                            bool& handled) {
  handled = true;
  if (t.word("declare")) {
    if (depth_ >= kMaxDepth) return fail(t, "declarations nested too deeply");
    MiShaderDeclaration inner;
    ++depth_;
    const bool ok = declaration(t, inner, true);
    --depth_;
    if (ok) out.nested.push_back(std::move(inner));
    return ok;
  }
  if (t.word("shader")) {
    for (const char* what : {"the shader's name", "the shader's type"}) {
      const MiToken x = next();
      if (x.kind != MiToken::Kind::kString) {
        return fail(x, std::string("expected ") + what + " in quotes, found " + describe(x));
      }
    }
    const MiToken open = next();
    if (!open.punct('(')) return fail(open, "expected '(' after the shader's type, found " + describe(open));
    return balanced(open);
  }
  if (t.word("root") && peek().word("material")) {
    next();
    const MiToken x = next();
    if (x.kind != MiToken::Kind::kString) {
      return fail(x, "expected the material's name in quotes, found " + describe(x));
    }
    return true;
  }
  static const char* const kAssigned[] = {"root", "lens", "output", "volume", "environment",
                                          "geometry", "contour", "material", "light"};
  for (const char* w : kAssigned) {
    if (!t.word(w) || !peek().punct('=')) continue;
    next();
    // One or more shaders, each a quoted name or "interface" and a name.
    int count = 0;
    for (;;) {
      if (peek().word("interface")) next();
      else if (peek().kind != MiToken::Kind::kString) break;
      const MiToken x = next();
      if (x.kind != MiToken::Kind::kString) {
        return fail(x, "expected a name in quotes after 'interface', found " + describe(x));
      }
      ++count;
    }
    if (count == 0) {
      return fail(peek(), "expected a shader name in quotes after '" + std::string(w) + " =', found " +
                              describe(peek()));
    }
    return true;
  }
  static const char* const kBlocks[] = {"material", "light", "instance", "object", "camera",
                                        "instgroup", "lightprofile", "userdata", "options"};
  for (const char* w : kBlocks) {
    if (!t.word(w) || peek().kind != MiToken::Kind::kString) continue;
    if (!lex_.skipPastEnd(w)) {
      return fail(t, "unterminated " + std::string(w) + " block: no 'end " + w + "'");
    }
    return true;
  }
  handled = false;
  return true;
}

bool DeclarationParser::declaration(const MiToken& declareToken, MiShaderDeclaration& out,
                                    bool phenomenonAllowed) {
  out = MiShaderDeclaration{};
  out.line = declareToken.line;
  out.column = declareToken.column;
  MiToken t = next();
  if (phenomenonAllowed && t.word("phenomenon")) {
    out.phenomenon = true;
  } else if (!t.word("shader")) {
    return fail(t, std::string("expected 'shader' after 'declare'") +
                       (phenomenonAllowed ? " (or 'phenomenon')" : "") + ", found " + describe(t));
  }
  t = next();
  // An optional result type: any parameter type without a name, struct { ... }
  // for several results.
  if (t.kind == MiToken::Kind::kWord) {
    MiParameter result;
    if (!parameter(t, result, false)) return false;
    out.resultType = result.type;
    out.resultMembers = std::move(result.members);
    t = next();
  }
  if (t.kind != MiToken::Kind::kString) {
    return fail(t, "expected the " + std::string(out.phenomenon ? "phenomenon" : "shader") +
                       "'s name in quotes, found " + describe(t));
  }
  out.name = lex_.value(t);
  t = next();
  if (!t.punct('(')) return fail(t, "expected '(' after the shader's name");
  if (!parameters(out.parameters, ')')) return false;
  bool afterGui = false;
  for (;;) {
    t = next();
    if (t.kind == MiToken::Kind::kEnd) {
      if (!lexError(lex_, error_)) {
        error_ = where(declareToken) + "unterminated declaration of \"" + out.name +
                 "\" (no 'end declare')";
      }
      return false;
    }
    if (t.word("end")) {
      const MiToken what = next();
      if (what.word("declare")) return true;
      // A gui block may be closed by its own "end gui" as well.
      if (afterGui && what.word("gui")) {
        afterGui = false;
        continue;
      }
      return fail(what, "expected 'declare' after 'end', found " + describe(what));
    }
    afterGui = t.word("gui");
    if (option(t, out)) continue;
    if (!error_.empty()) return false;
    if (out.phenomenon) {
      bool handled = false;
      if (!phenomenonStatement(t, out, handled)) return false;
      if (handled) continue;
    }
    return fail(t, "unexpected " + describe(t) + " in the declaration of \"" + out.name +
                       "\" (expected version, apply, scanline, trace, shadow, face, derivative, "
                       "volume level, parallel, gui" +
                       (out.phenomenon ? ", a shader, material or root statement, a declaration" : "") +
                       " or 'end declare')");
  }
}

}  // namespace

bool parseDeclareShader(MiLexer& lex, const MiToken& declareToken, MiShaderDeclaration& out,
                        std::string& error) {
  error.clear();
  return DeclarationParser(lex, error).declaration(declareToken, out, false);
}

bool parseDeclaration(MiLexer& lex, const MiToken& declareToken, MiShaderDeclaration& out,
                      std::string& error) {
  error.clear();
  return DeclarationParser(lex, error).declaration(declareToken, out, true);
}

}  // namespace gws
