// Small pieces the scene readers share.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "messages.h"
#include "scan.h"  // unescapeQuoted
#include "scene_file.h"
#include "schema.h"

namespace gws {

// Bytes between two progress reports (and releases of mapped pages).
constexpr size_t kProgressStep = size_t{8} << 20;

// "a colour", "an int", ...
inline std::string withArticle(ValueKind kind) {
  return std::string(kind == ValueKind::kInt ? "an " : "a ") + kindName(kind);
}

// What each format's reader carries: its lexer over the text, the file's
// name and size, the schema and the file's host in it, where the materials
// go, the first error, and the progress reports the caller asked for. A
// reader takes this constructor as its own.
template <typename Lexer>
class SceneReaderBase {
 public:
  SceneReaderBase(std::string_view text, const std::string& name,
                  const std::shared_ptr<const MaterialSchema>& schema, Host host, SceneFile& out,
                  const ReadOptions& options)
      : total_(text.size()),
        name_(name),
        schemaPtr_(schema),
        schema_(*schema),
        host_(*schema->host(host)),
        out_(out),
        options_(options),
        lex_(text) {}

 protected:

  // Reports the bytes read up to `offset`, once every kProgressStep bytes.
  void progress(size_t offset) {
    if (options_.progress && offset >= nextReport_) {
      options_.progress(offset, total_);
      nextReport_ = offset + kProgressStep;
    }
  }
  // The last report: the whole file read.
  void progressDone() const {
    if (options_.progress) options_.progress(total_, total_);
  }

  size_t total_;
  const std::string& name_;
  const std::shared_ptr<const MaterialSchema>& schemaPtr_;
  const MaterialSchema& schema_;
  const HostSchema& host_;
  SceneFile& out_;
  const ReadOptions& options_;
  std::string error_;
  Lexer lex_;

 private:
  size_t nextReport_ = kProgressStep;
};

// The frame of both formats' read functions: `out` starts afresh, naming
// the file and its host; a file is not read without its host's schema
// (`noSchema` says so); a file that holds no material of ours is an error,
// which names the node type it lacks between the two halves of `lacks`.
template <typename Reader>
bool readSceneWith(Host host, const char* noSchema, std::pair<const char*, const char*> lacks,
                   std::string_view text, const std::string& name,
                   const std::shared_ptr<const MaterialSchema>& schema, SceneFile& out,
                   std::string& error, const ReadOptions& options) {
  out = SceneFile{};
  out.path = name;
  out.host = host;
  if (!schema || !schema->has(host)) {
    error = locate(name, 0, 0, noSchema);
    return false;
  }
  Reader reader(text, name, schema, host, out, options);
  if (!reader.read(error)) return false;
  if (out.materials.empty()) {
    error = locate(name, 0, 0,
                   "no glintWeave material in this scene: " + std::string(lacks.first) +
                       schema->host(host)->nodeType + lacks.second);
    return false;
  }
  return true;
}

}  // namespace gws
