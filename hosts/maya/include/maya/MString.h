// Stand-in for <maya/MString.h>. All constructors are non-explicit, as in the
// devkit; the numeric operator+= overloads are the devkit's set, so a long or
// size_t argument is ambiguous here just as it is there.
#pragma once

#include <maya/MTypes.h>

#include <cstdio>
#include <cwchar>
#include <ostream>
#include <string>

class OPENMAYA_EXPORT MString {
 public:
  MString() {}
  MString(const char* s) : text_(s ? s : "") {}
  MString(const wchar_t* s) { appendWide(s, s ? std::wcslen(s) : 0); }
  MString(const char* s, int len) : text_(s ? std::string(s, static_cast<size_t>(len)) : "") {}
  MString(const wchar_t* s, int len) { appendWide(s, static_cast<size_t>(len)); }
  MString(const MString& other) = default;
  ~MString() = default;

  MString& operator+=(const MString& s) {
    text_ += s.text_;
    return *this;
  }
  MString& operator+=(const char* s) {
    if (s) text_ += s;
    return *this;
  }
  MString& operator+=(double d) { return appendNumber("%g", d); }
  MString& operator+=(int i) {
    text_ += std::to_string(i);
    return *this;
  }
  MString& operator+=(unsigned int u) {
    text_ += std::to_string(u);
    return *this;
  }
  MString& operator+=(float f) { return appendNumber("%g", static_cast<double>(f)); }

  MString& operator=(const MString& s) = default;
  MString& operator=(const char* s) {
    text_ = s ? s : "";
    return *this;
  }
  MString& operator=(double d) {
    text_.clear();
    return appendNumber("%g", d);
  }

  bool operator==(const MString& s) const { return text_ == s.text_; }
  bool operator==(const char* s) const { return text_ == (s ? s : ""); }
  bool operator!=(const MString& s) const { return !(*this == s); }
  bool operator!=(const char* s) const { return !(*this == s); }

  MString operator+(const MString& s) const {
    MString r(*this);
    r += s;
    return r;
  }
  MString operator+(const char* s) const {
    MString r(*this);
    r += s;
    return r;
  }
  MString operator+(double d) const {
    MString r(*this);
    r += d;
    return r;
  }
  friend MString operator+(const char* a, const MString& b) {
    MString r(a);
    r += b;
    return r;
  }

  const char* asChar() const { return text_.c_str(); }
  const char* asChar(int& len) const {
    len = static_cast<int>(text_.size());
    return text_.c_str();
  }
  const char* asUTF8() const { return text_.c_str(); }
  unsigned int length() const { return static_cast<unsigned int>(text_.size()); }
  unsigned int numChars() const { return length(); }
  void clear() { text_.clear(); }
  MString substring(int start, int end) const {
    if (start < 0) start = 0;
    if (end >= static_cast<int>(text_.size())) end = static_cast<int>(text_.size()) - 1;
    if (end < start) return MString();
    return MString(text_.c_str() + start, end - start + 1);
  }

  friend std::ostream& operator<<(std::ostream& os, const MString& s) { return os << s.text_; }

 private:
  MString& appendNumber(const char* format, double d) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, d);
    text_ += buffer;
    return *this;
  }
  void appendWide(const wchar_t* s, size_t n) {
    for (size_t i = 0; s && i < n; ++i) text_ += static_cast<char>(s[i] < 128 ? s[i] : L'?');
  }
  std::string text_;
};
