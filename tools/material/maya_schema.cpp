#include "maya_schema.h"

#include "library_file.h"
#include "path.h"
#include "process_cache.h"

#ifdef GLINTWEAVE_MATERIAL_HAVE_MAYA_HOST
#include <maya/MFnNumericData.h>
#include <mayahost.h>
#endif

namespace gws {

#ifndef GLINTWEAVE_MATERIAL_HAVE_MAYA_HOST

bool mayaSchemaAvailable() { return false; }

std::shared_ptr<const HostSchema> loadMayaSchema(const std::string& pluginPath,
                                                 std::string& error) {
  error = "cannot load the Maya plug-in " + pluginPath +
          ": this build has no stand-in Maya host to load it into";
  return nullptr;
}

#else

namespace {

using mayahost::AttributeKind;
using mayahost::AttributeRecord;
using mayahost::NodeTypeRecord;

// What MPxNode's base class gives every node; the plug-in does not create them.
const OtherName kDependNodeAttributes[] = {
    {"message", "msg"},  {"caching", "cch"},   {"frozen", "fzn"},
    {"isHistoricallyInteresting", "ihi"},      {"nodeState", "nds"},
    {"binMembership", "bnm"},
};

bool numericKind(MFnNumericData::Type t, ValueKind& kind) {
  switch (t) {
    case MFnNumericData::kFloat:
    case MFnNumericData::kDouble:
      kind = ValueKind::kFloat;
      return true;
    case MFnNumericData::kInt:
    case MFnNumericData::kShort:
    case MFnNumericData::kByte:
    case MFnNumericData::kChar:
      kind = ValueKind::kInt;
      return true;
    case MFnNumericData::kBoolean:
      kind = ValueKind::kBool;
      return true;
    default:
      return false;
  }
}

double stored(ValueKind kind, double v) { return storedValue(kind, v); }

void addOther(HostSchema& s, const AttributeRecord& a) {
  s.others.push_back({a.longName, a.shortName});
  for (const AttributeRecord* c : a.children) addOther(s, *c);
}

// The input an attribute makes, if it is one: a numeric attribute of a
// plain kind, or a compound of three numeric children (a colour when marked
// as one, else a vector).
bool inputFrom(const AttributeRecord& a, InputSpec& in) {
  in.longName = a.longName;
  in.shortName = a.shortName;
  if (a.children.size() == 3 &&
      (a.kind == AttributeKind::kCompound || a.kind == AttributeKind::kNumeric)) {
    in.kind = a.flags.usedAsColor ? ValueKind::kColor : ValueKind::kVector;
    for (size_t c = 0; c < 3; ++c) {
      const AttributeRecord& child = *a.children[c];
      ValueKind childKind;
      if (child.kind != AttributeKind::kNumeric || !numericKind(child.numericType, childKind)) {
        return false;
      }
      in.childLong[c] = child.longName;
      in.childShort[c] = child.shortName;
      const double d = a.defaults.size() == 3    ? a.defaults[c]
                       : !child.defaults.empty() ? child.defaults[0]
                                                 : 0.0;
      in.defaultValue[c] = stored(in.kind, d);
    }
  } else if (a.kind == AttributeKind::kNumeric && a.children.empty() &&
             numericKind(a.numericType, in.kind)) {
    in.defaultValue[0] = stored(in.kind, a.defaults.empty() ? a.createDefault : a.defaults[0]);
  } else {
    return false;
  }
  if (a.hasMin) in.min = a.min;
  if (a.hasMax) in.max = a.max;
  if (a.hasSoftMin) in.softMin = a.softMin;
  if (a.hasSoftMax) in.softMax = a.softMax;
  return true;
}

std::shared_ptr<HostSchema> schemaOf(const NodeTypeRecord& type, const std::string& source) {
  auto s = std::make_shared<HostSchema>();
  s->host = Host::kMaya;
  s->source = source;
  s->nodeType = type.name;
  s->pluginName = gwf::stemOf(source);
  for (const AttributeRecord* a : type.created) {
    if (a->parent) continue;  // children come with their parent
    InputSpec in;
    const bool input = a->flags.storable && a->flags.writable && !a->flags.hidden &&
                       !a->flags.array && inputFrom(*a, in);
    if (input) {
      s->inputs.push_back(std::move(in));
    } else {
      addOther(*s, *a);
    }
  }
  for (const OtherName& o : kDependNodeAttributes) s->others.push_back(o);
  return s;
}

// Loads the plug-in into the stand-in host, reads what it registered, and
// unloads it again.
std::shared_ptr<const HostSchema> readMayaSchema(const std::string& pluginPath,
                                                 std::string& error) {
  if (!gwf::libraryFileLoadable("Maya plug-in", pluginPath, error)) return nullptr;
  const size_t before = mayahost::registrationHistory().size();
  std::string why;
  std::unique_ptr<mayahost::Plugin> plugin = mayahost::Plugin::load(pluginPath, &why);
  if (!plugin) {
    error = "cannot load the Maya plug-in " + pluginPath + (why.empty() ? "" : ": " + why);
    return nullptr;
  }
  const MStatus status = plugin->initialize();
  // The surface shader type the plug-in asked the host to register.
  const NodeTypeRecord* ours = nullptr;
  const auto history = mayahost::registrationHistory();
  for (size_t i = before; i < history.size() && !ours; ++i) {
    const NodeTypeRecord* t = history[i];
    if (t->registered) {
      ours = t;
    } else if (const NodeTypeRecord* live = mayahost::findNodeType(t->name.c_str())) {
      ours = live;  // the type is registered already, by a copy of the plug-in loaded before
    }
  }
  std::shared_ptr<HostSchema> schema;
  if (ours) schema = schemaOf(*ours, pluginPath);
  if (schema) schema->version = plugin->record().version;
  // Unregister only what this load registered: a failed initialize left the
  // earlier copy's type alone, and uninitializing would take it away.
  if (status && ours && ours->registered) plugin->uninitialize();
  plugin.reset();
  if (!schema) {
    error = status ? "the Maya plug-in " + pluginPath + " registered no node type"
                   : "the Maya plug-in " + pluginPath + " failed to initialise";
    return nullptr;
  }
  if (schema->inputs.empty()) {
    error = "the Maya plug-in " + pluginPath + "'s node type \"" + schema->nodeType +
            "\" has no material inputs";
    return nullptr;
  }
  return schema;
}

}  // namespace

bool mayaSchemaAvailable() { return true; }

std::shared_ptr<const HostSchema> loadMayaSchema(const std::string& pluginPath,
                                                 std::string& error) {
  static ProcessCache<std::string, HostSchema> cache;
  return cache.get(pluginPath, [&] { return readMayaSchema(pluginPath, error); });
}

#endif

}  // namespace gws
