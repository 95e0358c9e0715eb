// The glintWeave node's compute through the stand-in Maya host, as the
// renderer asks for outColor: the plug-in loaded by path, one node, its own
// data block filled with one sample's inputs, and a tracer that returns a
// fixed colour. Each case also runs with a plug-in built from the same node
// class and attribute schema whose compute makes the same host calls and
// shades nothing: its time is the host's share, and the difference is the
// node's own cost.
//
//   maya/lightSample/...       one light (ambient, diffuse, specular), no reflection
//   maya/reflectSample/8/...   no light, eight glossy reflection samples; per sample
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "mayahost.h"
#include "ratio_reporter.h"

namespace {

enum class Compute { kNode, kHostWork };

MStatus fixedHit(void*, const mayahost::TraceCall&, MFloatVector& color, MFloatVector&) {
  color = MFloatVector(0.4f, 0.5f, 0.6f);
  return MS::kSuccess;
}

// One of the two plug-ins, loaded and initialised for one run, with one node.
// Both register the node type "glintWeave" (and so does the preview
// renderer's Maya side), so only one is loaded at a time.
class LoadedPlugin {
 public:
  explicit LoadedPlugin(Compute which) {
    const char* path =
        which == Compute::kNode ? GLINTWEAVE_PLUGIN_PATH : GLINTWEAVE_HOST_WORK_PLUGIN_PATH;
    std::string error;
    plugin_ = mayahost::Plugin::load(path, &error);
    if (!plugin_ || !plugin_->initialize()) {
      std::fprintf(stderr, "cannot load %s: %s\n", path, error.c_str());
      std::abort();
    }
    node_ = mayahost::Node::create("glintWeave");
    if (!node_) std::abort();
    mayahost::setTracer(fixedHit, nullptr);
  }
  ~LoadedPlugin() {
    mayahost::setTracer(nullptr, nullptr);
    node_.reset();
    plugin_->uninitialize();
  }
  LoadedPlugin(const LoadedPlugin&) = delete;
  LoadedPlugin& operator=(const LoadedPlugin&) = delete;

  mayahost::Node& node() { return *node_; }

 private:
  std::unique_ptr<mayahost::Plugin> plugin_;
  std::unique_ptr<mayahost::Node> node_;
};

int rayContext;  // what the renderer would store as raySampler

void setSample(mayahost::DataBlock& d, bool light, float reflectivity, int samples) {
  d.setVector("color", MFloatVector(0.8f, 0.6f, 0.4f));
  d.setVector("ambientColor", MFloatVector(0.05f, 0.05f, 0.05f));
  d.setFloat("diffuse", 0.8f);
  d.setFloat("specularU", 30.0f);
  d.setFloat("specularV", 3.0f);
  d.setFloat("specularPower", 0.5f);
  d.setFloat("reflectivity", reflectivity);
  d.setInt("reflectSamples", samples);
  d.setVector("rayDirection", MFloatVector(0.05f, 0.1f, -1.0f));
  d.setVector("pointCamera", MFloatVector(0.0f, 0.0f, -5.0f));
  d.setVector("normalCamera", MFloatVector(0.1f, 0.2f, 0.97f));
  d.setAddr("raySampler", &rayContext);
  d.setShort("rayDepth", 0);
  d.setLightCount(light ? 1u : 0u);
  if (light) {
    mayahost::Light l;
    l.direction = MFloatVector(0.2357f, 0.3536f, 0.9054f);
    l.intensity = MFloatVector(1.0f, 0.9f, 0.8f);
    l.ambient = true;
    l.diffuse = true;
    l.specular = true;
    d.setLight(0, l);
  }
}

template <Compute Which>
void lightSample(benchmark::State& state) {
  LoadedPlugin loaded(Which);
  mayahost::Node& node = loaded.node();
  std::unique_ptr<mayahost::DataBlock> block = node.newDataBlock();
  setSample(*block, true, 0.0f, 0);
  const mayahost::Plug outColor = node.plug("outColor");
  for (auto _ : state) {
    benchmark::DoNotOptimize(block->compute(outColor));
  }
  state.SetItemsProcessed(state.iterations());
}

template <Compute Which>
void reflectSample(benchmark::State& state) {
  const int samples = static_cast<int>(state.range(0));
  LoadedPlugin loaded(Which);
  mayahost::Node& node = loaded.node();
  std::unique_ptr<mayahost::DataBlock> block = node.newDataBlock();
  setSample(*block, false, 0.5f, samples);
  const mayahost::Plug outColor = node.plug("outColor");
  for (auto _ : state) {
    benchmark::DoNotOptimize(block->compute(outColor));
  }
  state.SetItemsProcessed(state.iterations() * samples);
}

BENCHMARK(lightSample<Compute::kNode>)->Name("maya/lightSample/compute");
BENCHMARK(reflectSample<Compute::kNode>)->Name("maya/reflectSample/compute")->Arg(8);
BENCHMARK(lightSample<Compute::kHostWork>)->Name("maya/lightSample/hostWork");
BENCHMARK(reflectSample<Compute::kHostWork>)->Name("maya/reflectSample/hostWork")->Arg(8);

const bool registered = [] {
  gwbench::addSplit("maya/lightSample/compute", "maya/lightSample/hostWork");
  gwbench::addSplit("maya/reflectSample/compute", "maya/reflectSample/hostWork");
  return true;
}();

}  // namespace
