// Small pieces the scene readers share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "schema.h"

namespace gws {

// Bytes between two progress reports (and releases of mapped pages).
constexpr size_t kProgressStep = size_t{8} << 20;

// "FILE:LINE:COL: message".
inline std::string locate(const std::string& file, uint32_t line, uint32_t column,
                          const std::string& message) {
  return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
}

// "a colour", "an int", ...
inline std::string withArticle(ValueKind kind) {
  return std::string(kind == ValueKind::kInt ? "an " : "a ") + kindName(kind);
}

}  // namespace gws
