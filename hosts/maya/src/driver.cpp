// The driver API of mayahost.h: loading plug-ins, records, failure injection,
// nodes and their data blocks, evaluation and tracing.
#include <glintweave/dynload.h>

#include <cstring>
#include <type_traits>

#include "host.h"

namespace mayahost {

using detail::Access;
using detail::Attr;
using detail::host;
using Lock = std::lock_guard<std::recursive_mutex>;

// ---- records ---------------------------------------------------------------------

const NodeTypeRecord* findNodeType(const char* name) {
  Lock lock(host().mutex);
  for (const auto& t : host().types)
    if (t.registered && t.name == name) return &t;
  return nullptr;
}

std::vector<const NodeTypeRecord*> registrationHistory() {
  Lock lock(host().mutex);
  std::vector<const NodeTypeRecord*> out;
  for (const auto& t : host().types) out.push_back(&t);
  return out;
}

const AttributeRecord* findAttribute(const NodeTypeRecord& type, const char* longName) {
  Lock lock(host().mutex);
  for (const AttributeRecord* a : type.created)
    if (a->longName == longName) return a;
  return nullptr;
}

std::vector<CallRecord> calls() {
  Lock lock(host().mutex);
  return host().calls;
}

std::vector<CommandRecord> commands() {
  Lock lock(host().mutex);
  return host().commands;
}

void clearRecords() {
  Lock lock(host().mutex);
  host().calls.clear();
  host().callCounts.clear();
  host().commands.clear();
  host().windowRefreshes.clear();
}

void failCall(const char* function, unsigned int occurrence, MStatus::MStatusCode code,
              FailMode mode) {
  Lock lock(host().mutex);
  host().injections.push_back(detail::Injection{function, occurrence, code, mode});
}

void clearFailures() {
  Lock lock(host().mutex);
  host().injections.clear();
}

void setCreateRenderNodeWindowOpen(bool open) {
  Lock lock(host().mutex);
  host().windowOpen = open;
}

std::vector<std::string> createRenderNodeWindowRefreshes() {
  Lock lock(host().mutex);
  return host().windowRefreshes;
}

void setTracer(Tracer tracer, void* user) {
  Lock lock(host().mutex);
  // Bindings are kept for the life of the process: a thread still tracing
  // with the previous one reads valid memory.
  host().tracerBindings.push_back(detail::TracerBinding{tracer, user});
  host().tracer.store(&host().tracerBindings.back(), std::memory_order_release);
}

// ---- plug-ins ---------------------------------------------------------------------

std::unique_ptr<Plugin> Plugin::load(const std::string& path, std::string* error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    if (error) *error = dlerror();
    return nullptr;
  }
  // Maya finds the entry points by their C++ names; a C name is accepted too.
  // On Windows it asks for the undecorated names first, which the devkit's
  // link exports beside the decorated ones.
  auto find = [&](const char* mangled, const char* plain) {
#ifdef _WIN32
    void* s = dlsym(library, plain);
    return s ? s : dlsym(library, mangled);
#else
    void* s = dlsym(library, mangled);
    return s ? s : dlsym(library, plain);
#endif
  };
  void* init = find("_Z16initializePlugin7MObject", "initializePlugin");
  void* uninit = find("_Z18uninitializePlugin7MObject", "uninitializePlugin");
  if (!init || !uninit) {
    if (error) *error = "the library lacks initializePlugin or uninitializePlugin";
    dlclose(library);
    return nullptr;
  }
  std::unique_ptr<Plugin> plugin(new Plugin);
  plugin->library_ = library;
  plugin->initialize_ = reinterpret_cast<MStatus (*)(MObject)>(init);
  plugin->uninitialize_ = reinterpret_cast<MStatus (*)(MObject)>(uninit);
  plugin->apiVersion_ = static_cast<const char*>(dlsym(library, "MApiVersion"));
  Lock lock(host().mutex);
  host().plugins.emplace_back();
  plugin->record_ = &host().plugins.back();
  plugin->record_->path = path;
  return plugin;
}

Plugin::~Plugin() {
  {
    // The library's creator and initialize go away with it: a type it left
    // registered can no longer be used, so the host forgets it first, as
    // Maya's unload does. The next load starts from a clean slate.
    Lock lock(host().mutex);
    for (auto& t : host().types)
      if (t.plugin == record_) t.registered = false;
  }
  if (library_) dlclose(library_);
}

MStatus Plugin::initialize() { return initialize_(Access::object(record_, MFn::kPlugin)); }
MStatus Plugin::uninitialize() { return uninitialize_(Access::object(record_, MFn::kPlugin)); }
const char* Plugin::apiVersion() const { return apiVersion_; }

PluginRecord Plugin::record() const {
  Lock lock(host().mutex);
  return *record_;
}

// ---- nodes ------------------------------------------------------------------------

namespace {

const Attr* lookup(const detail::NodeTypeRec* type, const char* longName) {
  if (!type || !longName) return nullptr;
  // A plain scan: no allocation, so a request may resolve its plug on the fly.
  for (const AttributeRecord* r : type->created)
    if (std::strcmp(r->longName.c_str(), longName) == 0) {
      const Attr* a = static_cast<const Attr*>(r);
      return a->present ? a : nullptr;
    }
  return nullptr;
}

}  // namespace

const AttributeRecord* Plug::record() const { return attr_; }

std::unique_ptr<Node> Node::create(const char* typeName, MStatus* status) {
  Lock lock(host().mutex);
  detail::NodeTypeRec* type = nullptr;
  for (auto& t : host().types)
    if (t.registered && t.name == typeName) type = &t;
  if (!type) {
    if (status) *status = MS::kInvalidParameter;
    return nullptr;
  }
  std::unique_ptr<Node> node(new Node);
  node->type_ = type;
  node->user_ = static_cast<MPxNode*>(type->creator());
  if (!node->user_) {
    if (status) *status = MS::kFailure;
    return nullptr;
  }
  Access::bindNode(*node->user_, node.get());
  auto storage = std::make_unique<detail::Storage>();
  detail::initStorage(*storage, *type);
  node->data_.reset(new DataBlock(node.get(), std::move(storage)));
  ++type->liveNodes;
  node->user_->postConstructor();
  if (status) *status = MS::kSuccess;
  return node;
}

Node::~Node() {
  delete user_;  // through the virtual destructor
  Lock lock(host().mutex);
  if (type_) --type_->liveNodes;
}

const NodeTypeRecord& Node::type() const { return *type_; }
bool Node::isMPSafe() const { return Access::mpSafe(*user_); }

Plug Node::plug(const char* longName) const {
  Plug p;
  p.attr_ = lookup(type_, longName);
  return p;
}

std::unique_ptr<DataBlock> Node::newDataBlock() {
  auto storage = std::make_unique<detail::Storage>(*data_->storage_);
  return std::unique_ptr<DataBlock>(new DataBlock(this, std::move(storage)));
}

// ---- data blocks -----------------------------------------------------------------------

DataBlock::DataBlock(Node* node, std::unique_ptr<detail::Storage> storage)
    : node_(node), storage_(std::move(storage)) {}

DataBlock::~DataBlock() = default;

namespace {

// The value of a non-array attribute of the block's node, or null.
detail::ValueSlot* slotFor(detail::Storage& s, const Attr* a) {
  if (!a || a->arrayAttr || a->slot < 0) return nullptr;
  return &s.slots[static_cast<size_t>(a->slot)];
}

// The attribute of a plug, when it is one of `type`'s own; null otherwise.
const Attr* ownAttr(const detail::NodeTypeRec* type, const Plug& plug) {
  const Attr* a = static_cast<const Attr*>(plug.record());
  return a && a->owner == type && a->present ? a : nullptr;
}

template <class T>
MStatus writeValue(detail::Storage& s, const Attr* a, MFnNumericData::Type expected, const T& value,
                   T detail::ValueSlot::*field) {
  detail::ValueSlot* slot = slotFor(s, a);
  if (!slot) return MS::kInvalidParameter;
  // setAttr refuses what is not writable: the outputs stay the node's own.
  if (!a->flags.writable) return MS::kInvalidParameter;
  if (a->parent && !a->parentAttr()->flags.writable) return MS::kInvalidParameter;
  if constexpr (std::is_same<T, float>::value) {
    if (a->component >= 0) {
      slot->vec[static_cast<unsigned>(a->component)] = value;
      return MS::kSuccess;
    }
  }
  if (a->component >= 0 || a->numericType != expected) return MS::kInvalidParameter;
  slot->*field = value;
  return MS::kSuccess;
}

template <class T>
T readValue(const detail::Storage& s, const Attr* a, MFnNumericData::Type expected, MStatus* status,
            T detail::ValueSlot::*field) {
  const detail::ValueSlot* slot = slotFor(const_cast<detail::Storage&>(s), a);
  if constexpr (std::is_same<T, float>::value) {
    if (slot && a->component >= 0) {
      if (status) *status = MS::kSuccess;
      return slot->vec[static_cast<unsigned>(a->component)];
    }
  }
  if (!slot || a->component >= 0 || a->numericType != expected) {
    if (status) *status = MS::kInvalidParameter;
    return T{};
  }
  if (status) *status = MS::kSuccess;
  return slot->*field;
}

}  // namespace

// Every setter and getter comes by name and by plug; both end in the same
// checks.
#define MAYAHOST_VALUE_ACCESS(Name, Type, Arg, NumericType, member)              \
  MStatus DataBlock::set##Name(const char* n, Arg v) {                           \
    return writeValue<Type>(*storage_, lookup(node_->type_, n), NumericType, v,  \
                            &detail::ValueSlot::member);                         \
  }                                                                              \
  MStatus DataBlock::set##Name(const Plug& p, Arg v) {                           \
    return writeValue<Type>(*storage_, ownAttr(node_->type_, p), NumericType, v, \
                            &detail::ValueSlot::member);                         \
  }                                                                              \
  Type DataBlock::get##Name(const char* n, MStatus* st) const {                  \
    return readValue<Type>(*storage_, lookup(node_->type_, n), NumericType, st,  \
                           &detail::ValueSlot::member);                          \
  }                                                                              \
  Type DataBlock::get##Name(const Plug& p, MStatus* st) const {                  \
    return readValue<Type>(*storage_, ownAttr(node_->type_, p), NumericType, st, \
                           &detail::ValueSlot::member);                          \
  }

MAYAHOST_VALUE_ACCESS(Float, float, float, MFnNumericData::kFloat, f)
MAYAHOST_VALUE_ACCESS(Int, int, int, MFnNumericData::kInt, i)
MAYAHOST_VALUE_ACCESS(Short, short, short, MFnNumericData::kShort, s)
MAYAHOST_VALUE_ACCESS(Bool, bool, bool, MFnNumericData::kBoolean, b)
MAYAHOST_VALUE_ACCESS(Vector, MFloatVector, const MFloatVector&, MFnNumericData::k3Float, vec)
MAYAHOST_VALUE_ACCESS(Addr, void*, void*, MFnNumericData::kAddr, addr)
#undef MAYAHOST_VALUE_ACCESS

namespace {

// The light-data array the renderer fills (found when the type was laid
// out), or null.
detail::ArrayStore* lightArray(detail::Storage& s) {
  const int k = s.type->lightArray;
  return k >= 0 ? &s.arrays[static_cast<size_t>(k)] : nullptr;
}

// The value of the array's child number k in element e, or null.
detail::ValueSlot* childSlot(detail::ElementStore& e, const detail::Storage& s, size_t k) {
  const int slot = s.type->lightSlots[k];
  return slot >= 0 ? e.slots.data() + slot : nullptr;
}

}  // namespace

MStatus DataBlock::setLightCount(unsigned int count) {
  detail::ArrayStore* array = lightArray(*storage_);
  if (!array) return MS::kInvalidParameter;
  array->elements.resize(count);
  for (unsigned k = 0; k < count; ++k) detail::initElement(array->elements[k], *array->attr, k);
  return MS::kSuccess;
}

MStatus DataBlock::setLight(unsigned int position, const Light& light) {
  detail::ArrayStore* array = lightArray(*storage_);
  if (!array || position >= array->elements.size()) return MS::kInvalidParameter;
  detail::ElementStore& e = array->elements[position];
  if (auto* s = childSlot(e, *storage_, 0)) s->vec = light.direction;
  if (auto* s = childSlot(e, *storage_, 1)) s->vec = light.intensity;
  if (auto* s = childSlot(e, *storage_, 2)) s->b = light.ambient;
  if (auto* s = childSlot(e, *storage_, 3)) s->b = light.diffuse;
  if (auto* s = childSlot(e, *storage_, 4)) s->b = light.specular;
  if (auto* s = childSlot(e, *storage_, 5)) s->f = light.shadowFraction;
  if (auto* s = childSlot(e, *storage_, 6)) s->f = light.preShadowIntensity;
  if (auto* s = childSlot(e, *storage_, 7)) s->addr = light.blindData;
  return MS::kSuccess;
}

Light DataBlock::light(unsigned int position) const {
  Light light;
  detail::ArrayStore* array = lightArray(*storage_);
  if (!array || position >= array->elements.size()) return light;
  detail::ElementStore& e = array->elements[position];
  if (auto* s = childSlot(e, *storage_, 0)) light.direction = s->vec;
  if (auto* s = childSlot(e, *storage_, 1)) light.intensity = s->vec;
  if (auto* s = childSlot(e, *storage_, 2)) light.ambient = s->b;
  if (auto* s = childSlot(e, *storage_, 3)) light.diffuse = s->b;
  if (auto* s = childSlot(e, *storage_, 4)) light.specular = s->b;
  if (auto* s = childSlot(e, *storage_, 5)) light.shadowFraction = s->f;
  if (auto* s = childSlot(e, *storage_, 6)) light.preShadowIntensity = s->f;
  if (auto* s = childSlot(e, *storage_, 7)) light.blindData = s->addr;
  return light;
}

unsigned int DataBlock::lightCount() const {
  detail::ArrayStore* array = lightArray(*storage_);
  return array ? static_cast<unsigned int>(array->elements.size()) : 0u;
}

ComputeResult DataBlock::compute(const Plug& plug) {
  ComputeResult result;
  if (!plug.attr_ || plug.attr_->owner != node_->type_) {
    result.status = MS::kInvalidParameter;
    return result;
  }
  detail::BlockContext context = detail::contextOf(storage_.get());
  MDataBlock block = Access::dataBlock(&context);
  const MPlug request = Access::plug(node_, plug.attr_);
  result.status = node_->user_->compute(request, block);
  const Attr* parent = plug.attr_->parentAttr();
  result.clean = context.isClean(plug.attr_) || (parent && context.isClean(parent));
  violations_ += context.violations;
  return result;
}

ComputeResult DataBlock::compute(const char* longName) { return compute(node_->plug(longName)); }

}  // namespace mayahost
