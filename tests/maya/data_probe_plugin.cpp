// A test plug-in: the node "dataProbe", whose compute calls the function the
// test stored in its "probe" attribute (see data_probe.h), and the node
// "otherProbe", which only owns an attribute the probe is not allowed to read.
#include <maya/MFnLightDataAttribute.h>
#include <maya/MFnNumericAttribute.h>
#include <maya/MFnPlugin.h>
#include <maya/MPxNode.h>
#include <maya/MTypeId.h>

#include "data_probe.h"

namespace {

DataProbeAttributes attributes;
MObject probeAttribute;

class DataProbe : public MPxNode {
 public:
  static void* creator() { return new DataProbe; }
  static MStatus initialize() {
    MFnNumericAttribute fn;
    DataProbeAttributes& a = attributes;
    a.floatValue = fn.create("value", "v", MFnNumericData::kFloat, 0.25);
    a.intValue = fn.create("count", "n", MFnNumericData::kInt, 7);
    a.shortValue = fn.create("depth", "d", MFnNumericData::kShort, 3);
    a.boolValue = fn.create("flag", "fl", MFnNumericData::kBoolean, 1);
    a.color = fn.createColor("tint", "t");
    fn.setDefault(0.25f, 0.5f, 0.75f);
    MObject parent = a.color;
    MFnNumericAttribute colour(parent);
    a.colorR = colour.child(0);
    a.colorG = colour.child(1);
    a.colorB = colour.child(2);
    probeAttribute = fn.createAddr("probe", "pr");

    a.lightDirection = fn.createPoint("lightDirection", "ld");
    a.lightIntensity = fn.createColor("lightIntensity", "li");
    a.lightAmbient = fn.create("lightAmbient", "la", MFnNumericData::kBoolean, 1);
    MObject diffuse = fn.create("lightDiffuse", "ldf", MFnNumericData::kBoolean, 1);
    MObject specular = fn.create("lightSpecular", "ls", MFnNumericData::kBoolean, 0);
    MObject shadow = fn.create("lightShadowFraction", "lsf", MFnNumericData::kFloat, 0.0);
    MObject preShadow = fn.create("preShadowIntensity", "psi", MFnNumericData::kFloat, 0.0);
    MObject blind = fn.createAddr("lightBlindData", "lbld");
    MFnLightDataAttribute light;
    a.lights = light.create("lightDataArray", "ltd", a.lightDirection, a.lightIntensity,
                            a.lightAmbient, diffuse, specular, shadow, preShadow, blind);
    light.setArray(true);

    a.out = fn.createColor("result", "r");
    fn.setWritable(false);
    fn.setStorable(false);

    for (const MObject* o : {&a.floatValue, &a.intValue, &a.shortValue, &a.boolValue, &a.color,
                             &probeAttribute, &a.lights, &a.out})
      addAttribute(*o);
    return MS::kSuccess;
  }
  MStatus compute(const MPlug&, MDataBlock& block) override {
    auto* call = static_cast<DataProbeCall*>(block.inputValue(probeAttribute).asAddr());
    if (call && call->fn) call->returned = call->fn(block, attributes, call->user);
    return MS::kSuccess;
  }
};

class OtherProbe : public MPxNode {
 public:
  static void* creator() { return new OtherProbe; }
  static MStatus initialize() {
    MFnNumericAttribute fn;
    attributes.foreign = fn.create("otherValue", "ov", MFnNumericData::kFloat, 2.0);
    return addAttribute(attributes.foreign);
  }
};

const MTypeId kProbeId(0x7f001);
const MTypeId kOtherId(0x7f002);

}  // namespace

PLUGIN_EXPORT MStatus initializePlugin(MObject obj) {
  MFnPlugin plugin(obj, "glintWeave tests", "1.0", "Any");
  MStatus status = plugin.registerNode("dataProbe", kProbeId, DataProbe::creator,
                                       DataProbe::initialize);
  if (!status) return status;
  return plugin.registerNode("otherProbe", kOtherId, OtherProbe::creator, OtherProbe::initialize);
}

PLUGIN_EXPORT MStatus uninitializePlugin(MObject obj) {
  MFnPlugin plugin(obj, "glintWeave tests", "1.0", "Any");
  plugin.deregisterNode(kOtherId);
  return plugin.deregisterNode(kProbeId);
}
