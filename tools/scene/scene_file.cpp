#include "scene_file.h"

#include <sys/stat.h>

#include <cctype>

#include "mapped_file.h"
#include "scene_util.h"

namespace gws {
namespace {

std::string lowerExtension(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

bool plainName(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    const bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':' ||
                    c == '|' || c == '.' || c == '[' || c == ']' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string quoted(const std::string& s) {
  if (plainName(s)) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

}  // namespace

bool hostOfPath(const std::string& path, Host& host) {
  const std::string ext = lowerExtension(path);
  if (ext == "ma") {
    host = Host::kMaya;
    return true;
  }
  if (ext == "mi") {
    host = Host::kMentalRay;
    return true;
  }
  return false;
}

bool readScene(const std::string& path, const std::shared_ptr<const MaterialSchema>& schema,
               SceneFile& out, std::string& error, const ReadOptions& options) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    error = locate(path, 0, 0, "is a folder, not a scene file (give the .ma or .mi files in it)");
    return false;
  }
  Host host;
  if (!hostOfPath(path, host)) {
    error = locate(path, 0, 0,
                   "not a scene file this tool reads (a Maya ASCII .ma or a mental ray .mi)");
    return false;
  }
  gwf::MappedFile file;
  std::string why;
  if (!file.open(path, why)) {
    error = locate(path, 0, 0, "cannot read the file: " + why);
    return false;
  }
  // Pages behind the reader go back to the system as it goes.
  ReadOptions withRelease = options;
  withRelease.progress = [&](size_t done, size_t total) {
    file.release(done);
    if (options.progress) options.progress(done, total);
  };
  return host == Host::kMaya ? readMayaAscii(file.text(), path, schema, out, error, withRelease)
                             : readMentalRay(file.text(), path, schema, out, error, withRelease);
}

std::string listMaterial(const SceneMaterial& m, const MaterialSchema& schema) {
  std::string line = quoted(m.name);
  const HostSchema* host = schema.host(m.host);
  if (!host) return line + "\n";
  for (size_t i = 0; i < host->inputs.size(); ++i) {
    const size_t input = static_cast<size_t>(schema.mergedIndex(m.host, i));
    const MaterialInput& in = schema[input];
    line += ' ';
    line += in.name;
    line += '=';
    line += formatValue(in.kind, m.material[input]);
    std::string sources;
    for (const Connection& c : m.connections) {
      if (c.input != input) continue;
      if (!sources.empty()) sources += ',';
      if (c.component >= 0) {
        sources += host->inputs[i].childLong[static_cast<size_t>(c.component)] + ":";
      }
      sources += quoted(c.source);
    }
    if (!sources.empty()) line += "<-" + sources;
  }
  return line + "\n";
}

}  // namespace gws
