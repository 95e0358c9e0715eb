#include "mi_lexer.h"

#include <charconv>
#include <cstring>
#include <system_error>

#include "scan.h"

namespace gws {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isWordStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool isWordChar(char c) { return isWordStart(c) || isDigit(c); }

}  // namespace

void MiLexer::fail(const char* message, uint32_t line, uint32_t column) {
  if (!error_.empty()) return;
  error_ = message;
  errorLine_ = line;
  errorColumn_ = column;
}

const MiToken& MiLexer::peek() {
  if (!peeked_) {
    peek_ = scan();
    peeked_ = true;
  }
  return peek_;
}

MiToken MiLexer::next() {
  if (peeked_) {
    peeked_ = false;
    return peek_;
  }
  return scan();
}

MiToken MiLexer::scan() {
  MiToken t;
  const size_t n = text_.size();
  while (pos_ < n) {
    const char c = text_[pos_];
    if (c == '\n') {
      ++pos_;
      ++lines_.line;
      lines_.lineStart = pos_;
    } else if (isSpace(c)) {
      ++pos_;
    } else if (c == '#') {
      const size_t start = pos_;
      while (pos_ < n && text_[pos_] != '\n') ++pos_;
      if (hints_ && pos_ - start >= 2 && text_[start + 1] == ':') {
        t.kind = MiToken::Kind::kHint;
        t.text = text_.substr(start + 2, pos_ - start - 2);
        t.line = lines_.line;
        t.column = static_cast<uint32_t>(start - lines_.lineStart + 1);
        return t;
      }
    } else {
      break;
    }
  }
  t.line = lines_.line;
  t.column = static_cast<uint32_t>(pos_ - lines_.lineStart + 1);
  if (!error_.empty() || pos_ >= n) {
    t.kind = MiToken::Kind::kEnd;
    return t;
  }
  const size_t start = pos_;
  const char c = text_[pos_];
  if (c == '"') {
    ++pos_;
    while (pos_ < n && text_[pos_] != '"' && text_[pos_] != '\n') {
      if (text_[pos_] == '\\' && pos_ + 1 < n && text_[pos_ + 1] != '\n') {
        t.escaped = true;
        ++pos_;
      }
      ++pos_;
    }
    if (pos_ >= n || text_[pos_] != '"') {
      fail("unterminated string", t.line, t.column);
      t.kind = MiToken::Kind::kEnd;
      return t;
    }
    t.kind = MiToken::Kind::kString;
    t.text = text_.substr(start + 1, pos_ - start - 1);
    ++pos_;
    return t;
  }
  if (c == '$' && pos_ + 1 < n && isWordStart(text_[pos_ + 1])) {
    ++pos_;
    while (pos_ < n && isWordChar(text_[pos_])) ++pos_;
    t.kind = MiToken::Kind::kDirective;
    t.text = text_.substr(start + 1, pos_ - start - 1);
    return t;
  }
  const bool signedNumber = (c == '-' || c == '+') && pos_ + 1 < n &&
                            (isDigit(text_[pos_ + 1]) || text_[pos_ + 1] == '.');
  if (isDigit(c) || signedNumber || (c == '.' && pos_ + 1 < n && isDigit(text_[pos_ + 1]))) {
    if (signedNumber) ++pos_;
    while (pos_ < n && (isDigit(text_[pos_]) || text_[pos_] == '.')) ++pos_;
    if (pos_ < n && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      size_t e = pos_ + 1;
      if (e < n && (text_[e] == '+' || text_[e] == '-')) ++e;
      if (e < n && isDigit(text_[e])) {
        pos_ = e;
        while (pos_ < n && isDigit(text_[pos_])) ++pos_;
      }
    }
    // A number runs into letters only when it is not one ("1x"): keep them
    // together so that the value is refused as a whole.
    while (pos_ < n && isWordChar(text_[pos_])) ++pos_;
    t.kind = MiToken::Kind::kNumber;
    t.text = text_.substr(start, pos_ - start);
    return t;
  }
  if (isWordStart(c)) {
    while (pos_ < n && (isWordChar(text_[pos_]) || text_[pos_] == '.')) ++pos_;
    t.kind = MiToken::Kind::kWord;
    t.text = text_.substr(start, pos_ - start);
    return t;
  }
  ++pos_;
  t.kind = MiToken::Kind::kPunct;
  t.text = text_.substr(start, 1);
  return t;
}

bool MiLexer::skipPastEnd(std::string_view keyword) {
  if (peeked_) {
    peeked_ = false;
    if (peek_.kind == MiToken::Kind::kEnd) return false;
    if (peek_.word("end")) {
      const MiToken t = scan();
      if (t.word(keyword)) return true;
      if (t.kind == MiToken::Kind::kEnd) return false;
    }
  }
  const size_t n = text_.size();
  while (error_.empty()) {
    pos_ = scanTo(text_, pos_, '"', '#', 'e', lines_);
    if (pos_ >= n) return false;
    const char c = text_[pos_];
    if (c == '"') {
      const uint32_t line = lines_.line;
      const uint32_t column = static_cast<uint32_t>(pos_ - lines_.lineStart + 1);
      ++pos_;
      while (pos_ < n && text_[pos_] != '"' && text_[pos_] != '\n') {
        if (text_[pos_] == '\\' && pos_ + 1 < n && text_[pos_ + 1] != '\n') ++pos_;
        ++pos_;
      }
      if (pos_ >= n || text_[pos_] != '"') {
        fail("unterminated string", line, column);
        return false;
      }
      ++pos_;
    } else if (c == '#') {
      const void* nl = std::memchr(text_.data() + pos_, '\n', n - pos_);
      pos_ = nl ? static_cast<size_t>(static_cast<const char*>(nl) - text_.data()) : n;
    } else if ((pos_ > 0 && (isWordChar(text_[pos_ - 1]) || text_[pos_ - 1] == '.')) ||
               text_.compare(pos_, 3, "end") != 0 ||
               (pos_ + 3 < n && (isWordChar(text_[pos_ + 3]) || text_[pos_ + 3] == '.'))) {
      ++pos_;  // an 'e' inside a word or number
    } else {
      pos_ += 3;
      const MiToken t = scan();
      if (t.word(keyword)) return true;
      if (t.kind == MiToken::Kind::kEnd) return false;
    }
  }
  return false;
}

std::string MiLexer::value(const MiToken& t) const {
  return t.escaped ? unescapeQuoted(t.text) : std::string(t.text);
}

bool parseMiNumber(std::string_view text, double& out) {
  if (!wellFormedNumber(text)) return false;
  // from_chars takes no leading '+'.
  const std::string_view t = text[0] == '+' ? text.substr(1) : text;
  const auto r = std::from_chars(t.data(), t.data() + t.size(), out);
  return r.ec == std::errc() && r.ptr == t.data() + t.size();
}

}  // namespace gws
