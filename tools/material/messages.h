// How the material model and the scene files word a problem: one line,
// "FILE:LINE:COL: message", whatever bytes the file held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace gws {

// `text` made fit for one line of a message: control characters (a file's
// strings may hold escaped line breaks) shown as '?', and at most
// kMaxMessage bytes.
constexpr size_t kMaxMessage = 400;
inline std::string oneLine(std::string text) {
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  if (text.size() > kMaxMessage) text = text.substr(0, kMaxMessage - 3) + "...";
  return text;
}

// "FILE:LINE:COL: message", on one line.
inline std::string locate(const std::string& file, uint32_t line, uint32_t column,
                          const std::string& message) {
  return oneLine(file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " +
                 message);
}

}  // namespace gws
