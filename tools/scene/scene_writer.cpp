#include "scene_writer.h"

#include <algorithm>
#include <vector>

namespace gws {
namespace {

std::string number(ValueKind kind, double v) {
  if (kind == ValueKind::kInt || kind == ValueKind::kBool) {
    return std::to_string(static_cast<long long>(v));
  }
  return formatFloat(toFloat(v) + 0.0f);  // -0 is written as 0, as the readers keep it
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

std::vector<std::string> inputsWithoutPlace(const Material& material, Host target) {
  std::vector<std::string> lines;
  const MaterialSchema& schema = material.schema();
  const Host other = target == Host::kMaya ? Host::kMentalRay : Host::kMaya;
  for (size_t i = 0; i < schema.size(); ++i) {
    const MaterialInput& in = schema[i];
    if (in.in(target)) continue;
    bool same = true;
    for (int c = 0; c < componentCount(in.kind); ++c) {
      const size_t k = static_cast<size_t>(c);
      same = same && number(in.kind, material[i][k]) == number(in.kind, in.defaultValue[k]);
    }
    if (same) continue;
    lines.push_back(in.name + "=" + formatValue(in.kind, material[i]) + " (only " +
                    hostName(other) + " has " + in.name + ")");
  }
  return lines;
}

namespace {

void appendMayaNode(const Material& material, const std::string& name, std::string& text) {
  const MaterialSchema& schema = material.schema();
  const HostSchema& maya = *schema.host(Host::kMaya);
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
  for (const std::string& line : inputsWithoutPlace(material, Host::kMaya)) {
    text += "// " + name + ": not written: " + line + "\n";
  }
}

void appendMentalRayShader(const Material& material, const std::string& name, std::string& text) {
  const MaterialSchema& schema = material.schema();
  const HostSchema& mr = *schema.host(Host::kMentalRay);
  for (const std::string& line : inputsWithoutPlace(material, Host::kMentalRay)) {
    text += "# " + name + ": not written: " + line + "\n";
  }
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
}

}  // namespace

std::string mayaAsciiText(const std::vector<NamedMaterial>& materials,
                          const std::string& fileName) {
  const HostSchema& maya = *materials.at(0).material.schema().host(Host::kMaya);
  const std::string file = baseName(fileName);
  std::string text;
  text += "//Maya ASCII 2008 scene\n";
  text += "//Name: " + file + "\n";
  text += "//Codeset: UTF-8\n";
  text += "requires maya \"2008\";\n";
  text += "requires \"" + maya.pluginName + "\" \"" + maya.version + "\";\n";
  for (const NamedMaterial& m : materials) appendMayaNode(m.material, m.name, text);
  text += "// End of " + file + "\n";
  return text;
}

std::string mentalRayText(const std::vector<NamedMaterial>& materials,
                          const std::string& fileName) {
  const HostSchema& mr = *materials.at(0).material.schema().host(Host::kMentalRay);
  std::string text;
  text += "# " + baseName(fileName) + ": " +
          (materials.size() == 1 ? "a " + mr.nodeType + " material"
                                 : std::to_string(materials.size()) + " " + mr.nodeType +
                                       " materials") +
          " for mental ray\n";
  text += "link \"" + mr.nodeType + ".so\"\n";
  text += "$include \"" + mr.nodeType + ".mi\"\n";
  for (const NamedMaterial& m : materials) {
    text += "\n";
    appendMentalRayShader(m.material, m.name, text);
  }
  return text;
}

std::string mayaAsciiText(const Material& material, const std::string& name,
                          const std::string& fileName) {
  return mayaAsciiText(std::vector<NamedMaterial>{{name, material}}, fileName);
}

std::string mentalRayText(const Material& material, const std::string& name,
                          const std::string& fileName) {
  return mentalRayText(std::vector<NamedMaterial>{{name, material}}, fileName);
}

std::string usableMaterialName(const std::string& name, std::vector<std::string>& taken) {
  std::string base;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    base += ok ? c : '_';
  }
  if (base.empty() || (base[0] >= '0' && base[0] <= '9')) base = "_" + base;
  std::string result = base;
  for (int n = 2; std::find(taken.begin(), taken.end(), result) != taken.end(); ++n) {
    result = base + std::to_string(n);
  }
  taken.push_back(result);
  return result;
}

}  // namespace gws
