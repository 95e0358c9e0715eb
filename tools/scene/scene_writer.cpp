#include "scene_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace gws {
namespace {

std::string number(ValueKind kind, double v) {
  if (kind == ValueKind::kInt || kind == ValueKind::kBool) {
    return std::to_string(static_cast<long long>(v));
  }
  return formatFloat(toFloat(v));
}

std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool validMaterialName(const std::string& name, std::string& error) {
  const auto letter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  };
  bool ok = !name.empty() && letter(name[0]);
  for (char c : name) ok = ok && (letter(c) || (c >= '0' && c <= '9'));
  if (!ok) {
    error = "'" + name +
            "' cannot name a node: use a letter or _ first, then letters, digits and _";
  }
  return ok;
}

std::string mayaAsciiText(const Material& material, const std::string& name,
                          const std::string& fileName) {
  const MaterialSchema& schema = material.schema();
  const HostSchema& maya = *schema.host(Host::kMaya);
  const std::string file = baseName(fileName);
  std::string text;
  text += "//Maya ASCII 2008 scene\n";
  text += "//Name: " + file + "\n";
  text += "//Codeset: UTF-8\n";
  text += "requires maya \"2008\";\n";
  text += "requires \"" + maya.pluginName + "\" \"" + maya.version + "\";\n";
  text += "createNode " + maya.nodeType + " -n \"" + name + "\";\n";
  for (size_t i = 0; i < maya.inputs.size(); ++i) {
    const InputSpec& in = maya.inputs[i];
    const Value& v = material[static_cast<size_t>(schema.mergedIndex(Host::kMaya, i))];
    // Maya writes only what differs from the default; compare as stored.
    bool same = true;
    for (int c = 0; c < componentCount(in.kind); ++c) {
      const size_t k = static_cast<size_t>(c);
      same = same && number(in.kind, v[k]) == number(in.kind, in.defaultValue[k]);
    }
    if (same) continue;
    const std::string plug = "\tsetAttr \"." + (in.shortName.empty() ? in.longName : in.shortName) + "\"";
    switch (in.kind) {
      case ValueKind::kColor:
      case ValueKind::kVector:
        text += plug + " -type \"float3\" " + number(in.kind, v[0]) + " " + number(in.kind, v[1]) +
                " " + number(in.kind, v[2]) + " ;\n";
        break;
      case ValueKind::kBool:
        text += plug + " " + (v[0] != 0.0 ? "yes" : "no") + ";\n";
        break;
      default:
        text += plug + " " + number(in.kind, v[0]) + ";\n";
        break;
    }
  }
  text += "// End of " + file + "\n";
  return text;
}

std::string mentalRayText(const Material& material, const std::string& name,
                          const std::string& fileName) {
  const MaterialSchema& schema = material.schema();
  const HostSchema& mr = *schema.host(Host::kMentalRay);
  std::string text;
  text += "# " + baseName(fileName) + ": a " + mr.nodeType + " material for mental ray\n";
  text += "link \"" + mr.nodeType + ".so\"\n";
  text += "$include \"" + mr.nodeType + ".mi\"\n\n";
  text += "shader \"" + name + "\"\n";
  text += "    \"" + mr.nodeType + "\" (\n";
  std::vector<std::string> lines;
  for (size_t i = 0; i < mr.inputs.size(); ++i) {
    const InputSpec& in = mr.inputs[i];
    const Value& v = material[static_cast<size_t>(schema.mergedIndex(Host::kMentalRay, i))];
    std::string line = "        \"" + in.longName + "\" ";
    switch (in.kind) {
      case ValueKind::kColor:
        line += number(in.kind, v[0]) + " " + number(in.kind, v[1]) + " " +
                number(in.kind, v[2]) + " 1";
        break;
      case ValueKind::kVector:
        line += number(in.kind, v[0]) + " " + number(in.kind, v[1]) + " " +
                number(in.kind, v[2]);
        break;
      case ValueKind::kBool:
        line += v[0] != 0.0 ? "on" : "off";
        break;
      default:
        line += number(in.kind, v[0]);
        break;
    }
    lines.push_back(line);
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    text += lines[i] + (i + 1 < lines.size() ? ",\n" : "\n");
  }
  text += "        # \"light\" [ \"yourLightInstance\", ... ]: the lights that reach it\n";
  text += "    )\n";
  return text;
}

TextFile::~TextFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

bool TextFile::open(const std::string& path, std::string& error) {
  struct stat st;
  if (path.empty()) {
    error = "the path is empty";
    return false;
  }
  if (path.back() == '/' || (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
    error = "cannot write " + path + ": it names a directory";
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string pattern = dir + "/." + name + ".XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  fd_ = ::mkstemp(buf.data());
  if (fd_ < 0) {
    error = "cannot write to " + dir + ": " + std::strerror(errno);
    return false;
  }
  // mkstemp makes the file private; a scene is as readable as any new file.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd_, static_cast<mode_t>(0666) & ~mask);
  path_ = path;
  temp_ = buf.data();
  return true;
}

bool TextFile::commit(const std::string& text, std::string& error) {
  if (fd_ < 0) {
    error = "no file is open";
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = "cannot write " + path_ + ": " + std::strerror(errno);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0 || ::rename(temp_.c_str(), path_.c_str()) != 0) {
    error = "cannot write " + path_ + ": " + std::strerror(errno);
    return false;
  }
  temp_.clear();
  return true;
}

bool writeFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  TextFile file;
  return file.open(path, error) && file.commit(text, error);
}

}  // namespace gws
