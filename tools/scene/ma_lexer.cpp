#include "ma_lexer.h"

#include <cstring>

namespace gws {
namespace {

// Byte classes of the statement scanner.
enum : unsigned char { kPlain = 0, kSpace, kNewline, kSemicolon, kQuote, kSlash };

struct ByteClasses {
  unsigned char of[256] = {};
  ByteClasses() {
    of[static_cast<unsigned char>(' ')] = of[static_cast<unsigned char>('\t')] = kSpace;
    of[static_cast<unsigned char>('\r')] = of[static_cast<unsigned char>('\f')] = kSpace;
    of[static_cast<unsigned char>('\v')] = kSpace;
    of[static_cast<unsigned char>('\n')] = kNewline;
    of[static_cast<unsigned char>(';')] = kSemicolon;
    of[static_cast<unsigned char>('"')] = kQuote;
    of[static_cast<unsigned char>('/')] = kSlash;
  }
};
const ByteClasses kClasses;

}  // namespace

MaLexer::Result MaLexer::next(MaToken& tok) {
  if (!skipBlanks()) return Result::kEndOfFile;
  const char c = t_[pos_];
  if (c == ';') {
    ++pos_;
    return Result::kEndOfStatement;
  }
  tok.line = lines_.line;
  tok.column = column();
  tok.escaped = false;
  if (c == '"') {
    const size_t start = ++pos_;
    if (!skipString(tok.escaped)) {
      errorLine_ = tok.line;
      errorColumn_ = tok.column;
      error_ = "unterminated string";
      return Result::kError;
    }
    tok.text = t_.substr(start, pos_ - 1 - start);
    tok.quoted = true;
    return Result::kToken;
  }
  const size_t start = pos_;
  while (pos_ < t_.size()) {
    const unsigned char k = kClasses.of[static_cast<unsigned char>(t_[pos_])];
    if (k == kSpace || k == kNewline || k == kSemicolon || k == kQuote) break;
    if (k == kSlash && pos_ + 1 < t_.size() && t_[pos_ + 1] == '/') break;
    ++pos_;
  }
  tok.text = t_.substr(start, pos_ - start);
  tok.quoted = false;
  return Result::kToken;
}

MaLexer::Result MaLexer::skipStatement(const std::unordered_map<std::string, size_t>* names,
                                       bool* named) {
  const char* p = t_.data();
  const size_t n = t_.size();
  for (;;) {
    pos_ = scanTo(t_, pos_, ';', '"', '/', lines_);
    if (pos_ >= n) return Result::kEndOfFile;
    const char c = p[pos_];
    if (c == ';') {
      ++pos_;
      return Result::kEndOfStatement;
    }
    if (c == '"') {
      const uint32_t line = lines_.line, col = column();
      const size_t start = ++pos_;
      bool escaped = false;
      if (!skipString(escaped)) {
        errorLine_ = line;
        errorColumn_ = col;
        error_ = "unterminated string";
        return Result::kError;
      }
      if (names && !names->empty()) {
        const std::string_view s = t_.substr(start, pos_ - 1 - start);
        const size_t dot = s.find('.');
        if (dot != std::string_view::npos && dot > 0) {
          key_.assign(s.data(), dot);
          if (names->count(key_)) *named = true;
        }
      }
    } else if (pos_ + 1 < n && p[pos_ + 1] == '/') {
      skipComment();
    } else {
      ++pos_;
    }
  }
}

bool MaLexer::skipBlanks() {
  while (pos_ < t_.size()) {
    const unsigned char k = kClasses.of[static_cast<unsigned char>(t_[pos_])];
    if (k == kSpace) {
      ++pos_;
    } else if (k == kNewline) {
      ++pos_;
      ++lines_.line;
      lines_.lineStart = pos_;
    } else if (k == kSlash && pos_ + 1 < t_.size() && t_[pos_ + 1] == '/') {
      skipComment();
    } else {
      return true;
    }
  }
  return false;
}

void MaLexer::skipComment() {
  const void* nl = std::memchr(t_.data() + pos_, '\n', t_.size() - pos_);
  pos_ = nl ? static_cast<size_t>(static_cast<const char*>(nl) - t_.data()) : t_.size();
}

bool MaLexer::skipString(bool& escaped) {
  const char* p = t_.data();
  const size_t n = t_.size();
  while (pos_ < n) {
    const char c = p[pos_];
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c == '\n') return false;
    if (c == '\\' && pos_ + 1 < n && p[pos_ + 1] != '\n') {
      escaped = true;
      ++pos_;
    }
    ++pos_;
  }
  return false;
}

}  // namespace gws
