// The Maya ASCII reader; see scene_file.h for what it reads.
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "ma_lexer.h"
#include "scene_file.h"
#include "scene_util.h"

namespace gws {
namespace {

std::string unescape(const MaToken& t) {
  return t.escaped ? unescapeQuoted(t.text) : std::string(t.text);
}

bool isFlag(const MaToken& t) {
  return !t.quoted && t.text.size() >= 2 && t.text[0] == '-' &&
         ((t.text[1] >= 'a' && t.text[1] <= 'z') || (t.text[1] >= 'A' && t.text[1] <= 'Z'));
}

// setAttr's flags and whether each takes a value.
struct FlagInfo {
  const char* shortName;
  const char* longName;
  bool takesValue;
};
const FlagInfo kSetAttrFlags[] = {
    {"-k", "-keyable", true},      {"-l", "-lock", true},        {"-cb", "-channelBox", true},
    {"-ca", "-caching", true},     {"-s", "-size", true},        {"-ch", "-capacityHint", true},
    {"-av", "-alteredValue", false}, {"-c", "-clamp", false},    {"-type", "-type", true},
};

const FlagInfo* setAttrFlag(std::string_view f) {
  for (const FlagInfo& i : kSetAttrFlags) {
    if (f == i.shortName || f == i.longName) return &i;
  }
  return nullptr;
}

// A node of the plug-in's type, as the reader knows it.
struct OurNode {
  size_t material;  // index into SceneFile::materials
  std::unordered_set<std::string> dynamicNames;  // attributes added by addAttr
};

class MayaReader : SceneReaderBase<MaLexer> {
 public:
  using SceneReaderBase::SceneReaderBase;

  bool read(std::string& error);

 private:
  using R = MaLexer::Result;

  bool fail(const MaToken& at, const std::string& message) {
    error_ = locate(name_, at.line, at.column, message);
    return false;
  }
  bool scanFailed() {
    error_ = locate(name_, lex_.errorLine(), lex_.errorColumn(), lex_.error());
    return false;
  }
  // The next word of the statement; false at its end (`r` says why).
  bool word(MaToken& t, R& r) {
    r = lex_.next(t);
    return r == R::kToken;
  }
  bool finish(R r, const MaToken& start) {
    if (r == R::kEndOfStatement) return true;
    if (r == R::kError) return scanFailed();
    if (r == R::kEndOfFile) return unterminated(start);
    r = lex_.skipStatement();
    if (r == R::kEndOfStatement) return true;
    if (r == R::kError) return scanFailed();
    return unterminated(start);
  }
  bool unterminated(const MaToken& start) {
    return fail(start, "unterminated statement: no ';' after '" + std::string(start.text) +
                           "' before the end of the file");
  }

  bool createNode(const MaToken& cmd);
  bool select(const MaToken& cmd);
  bool setAttr(const MaToken& cmd);
  bool addAttr(const MaToken& cmd);
  bool connectAttr(const MaToken& cmd);
  // `plug` names an attribute path of node `node` ("c", "cr", "ltd[0].ld").
  // Sets `input`/`component`; false (with the error set) for a name the
  // node does not have; `skip` for a name it has that is not an input.
  bool resolvePlug(const OurNode& node, std::string_view path, const MaToken& at, int& input,
                   int& component, bool& skip);
  bool setValues(OurNode& node, int input, int component, const std::string& type,
                 const MaToken& plugToken, const std::vector<MaToken>& values);

  std::vector<OurNode> nodes_;
  std::unordered_map<std::string, size_t> byName_;  // node name -> index into nodes_
  int current_ = -1;                                // index into nodes_, or -1
  size_t unnamed_ = 0;
  std::vector<MaToken> values_;  // reused for every setAttr on our nodes
};

bool MayaReader::read(std::string& error) {
  for (;;) {
    MaToken cmd;
    const R r = lex_.next(cmd);
    if (r == R::kEndOfFile) break;
    if (r == R::kError) {
      scanFailed();
      break;
    }
    if (r == R::kEndOfStatement) continue;
    bool ok = true;
    if (cmd.quoted) {
      ok = finish(lex_.skipStatement(), cmd);
    } else if (cmd.text == "setAttr") {
      if (current_ >= 0) {
        ok = setAttr(cmd);
      } else {
        // About another node, unless it names one of ours ("g.su"): then
        // it is read again properly.
        const MaLexer::Mark start = lex_.mark();
        bool named = false;
        const R skipped = lex_.skipStatement(&byName_, &named);
        if (named) {
          lex_.rewind(start);
          ok = setAttr(cmd);
        } else {
          ok = finish(skipped, cmd);
        }
      }
    } else if (cmd.text == "createNode") {
      ok = createNode(cmd);
    } else if (cmd.text == "connectAttr") {
      ok = connectAttr(cmd);
    } else if (cmd.text == "select") {
      ok = select(cmd);
    } else if (cmd.text == "addAttr") {
      ok = addAttr(cmd);
    } else {
      ok = finish(lex_.skipStatement(), cmd);
    }
    if (!ok) break;
    progress(lex_.offset());
  }
  if (!error_.empty()) {
    error = error_;
    return false;
  }
  progressDone();
  return true;
}

bool MayaReader::createNode(const MaToken& cmd) {
  MaToken t;
  R r;
  if (!word(t, r)) {
    if (r == R::kError) return scanFailed();
    if (r == R::kEndOfFile) return unterminated(cmd);
    return fail(cmd, "createNode without a node type");
  }
  const bool ours = std::string_view(unescape(t)) == host_.nodeType;
  std::string nodeName;
  while (word(t, r)) {
    if (!t.quoted && (t.text == "-n" || t.text == "-name" || t.text == "-p" ||
                      t.text == "-parent")) {
      const bool isName = t.text[1] == 'n';
      MaToken v;
      if (!word(v, r)) break;
      if (isName) nodeName = unescape(v);
    }
  }
  if (!finish(r, cmd)) return false;
  if (!ours) {
    current_ = -1;
    return true;
  }
  if (nodeName.empty()) nodeName = host_.nodeType + std::to_string(++unnamed_);
  SceneMaterial m;
  m.name = nodeName;
  m.host = Host::kMaya;
  m.material = Material(schemaPtr_);
  m.line = cmd.line;
  m.column = cmd.column;
  out_.materials.push_back(std::move(m));
  nodes_.push_back(OurNode{out_.materials.size() - 1, {}});
  current_ = static_cast<int>(nodes_.size() - 1);
  byName_[nodeName] = nodes_.size() - 1;
  return true;
}

bool MayaReader::select(const MaToken& cmd) {
  MaToken t;
  R r;
  bool named = false;
  current_ = -1;
  while (word(t, r)) {
    if (isFlag(t) || named) continue;
    named = true;
    std::string n = unescape(t);
    if (!n.empty() && n[0] == ':') n.erase(0, 1);  // the root namespace
    const auto it = byName_.find(n);
    if (it != byName_.end()) current_ = static_cast<int>(it->second);
  }
  return finish(r, cmd);
}

bool MayaReader::addAttr(const MaToken& cmd) {
  MaToken t;
  R r;
  OurNode* node = current_ >= 0 ? &nodes_[static_cast<size_t>(current_)] : nullptr;
  while (word(t, r)) {
    if (node && !t.quoted &&
        (t.text == "-ln" || t.text == "-longName" || t.text == "-sn" || t.text == "-shortName")) {
      MaToken v;
      if (!word(v, r)) break;
      node->dynamicNames.insert(unescape(v));
    }
  }
  return finish(r, cmd);
}

bool MayaReader::resolvePlug(const OurNode& node, std::string_view path, const MaToken& at,
                             int& input, int& component, bool& skip) {
  skip = false;
  const std::string& nodeName = out_.materials[node.material].name;
  auto unknown = [&]() {
    return fail(at, "unknown attribute '." + std::string(path) + "' on " + host_.nodeType +
                        " node '" + nodeName + "'");
  };
  // The first element names the attribute; array indices only matter to
  // names that are not inputs.
  const size_t dot = path.find('.');
  std::string_view first = path.substr(0, dot);
  const size_t bracket = first.find('[');
  const bool indexed = bracket != std::string_view::npos;
  if (indexed) first = first.substr(0, bracket);
  const Resolved res = host_.resolve(first);
  if (res.what == Resolved::What::kOther || node.dynamicNames.count(std::string(first))) {
    skip = true;
    return true;
  }
  if (res.what != Resolved::What::kInput || indexed) return unknown();
  input = schema_.mergedIndex(Host::kMaya, static_cast<size_t>(res.input));
  component = res.component;
  if (dot == std::string_view::npos) return true;
  // "color.colorR": a child named through its parent.
  const std::string_view rest = path.substr(dot + 1);
  const Resolved child = host_.resolve(rest);
  if (component >= 0 || child.what != Resolved::What::kInput || child.input != res.input ||
      child.component < 0) {
    return unknown();
  }
  component = child.component;
  return true;
}

bool MayaReader::setValues(OurNode& node, int input, int component, const std::string& type,
                           const MaToken& plugToken, const std::vector<MaToken>& values) {
  const MaterialInput& in = schema_[static_cast<size_t>(input)];
  const bool whole = component < 0;
  const int want = whole ? componentCount(in.kind) : 1;
  const std::string plugName = "'" + std::string(plugToken.text) + "'";
  const bool compound = whole && want == 3;
  if (!type.empty()) {
    const bool triple = type == "float3" || type == "double3";
    if (!compound || !triple) {
      return fail(plugToken, plugName + " is " +
                                 (whole ? withArticle(in.kind) : std::string("a float")) +
                                 " and cannot take -type \"" + type + "\"");
    }
  }
  if (values.empty()) return true;  // only flags (lock, keyable, ...) are set
  if (static_cast<int>(values.size()) != want) {
    return fail(values.size() > static_cast<size_t>(want) ? values[static_cast<size_t>(want)]
                                                            : plugToken,
                plugName + " takes " + std::to_string(want) +
                    (want == 1 ? " value" : " values") + ", found " +
                    std::to_string(values.size()));
  }
  Value v = out_.materials[node.material].material[static_cast<size_t>(input)];
  const ValueKind componentKind =
      in.kind == ValueKind::kColor || in.kind == ValueKind::kVector ? ValueKind::kFloat : in.kind;
  for (int i = 0; i < want; ++i) {
    const MaToken& t = values[static_cast<size_t>(i)];
    double x = 0.0;
    if (t.quoted || !parseComponent(componentKind, t.text, x)) {
      return fail(t, "'" + std::string(t.text) + "' is not a " +
                         (componentKind == ValueKind::kBool  ? "boolean"
                          : componentKind == ValueKind::kInt ? "whole number"
                                                             : "number") +
                         " (" + plugName + " is " + withArticle(in.kind) + ")");
    }
    v[static_cast<size_t>(whole ? i : component)] = x;
  }
  if (std::string why = hostValueProblem(schema_, static_cast<size_t>(input), v, Host::kMaya); !why.empty()) {
    return fail(values.front(), in.name + ": " + why);
  }
  out_.materials[node.material].material[static_cast<size_t>(input)] = v;
  return true;
}

bool MayaReader::setAttr(const MaToken& cmd) {
  MaToken t;
  R r;
  std::string type;
  // Flags, then the plug.
  for (;;) {
    if (!word(t, r)) return finish(r, cmd);
    if (!isFlag(t)) break;
    const FlagInfo* f = setAttrFlag(t.text);
    if (f && f->takesValue) {
      MaToken v;
      if (!word(v, r)) return finish(r, cmd);
      if (f->longName == std::string_view("-type")) type = unescape(v);
    }
  }
  // ".attr" applies to the current node; "node.attr" names its node.
  OurNode* node = nullptr;
  std::string_view path = t.text;
  if (!path.empty() && path[0] == '.') {
    if (current_ >= 0) node = &nodes_[static_cast<size_t>(current_)];
    path.remove_prefix(1);
  } else {
    const size_t dot = path.find('.');
    if (dot != std::string_view::npos) {
      const auto it = byName_.find(std::string(path.substr(0, dot)));
      if (it != byName_.end()) node = &nodes_[it->second];
      path.remove_prefix(dot + 1);
    }
  }
  if (!node) return finish(lex_.skipStatement(), cmd);
  int input = -1, component = -1;
  bool skip = false;
  const MaToken plug = t;
  if (!resolvePlug(*node, path, plug, input, component, skip)) return false;
  if (skip) return finish(lex_.skipStatement(), cmd);
  // The values, and flags written after the plug.
  values_.clear();
  constexpr size_t kMaxValues = 8;  // far more than any input takes
  size_t count = 0;
  while (word(t, r)) {
    if (isFlag(t)) {
      const FlagInfo* f = setAttrFlag(t.text);
      if (f && f->takesValue) {
        MaToken v;
        if (!word(v, r)) break;
        if (f->longName == std::string_view("-type")) type = unescape(v);
      }
      continue;
    }
    if (count++ < kMaxValues) values_.push_back(t);
  }
  if (r != R::kEndOfStatement) return finish(r, cmd);
  if (count > values_.size()) {
    return fail(plug, "'" + std::string(plug.text) + "' takes at most 3 values, found " +
                          std::to_string(count));
  }
  return setValues(*node, input, component, type, plug, values_);
}

bool MayaReader::connectAttr(const MaToken& cmd) {
  MaToken t;
  R r;
  MaToken plugs[2];
  int found = 0;
  while (word(t, r)) {
    if (isFlag(t)) {
      if (t.text == "-l" || t.text == "-lock") {
        MaToken v;
        if (!word(v, r)) break;
      }
      continue;
    }
    if (found < 2) plugs[found] = t;
    ++found;
  }
  if (!finish(r, cmd)) return false;
  if (found < 2) return true;  // not a connection this reader can use
  const std::string dst = unescape(plugs[1]);
  const size_t dot = dst.find('.');
  if (dot == std::string::npos) return true;
  const auto it = byName_.find(dst.substr(0, dot));
  if (it == byName_.end()) return true;
  OurNode& node = nodes_[it->second];
  int input = -1, component = -1;
  bool skip = false;
  if (!resolvePlug(node, std::string_view(dst).substr(dot + 1), plugs[1], input, component,
                   skip)) {
    return false;
  }
  if (skip) return true;
  out_.materials[node.material].connections.push_back(
      Connection{static_cast<size_t>(input), component, unescape(plugs[0])});
  return true;
}

}  // namespace

bool readMayaAscii(std::string_view text, const std::string& name,
                   const std::shared_ptr<const MaterialSchema>& schema, SceneFile& out,
                   std::string& error, const ReadOptions& options) {
  return readSceneWith<MayaReader>(Host::kMaya,
                                   "cannot read a Maya scene without the Maya plug-in's schema",
                                   {"it creates no ", " node"}, text, name, schema, out, error,
                                   options);
}

}  // namespace gws
