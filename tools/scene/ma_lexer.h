// Tokens of Maya ASCII (.ma): statements ended by ';' (over any number of
// lines), words and double-quoted strings (which do not run over a line end;
// Maya writes "\n" for one), '//' comments to the end of the line. Works on
// text held in memory (a mapped file or a string), front to back, and can
// pass over a whole statement without making tokens of it: the fast path
// over the statements about other nodes that make up most of a scene.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "scan.h"

namespace gws {

struct MaToken {
  std::string_view text;  // strings without their quotes
  bool quoted = false;
  bool escaped = false;
  uint32_t line = 0, column = 0;
};

// Splits Maya ASCII into statements and their words.
class MaLexer {
 public:
  enum class Result { kToken, kEndOfStatement, kEndOfFile, kError };

  explicit MaLexer(std::string_view text) : t_(text) {}

  Result next(MaToken& tok);

  // Passes over the rest of the statement, its ';' included. The fast path:
  // most of a large scene is statements about other nodes. With `names`,
  // also says (in `named`) whether a string in the statement starts with
  // "NAME." for one of those names: a plug of such a node.
  Result skipStatement(const std::unordered_map<std::string, size_t>* names = nullptr,
                       bool* named = nullptr);

  // A place in the text to come back to.
  struct Mark {
    size_t pos;
    LinePosition lines;
  };
  Mark mark() const { return {pos_, lines_}; }
  void rewind(const Mark& m) {
    pos_ = m.pos;
    lines_ = m.lines;
  }

  size_t offset() const { return pos_; }
  const std::string& error() const { return error_; }
  uint32_t errorLine() const { return errorLine_; }
  uint32_t errorColumn() const { return errorColumn_; }

 private:
  uint32_t column() const { return static_cast<uint32_t>(pos_ - lines_.lineStart + 1); }

  // Whitespace and comments; false at the end of the text.
  bool skipBlanks();

  void skipComment();

  // From just after an opening quote to just after the closing one. A
  // string does not run over a line end (Maya writes "\n" for one).
  bool skipString(bool& escaped);

  std::string_view t_;
  size_t pos_ = 0;
  LinePosition lines_;
  std::string key_;  // reused by skipStatement's name check
  std::string error_;
  uint32_t errorLine_ = 0, errorColumn_ = 0;
};


}  // namespace gws
