// Driver API of the stand-in Maya host.
//
// The stand-in is a small host, not a mock: it keeps the node types a plug-in
// registers, every attribute created with all its settings, the nodes and
// their values, and it evaluates a node's compute() the way Maya's dependency
// graph does. Tests and the preview renderer drive it through this header;
// the plug-in only ever sees the Maya API headers under include/maya/.
//
//   Plug-ins   Plugin::load(path) dlopens a library and finds its exported
//              initializePlugin / uninitializePlugin (C++ linkage, as Maya
//              looks them up) and MApiVersion; initialize() / uninitialize()
//              call them with the plug-in's MObject.
//   Records    findNodeType(), registrationHistory(), findAttribute(),
//              calls(), commands(): what the plug-in asked of the host, in
//              order. clearRecords() forgets the call and command logs.
//   Failures   failCall("MFnAttribute::setHidden", 3) makes the third call of
//              that function (counted since the last clearRecords()) fail.
//              FailMode::kRefuse: the call has no effect (a refused create
//              returns a null object and leaves the function set empty).
//              FailMode::kReportOnly: the call takes effect but returns the
//              failure, so a test can look at one report without follow-on
//              failures. Occurrence 0 fails every call of that function.
//              Function names are "Class::method" as listed in calls().
//   Nodes      Node::create("glintWeave") runs the registered creator and the
//              node's postConstructor. A node's values live in DataBlocks:
//              node.data() is its own, node.newDataBlock() a separate copy.
//   Values     DataBlock::setFloat/setInt/setShort/setBool/setVector/setAddr
//              write an attribute by long name, as setAttr does: outputs and
//              other unwritable attributes refuse (kInvalidParameter), and so
//              does a value of the wrong type. get* read any attribute. Each
//              also takes a Plug resolved once with Node::plug(), which skips
//              the lookup by name: a renderer filling a block per sample
//              resolves its plugs up front, as Maya's renderer does.
//              setLights()/setLight() fill lightDataArray elements the way the
//              renderer's light connections do (the children are unwritable).
//   Evaluation DataBlock::compute(plug) asks the node for a plug with this
//              block's values and reports the status and whether compute
//              marked the plug clean. Resolve the plug once with plug(name);
//              the call itself allocates nothing and takes no lock.
//   Tracing    setTracer(fn, user) routes MRenderUtil::raytrace to fn, which
//              receives the user pointer and every argument of the call. The
//              raySampler address the renderer stored in the block is passed
//              through untouched, so a renderer can point it at per-thread
//              context and shade the hit itself (e.g. with another DataBlock
//              of the same node at ray depth 1) on the calling thread.
//
// Threads: registration, node creation and the record functions serialise on
// one host lock. compute() and raytrace take no lock: any number of threads
// may evaluate at once as long as each uses its own DataBlock. Install the
// tracer before rendering starts.
#pragma once

#include <maya/MFloatVector.h>
#include <maya/MFnNumericData.h>
#include <maya/MPxNode.h>
#include <maya/MStatus.h>
#include <maya/MTypes.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

// Everything declared here is the host library's public interface.
#if !defined(_WIN32)
#pragma GCC visibility push(default)
#endif

namespace mayahost {

namespace detail {
struct NodeTypeRec;
struct PluginRec;
struct Storage;
struct NodeRec;
}  // namespace detail

// ---- records ---------------------------------------------------------------

enum class AttributeKind { kNumeric, kCompound, kLightData, kAddress };

// Maya's defaults for a new attribute.
struct AttributeFlags {
  bool readable = true;
  bool writable = true;
  bool connectable = true;
  bool storable = true;
  bool cached = true;
  bool array = false;
  bool indexMatters = true;
  bool keyable = false;
  bool channelBox = false;
  bool hidden = false;
  bool usedAsColor = false;
  bool indeterminant = false;
  bool renderSource = false;
  bool worldSpace = false;
  bool affectsWorldSpace = false;
  bool usesArrayDataBuilder = false;
  bool internal = false;
};

struct AttributeRecord {
  std::string longName;
  std::string shortName;
  AttributeKind kind = AttributeKind::kNumeric;
  MFnNumericData::Type numericType = MFnNumericData::kInvalid;
  double createDefault = 0.0;    // the default passed to create (numeric kinds)
  std::vector<double> defaults;  // current default (1, 2 or 3 values; 12 for light data)
  void* addressDefault = nullptr;
  AttributeFlags flags;
  bool hasMin = false, hasMax = false, hasSoftMin = false, hasSoftMax = false;
  double min = 0.0, max = 0.0, softMin = 0.0, softMax = 0.0;
  std::vector<const AttributeRecord*> children;  // in creation order
  const AttributeRecord* parent = nullptr;
  // Calls made on the attribute after its creation, in order, e.g.
  // "setKeyable(true)", "setDefault(float 0.8)", "setDefault(float3 1 1 1)",
  // "setDefault(int 1)", "setDefault(bool true)", "setSoftMin(0)", "setMin(1)",
  // "setDefault(light 0 0 0 0 0 0 true true false 1 1 0)".
  std::vector<std::string> calls;
};

struct NodeTypeRecord {
  std::string name;
  unsigned int id = 0;
  MPxNode::Type type = MPxNode::kDependNode;
  bool hasClassification = false;
  std::string classification;
  MStatus registrationStatus;                   // what registerNode returned
  MStatus initializeStatus;                     // what the type's initialize returned
  bool registered = false;                      // false once deregistered (or never registered)
  std::vector<const AttributeRecord*> created;  // in creation order
  std::vector<const AttributeRecord*> added;    // addAttribute order
  std::vector<std::pair<const AttributeRecord*, const AttributeRecord*>> affects;
};

struct PluginRecord {
  std::string path;
  std::string vendor;  // as last given to MFnPlugin
  std::string version;
  std::string requiredApiVersion;
};

struct CallRecord {
  std::string function;  // "Class::method"
  std::string subject;   // attribute long name, type name, id or command
  MStatus result;
};

struct CommandRecord {
  std::string command;
  bool displayEnabled = false;
  bool undoEnabled = false;
  MStatus result;
};

// The node type registered under that name now, or null.
const NodeTypeRecord* findNodeType(const char* name);
// Every registerNode attempt, in order, registered or not.
std::vector<const NodeTypeRecord*> registrationHistory();
const AttributeRecord* findAttribute(const NodeTypeRecord& type, const char* longName);
std::vector<CallRecord> calls();
std::vector<CommandRecord> commands();
void clearRecords();

// ---- failures ----------------------------------------------------------------

enum class FailMode { kRefuse, kReportOnly };
void failCall(const char* function, unsigned int occurrence,
              MStatus::MStatusCode code = MStatus::kFailure, FailMode mode = FailMode::kRefuse);
void clearFailures();

// ---- the Create Render Node window the refresh command looks for ------------

void setCreateRenderNodeWindowOpen(bool open);
// Classifications the window was refreshed for, in order.
std::vector<std::string> createRenderNodeWindowRefreshes();

// ---- plug-ins ----------------------------------------------------------------

class Plugin {
 public:
  // dlopens the library; null (and *error set) when it cannot be loaded or
  // lacks an entry point, as Maya rejects such a plug-in.
  static std::unique_ptr<Plugin> load(const std::string& path, std::string* error = nullptr);
  ~Plugin();  // forgets the types it left registered, then dlclose; destroy its nodes first
  MStatus initialize();
  MStatus uninitialize();
  const char* apiVersion() const;  // the exported MApiVersion text, or null
  PluginRecord record() const;

 private:
  Plugin() = default;
  void* library_ = nullptr;
  MStatus (*initialize_)(MObject) = nullptr;
  MStatus (*uninitialize_)(MObject) = nullptr;
  const char* apiVersion_ = nullptr;
  detail::PluginRec* record_ = nullptr;
};

// ---- nodes, values, evaluation ----------------------------------------------

// An attribute of a node type, resolved once by long name.
class Plug {
 public:
  Plug() = default;
  bool isNull() const { return attr_ == nullptr; }
  const AttributeRecord* record() const;

 private:
  friend class DataBlock;
  friend class Node;
  const detail::Attr* attr_ = nullptr;
};

// One light as the renderer delivers it; the defaults are none of the
// renderer's business and follow lightDataArray's light-data default.
struct Light {
  MFloatVector direction{0.0f, 0.0f, 0.0f};
  MFloatVector intensity{0.0f, 0.0f, 0.0f};
  bool ambient = true;
  bool diffuse = true;
  bool specular = false;
  float shadowFraction = 1.0f;
  float preShadowIntensity = 1.0f;
  void* blindData = nullptr;
};

struct ComputeResult {
  MStatus status;
  bool clean = false;  // compute marked the requested plug (or its parent) clean
};

class Node;

class DataBlock {
 public:
  ~DataBlock();
  DataBlock(const DataBlock&) = delete;
  DataBlock& operator=(const DataBlock&) = delete;

  MStatus setFloat(const char* longName, float value);
  MStatus setInt(const char* longName, int value);
  MStatus setShort(const char* longName, short value);
  MStatus setBool(const char* longName, bool value);
  MStatus setVector(const char* longName, const MFloatVector& value);
  MStatus setAddr(const char* longName, void* value);

  float getFloat(const char* longName, MStatus* status = nullptr) const;
  int getInt(const char* longName, MStatus* status = nullptr) const;
  short getShort(const char* longName, MStatus* status = nullptr) const;
  bool getBool(const char* longName, MStatus* status = nullptr) const;
  MFloatVector getVector(const char* longName, MStatus* status = nullptr) const;
  void* getAddr(const char* longName, MStatus* status = nullptr) const;

  // The same by plug: the plug's attribute, which must be one of this
  // block's node type (another type's plug is refused with kInvalidParameter),
  // under the same rules as by name. Neither allocates nor locks.
  MStatus setFloat(const Plug& plug, float value);
  MStatus setInt(const Plug& plug, int value);
  MStatus setShort(const Plug& plug, short value);
  MStatus setBool(const Plug& plug, bool value);
  MStatus setVector(const Plug& plug, const MFloatVector& value);
  MStatus setAddr(const Plug& plug, void* value);

  float getFloat(const Plug& plug, MStatus* status = nullptr) const;
  int getInt(const Plug& plug, MStatus* status = nullptr) const;
  short getShort(const Plug& plug, MStatus* status = nullptr) const;
  bool getBool(const Plug& plug, MStatus* status = nullptr) const;
  MFloatVector getVector(const Plug& plug, MStatus* status = nullptr) const;
  void* getAddr(const Plug& plug, MStatus* status = nullptr) const;

  // lightDataArray: count elements (logical indices 0..count-1), each set to
  // the light-data default; then fill them.
  MStatus setLightCount(unsigned int count);
  MStatus setLight(unsigned int position, const Light& light);
  Light light(unsigned int position) const;
  unsigned int lightCount() const;

  ComputeResult compute(const Plug& plug);
  ComputeResult compute(const char* longName);

  // Values read or written as the wrong type, or through an invalid handle,
  // during compute() on this block.
  unsigned int ruleViolations() const { return violations_; }
  Node& node() const { return *node_; }

 private:
  friend class Node;
  DataBlock(Node* node, std::unique_ptr<detail::Storage> storage);
  Node* node_;
  std::unique_ptr<detail::Storage> storage_;
  unsigned int violations_ = 0;
};

class Node {
 public:
  // Null (and *status set) when no such type is registered.
  static std::unique_ptr<Node> create(const char* typeName, MStatus* status = nullptr);
  ~Node();  // destroys the plug-in's object through its virtual destructor
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  const NodeTypeRecord& type() const;
  MPxNode* userNode() const { return user_; }
  bool isMPSafe() const;
  Plug plug(const char* longName) const;

  DataBlock& data() { return *data_; }
  // A separate data block with a copy of data()'s current values.
  std::unique_ptr<DataBlock> newDataBlock();

 private:
  Node() = default;
  friend class DataBlock;
  detail::NodeTypeRec* type_ = nullptr;
  MPxNode* user_ = nullptr;
  std::unique_ptr<DataBlock> data_;
};

// ---- ray tracing ---------------------------------------------------------------

struct TraceCall {
  MFloatVector origin;
  MFloatVector direction;
  const void* objectId = nullptr;
  const void* raySampler = nullptr;
  short rayDepth = 0;
  bool reflected = true;
};

// Writes the colour (and transparency) seen along the ray, or leaves them.
using Tracer = MStatus (*)(void* user, const TraceCall& call, MFloatVector& resultColor,
                           MFloatVector& resultTransparency);

// Without a tracer, raytrace fails and leaves its results untouched.
void setTracer(Tracer tracer, void* user);

}  // namespace mayahost

#if !defined(_WIN32)
#pragma GCC visibility pop
#endif
