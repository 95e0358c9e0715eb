#include "option_values.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace gwp {

namespace {

std::string bound(long b) { return std::to_string(b); }
std::string bound(float b) { return gws::formatFloat(b); }

// A number in [lo, hi] that is the whole of `text`, read by `read` (strtol,
// or strtof, which also takes "nan", "inf" and hex floats: only finite
// numbers are values). `what` names the option in the message, `kind` what
// the text must be.
template <typename T, typename Read>
bool parseNumber(const std::string& text, T lo, T hi, const char* what, const char* kind,
                 Read read, T& out, std::string& error) {
  char* end = nullptr;
  errno = 0;
  const T v = text.empty() ? T{} : read(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE ||
      !std::isfinite(static_cast<double>(v))) {
    error = std::string(what) + ": '" + text + "' is not " + kind;
    return false;
  }
  if (v < lo || v > hi) {
    error = std::string(what) + " " + text + " is out of range [" + bound(lo) + ", " + bound(hi) +
            "]";
    return false;
  }
  out = v;
  return true;
}

}  // namespace

bool parseInt(const std::string& text, long lo, long hi, const char* what, int& out,
              std::string& error) {
  const auto read = [](const char* s, char** end) { return std::strtol(s, end, 10); };
  long v = 0;
  if (!parseNumber(text, lo, hi, what, "an integer", read, v, error)) return false;
  out = static_cast<int>(v);
  return true;
}

bool parseFloat(const std::string& text, float lo, float hi, const char* what, float& out,
                std::string& error) {
  const auto read = [](const char* s, char** end) { return std::strtof(s, end); };
  return parseNumber(text, lo, hi, what, "a finite number", read, out, error);
}

bool parseSize(const std::string& text, int& w, int& h, std::string& error) {
  const size_t x = text.find('x');
  if (x == std::string::npos) {
    error = "--size: expected WIDTHxHEIGHT, got '" + text + "'";
    return false;
  }
  return parseInt(text.substr(0, x), kMinSize, kMaxSize, "--size width", w, error) &&
         parseInt(text.substr(x + 1), kMinSize, kMaxSize, "--size height", h, error);
}

// "name=v1,v2,..." into `sweep`, checked against `schema`.
bool parseSweep(const MaterialSchema& schema, const std::string& text, Sweep& sweep,
                std::string& error) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos) {
    error = "--sweep: expected name=v1,v2,..., got '" + text + "'";
    return false;
  }
  const std::string name = text.substr(0, eq);
  const int id = schema.find(name);
  if (id < 0) {
    error = "--sweep: " + gws::unknownInputMessage(&schema, name);
    return false;
  }
  sweep.input = static_cast<size_t>(id);
  // Values are separated by commas, a colour's components by colons; or,
  // where the list holds spaces or ';', values by those and components by
  // commas or colons, as --set takes them.
  const std::string list = text.substr(eq + 1);
  const bool spaced = list.find_first_of(" \t;") != std::string::npos;
  std::vector<std::string> items;
  if (spaced) {
    std::string item;
    for (char c : list + " ") {
      if (c == ' ' || c == '\t' || c == ';') {
        if (!item.empty()) items.push_back(item);
        item.clear();
      } else {
        item += c;
      }
    }
  } else {
    size_t start = 0;
    while (true) {
      const size_t comma = list.find(',', start);
      items.push_back(list.substr(start, comma == std::string::npos ? comma : comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  for (const std::string& item : items) {
    Value v{};
    std::string why;
    if (!parseValue(schema, sweep.input, item, v, why)) {
      error = "--sweep " + name + ": " + why;
      return false;
    }
    sweep.values.push_back(v);
  }
  if (sweep.values.empty()) {
    error = "--sweep " + name + ": no values";
    return false;
  }
  if (sweep.values.size() > kMaxSweepValues) {
    error = "--sweep " + name + ": at most " + std::to_string(kMaxSweepValues) + " values";
    return false;
  }
  return true;
}

bool hostHas(const MaterialSchema& schema, Host host, size_t id) { return schema[id].in(host); }

std::string hostList(const std::vector<Host>& hosts) {
  std::string s;
  for (Host h : hosts) s += (s.empty() ? "" : " | ") + std::string(hostName(h));
  return s;
}

ValueCheck checkIntIn(long lo, long hi, const char* what) {
  return [lo, hi, what](const std::string& text) {
    int v = 0;
    std::string error;
    return parseInt(text, lo, hi, what, v, error) ? std::string() : error;
  };
}

ValueCheck checkFloatIn(float lo, float hi, const char* what) {
  return [lo, hi, what](const std::string& text) {
    float v = 0.0f;
    std::string error;
    return parseFloat(text, lo, hi, what, v, error) ? std::string() : error;
  };
}

std::string checkSize(const std::string& text) {
  int w = 0, h = 0;
  std::string error;
  return parseSize(text, w, h, error) ? std::string() : error;
}

bool parseHost(const std::string& text, std::vector<Host>& hosts) {
  if (text == "maya") {
    hosts = {Host::kMaya};
  } else if (text == "mentalray") {
    hosts = {Host::kMentalRay};
  } else if (text == "both") {
    hosts = {Host::kMaya, Host::kMentalRay};
  } else {
    return false;
  }
  return true;
}

std::string checkHost(const std::string& text) {
  std::vector<Host> hosts;
  return parseHost(text, hosts)
             ? std::string()
             : "--host: unknown host '" + text + "' (use maya, mentalray or both)";
}

std::string checkFormat(const std::string& text) {
  return text == "png" || text == "exr"
             ? std::string()
             : "--format: unknown image format '" + text + "' (use png or exr)";
}

std::string extensionOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

std::string checkLightSamples(const std::string& text) {
  return text == "auto" ? std::string() : checkIntIn(1, kMaxLightSamples, "--light-samples")(text);
}

std::string checkPreset(const std::string& text) {
  if (findPreset(text)) return "";
  std::string names;
  for (const Preset& p : presets()) names += (names.empty() ? "" : ", ") + std::string(p.name);
  return "--preset: unknown preset '" + text + "' (one of " + names + ")";
}

}  // namespace gwp
