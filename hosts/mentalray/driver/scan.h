// The readers' fast path: finding the next byte of interest in a large
// text while keeping count of the lines passed, sixteen bytes at a time
// where the machine has SSE2 (every x86-64), one at a time elsewhere. (Wider
// vectors gain nothing measurable: the loop already runs at the speed the
// memory delivers the text.) Also the quoted-string and number rules both
// scene formats share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace gws {

// Where a reader is: 1-based line, and the offset at which that line starts.
struct LinePosition {
  uint32_t line = 1;
  size_t lineStart = 0;
};

// Set bits of a 32-bit mask (the x86-64 baseline has no popcount instruction).
inline uint32_t bitCount(uint32_t x) {
  x = x - ((x >> 1) & 0x55555555u);
  x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0Fu;
  return (x * 0x01010101u) >> 24;
}

namespace detail {

// Finishes a scan that stopped at `pos` having passed `newlines` line ends
// since `from`.
inline size_t scanEnd(const char* p, size_t from, size_t pos, uint64_t newlines,
                      LinePosition& lines) {
  if (newlines > 0) {
    lines.line += static_cast<uint32_t>(newlines);
    // The line starts after the last newline before the stop.
    size_t last = pos;
    while (last > from && p[last - 1] != '\n') --last;
    lines.lineStart = last;
  }
  return pos;
}

}  // namespace detail

// The offset of the first of `a`, `b` or `c` at or after `pos` (text.size()
// when none), with `lines` moved past every '\n' before it.
inline size_t scanTo(std::string_view text, size_t pos, char a, char b, char c,
                     LinePosition& lines) {
  const char* p = text.data();
  const size_t n = text.size();
  const size_t from = pos;
  uint64_t newlines = 0;
#if defined(__SSE2__)
  // Thirty-two bytes a step. Newlines are counted per byte lane (each match
  // subtracts -1) and summed before a lane can overflow (two matches per
  // step at most, 127 steps); no popcount is needed, which the x86-64
  // baseline lacks.
  const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c);
  const __m128i vn = _mm_set1_epi8('\n');
  const __m128i zero = _mm_setzero_si128();
  auto laneSum = [&](__m128i acc) {
    const __m128i s = _mm_sad_epu8(acc, zero);
    return static_cast<uint64_t>(_mm_cvtsi128_si32(s)) +
           static_cast<uint64_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(s, s)));
  };
  auto stops = [&](__m128i x) {
    return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                        _mm_cmpeq_epi8(x, vc));
  };
  while (pos + 32 <= n) {
    const size_t limit = std::min(n, pos + 32 * 127);
    __m128i acc = zero;
    for (; pos + 32 <= limit; pos += 32) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + pos));
      const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + pos + 16));
      const __m128i sx = stops(x), sy = stops(y);
      const __m128i nx = _mm_cmpeq_epi8(x, vn), ny = _mm_cmpeq_epi8(y, vn);
      if (_mm_movemask_epi8(_mm_or_si128(sx, sy))) {
        const uint32_t stop = static_cast<uint32_t>(_mm_movemask_epi8(sx)) |
                              static_cast<uint32_t>(_mm_movemask_epi8(sy)) << 16;
        const uint32_t nl = static_cast<uint32_t>(_mm_movemask_epi8(nx)) |
                            static_cast<uint32_t>(_mm_movemask_epi8(ny)) << 16;
        const unsigned k = static_cast<unsigned>(__builtin_ctz(stop));
        newlines += laneSum(acc) + bitCount(nl & ((1u << k) - 1u));
        return detail::scanEnd(p, from, pos + k, newlines, lines);
      }
      acc = _mm_sub_epi8(acc, nx);
      acc = _mm_sub_epi8(acc, ny);
    }
    newlines += laneSum(acc);
  }
#endif
  for (; pos < n; ++pos) {
    const char x = p[pos];
    if (x == a || x == b || x == c) break;
    newlines += x == '\n';
  }
  return detail::scanEnd(p, from, pos, newlines, lines);
}

// The text of a double-quoted string as both formats escape it: a backslash
// keeps the next character, \n and \t stand for a line break and a tab.
inline std::string unescapeQuoted(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      c = text[++i];
      if (c == 'n') c = '\n';
      if (c == 't') c = '\t';
    }
    out += c;
  }
  return out;
}

// Whether the whole of `t` is a number as both scene formats (and the
// tools' values) write it: [sign] digits [. digits] [e [sign] digits], with
// digits on at least one side of the point ("1e+20", "-0", ".5", "7"). The
// C library's readers alone would also take "inf", "nan" and hexadecimal
// forms, and follow the locale.
inline bool wellFormedNumber(std::string_view t) {
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  size_t digits = 0;
  while (i < t.size() && isDigit(t[i])) ++i, ++digits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && isDigit(t[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    size_t exponent = 0;
    while (i < t.size() && isDigit(t[i])) ++i, ++exponent;
    if (exponent == 0) return false;
  }
  return i == t.size();
}

}  // namespace gws
