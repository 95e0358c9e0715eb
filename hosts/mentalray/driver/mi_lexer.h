// Tokens of mental ray's scene language (.mi), for the shader declaration
// and for scene files. Works on text held in memory (a mapped file or a
// string) and walks it once, front to back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "scan.h"

namespace gws {

struct MiToken {
  enum class Kind {
    kEnd,        // end of the text
    kWord,       // keyword or bare name: declare, shader, color, on, ...
    kString,     // "..." (value() is the text between the quotes, unescaped)
    kNumber,     // 1, -0.5, 1e+20, .5
    kPunct,      // ( ) [ ] { } , = and any other single character
    kHint,       // a "#:" comment: value() is the text after "#:"
    kDirective,  // $include, $ifdef, ...: value() is the word after '$'
  };
  Kind kind = Kind::kEnd;
  std::string_view text;  // as written (strings without their quotes)
  uint32_t line = 0;      // 1-based
  uint32_t column = 0;    // 1-based, in bytes
  bool escaped = false;   // a string held backslash escapes: use value()

  bool is(Kind k, std::string_view t) const { return kind == k && text == t; }
  bool word(std::string_view t) const { return is(Kind::kWord, t); }
  bool punct(char c) const { return kind == Kind::kPunct && text.size() == 1 && text[0] == c; }
};

class MiLexer {
 public:
  // With `hints`, "#:" comments come out as kHint tokens; otherwise every
  // comment is skipped.
  explicit MiLexer(std::string_view text, bool hints = false) : text_(text), hints_(hints) {}

  // The next token. An unterminated string yields kEnd and sets error().
  MiToken next();
  // The token next() would return, without consuming it.
  const MiToken& peek();

  // Passes over everything up to and including the words "end KEYWORD",
  // strings and comments respected, without making tokens of what it passes
  // (the fast path over the blocks that make up most of a scene). False at
  // the end of the text or on an unterminated string.
  bool skipPastEnd(std::string_view keyword);

  // A string token's contents with escapes resolved.
  std::string value(const MiToken& t) const;

  // Set when the text cannot be tokenised; where() says where.
  const std::string& error() const { return error_; }
  uint32_t errorLine() const { return errorLine_; }
  uint32_t errorColumn() const { return errorColumn_; }
  // Bytes consumed so far (for progress and for releasing mapped pages).
  size_t offset() const { return pos_; }

 private:
  MiToken scan();
  void fail(const char* message, uint32_t line, uint32_t column);

  std::string_view text_;
  bool hints_ = false;
  size_t pos_ = 0;
  LinePosition lines_;
  bool peeked_ = false;
  MiToken peek_;
  std::string error_;
  uint32_t errorLine_ = 0;
  uint32_t errorColumn_ = 0;
};

// A number as .mi files write it: optional sign, digits, optional fraction
// and exponent ("1e+20", "-0", ".5", "7"); the whole of `text` must be the
// number ("inf", "nan" and hexadecimal forms are not). No locale.
bool parseMiNumber(std::string_view text, double& out);

}  // namespace gws
