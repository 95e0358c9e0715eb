// Small pieces the scene readers share.
#pragma once

#include <cstddef>
#include <string>

#include "messages.h"
#include "scan.h"  // unescapeQuoted
#include "schema.h"

namespace gws {

// Bytes between two progress reports (and releases of mapped pages).
constexpr size_t kProgressStep = size_t{8} << 20;

// "a colour", "an int", ...
inline std::string withArticle(ValueKind kind) {
  return std::string(kind == ValueKind::kInt ? "an " : "a ") + kindName(kind);
}

}  // namespace gws
