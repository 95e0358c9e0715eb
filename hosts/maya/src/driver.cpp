// The driver API of mayahost.h: loading plug-ins, records, failure injection,
// nodes and their data blocks, evaluation and tracing.
#include <dlfcn.h>

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
  auto find = [&](const char* mangled, const char* plain) {
    void* s = dlsym(library, mangled);
    return s ? s : dlsym(library, plain);
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

template <class T, class Field>
MStatus writeValue(detail::Storage& s, const detail::NodeTypeRec* type, const char* longName,
                   MFnNumericData::Type expected, T value, Field field) {
  const Attr* a = lookup(type, longName);
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
  field(*slot) = value;
  return MS::kSuccess;
}

template <class T, class Field>
T readValue(const detail::Storage& s, const detail::NodeTypeRec* type, const char* longName,
            MFnNumericData::Type expected, MStatus* status, Field field) {
  const Attr* a = lookup(type, longName);
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
  return field(*slot);
}

}  // namespace

MStatus DataBlock::setFloat(const char* n, float v) {
  return writeValue(*storage_, node_->type_, n, MFnNumericData::kFloat, v,
                    [](detail::ValueSlot& s) -> float& { return s.f; });
}
MStatus DataBlock::setInt(const char* n, int v) {
  return writeValue(*storage_, node_->type_, n, MFnNumericData::kInt, v,
                    [](detail::ValueSlot& s) -> int& { return s.i; });
}
MStatus DataBlock::setShort(const char* n, short v) {
  return writeValue(*storage_, node_->type_, n, MFnNumericData::kShort, v,
                    [](detail::ValueSlot& s) -> short& { return s.s; });
}
MStatus DataBlock::setBool(const char* n, bool v) {
  return writeValue(*storage_, node_->type_, n, MFnNumericData::kBoolean, v,
                    [](detail::ValueSlot& s) -> bool& { return s.b; });
}
MStatus DataBlock::setVector(const char* n, const MFloatVector& v) {
  return writeValue(*storage_, node_->type_, n, MFnNumericData::k3Float, v,
                    [](detail::ValueSlot& s) -> MFloatVector& { return s.vec; });
}
MStatus DataBlock::setAddr(const char* n, void* v) {
  return writeValue(*storage_, node_->type_, n, MFnNumericData::kAddr, v,
                    [](detail::ValueSlot& s) -> void*& { return s.addr; });
}

float DataBlock::getFloat(const char* n, MStatus* st) const {
  return readValue<float>(*storage_, node_->type_, n, MFnNumericData::kFloat, st,
                          [](const detail::ValueSlot& s) { return s.f; });
}
int DataBlock::getInt(const char* n, MStatus* st) const {
  return readValue<int>(*storage_, node_->type_, n, MFnNumericData::kInt, st,
                        [](const detail::ValueSlot& s) { return s.i; });
}
short DataBlock::getShort(const char* n, MStatus* st) const {
  return readValue<short>(*storage_, node_->type_, n, MFnNumericData::kShort, st,
                          [](const detail::ValueSlot& s) { return s.s; });
}
bool DataBlock::getBool(const char* n, MStatus* st) const {
  return readValue<bool>(*storage_, node_->type_, n, MFnNumericData::kBoolean, st,
                         [](const detail::ValueSlot& s) { return s.b; });
}
MFloatVector DataBlock::getVector(const char* n, MStatus* st) const {
  return readValue<MFloatVector>(*storage_, node_->type_, n, MFnNumericData::k3Float, st,
                                 [](const detail::ValueSlot& s) { return s.vec; });
}
void* DataBlock::getAddr(const char* n, MStatus* st) const {
  return readValue<void*>(*storage_, node_->type_, n, MFnNumericData::kAddr, st,
                          [](const detail::ValueSlot& s) { return s.addr; });
}

namespace {

detail::ArrayStore* lightArray(detail::Storage& s) {
  for (detail::ArrayStore& a : s.arrays)
    if (a.attr->kind == AttributeKind::kLightData && a.attr->children.size() == 8) return &a;
  return nullptr;
}

detail::ValueSlot* childSlot(detail::ElementStore& e, const Attr& array, size_t k) {
  const int slot = array.child(k)->slot;
  return slot >= 0 ? &e.slots[static_cast<size_t>(slot)] : nullptr;
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
  const Attr& a = *array->attr;
  if (auto* s = childSlot(e, a, 0)) s->vec = light.direction;
  if (auto* s = childSlot(e, a, 1)) s->vec = light.intensity;
  if (auto* s = childSlot(e, a, 2)) s->b = light.ambient;
  if (auto* s = childSlot(e, a, 3)) s->b = light.diffuse;
  if (auto* s = childSlot(e, a, 4)) s->b = light.specular;
  if (auto* s = childSlot(e, a, 5)) s->f = light.shadowFraction;
  if (auto* s = childSlot(e, a, 6)) s->f = light.preShadowIntensity;
  if (auto* s = childSlot(e, a, 7)) s->addr = light.blindData;
  return MS::kSuccess;
}

Light DataBlock::light(unsigned int position) const {
  Light light;
  detail::ArrayStore* array = lightArray(*storage_);
  if (!array || position >= array->elements.size()) return light;
  detail::ElementStore& e = array->elements[position];
  const Attr& a = *array->attr;
  if (auto* s = childSlot(e, a, 0)) light.direction = s->vec;
  if (auto* s = childSlot(e, a, 1)) light.intensity = s->vec;
  if (auto* s = childSlot(e, a, 2)) light.ambient = s->b;
  if (auto* s = childSlot(e, a, 3)) light.diffuse = s->b;
  if (auto* s = childSlot(e, a, 4)) light.specular = s->b;
  if (auto* s = childSlot(e, a, 5)) light.shadowFraction = s->f;
  if (auto* s = childSlot(e, a, 6)) light.preShadowIntensity = s->f;
  if (auto* s = childSlot(e, a, 7)) light.blindData = s->addr;
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
  detail::BlockContext context;
  context.storage = storage_.get();
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
