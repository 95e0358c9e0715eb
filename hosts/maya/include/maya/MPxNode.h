// Stand-in for <maya/MPxNode.h>: the base of a plug-in's dependency node.
// setMPSafe is protected and virtual, as in the devkit this stand-in mirrors.
#pragma once

#include <maya/MDataBlock.h>
#include <maya/MObject.h>
#include <maya/MPlug.h>
#include <maya/MStatus.h>
#include <maya/MString.h>
#include <maya/MTypes.h>

class OPENMAYA_EXPORT MPxNode {
 public:
  enum Type {
    kDependNode = 0,
    kLocatorNode,
    kDeformerNode,
    kManipContainer,
    kSurfaceShape,
    kFieldNode,
    kEmitterNode,
    kSpringNode,
    kIkSolverNode,
    kHardwareShader,
    kHwShaderNode,
    kTransformNode,
    kObjectSet,
    kFluidEmitterNode,
    kImagePlaneNode,
    kParticleAttributeMapperNode,
    kCameraSetNode,
    kConstraintNode,
    kManipulatorNode,
    kMotionPathNode,
    kClientDeviceNode,
    kThreadedDeviceNode,
    kAssembly,
    kSkinCluster,
    kGeometryFilter,
    kBlendShape,
    kLast
  };
  enum SchedulingType { kParallel, kSerialize, kGloballySerialize, kUntrusted, kDefaultScheduling };

  MPxNode();
  virtual ~MPxNode();
  virtual void postConstructor();
  // The default answers every plug with kUnknownParameter.
  virtual MStatus compute(const MPlug& plug, MDataBlock& dataBlock);
  virtual Type type() const;
  virtual bool isAbstractClass() const;
  virtual SchedulingType schedulingType() const;

  MObject thisMObject() const;

  static MStatus addAttribute(const MObject& attr);
  static MStatus attributeAffects(const MObject& whenChanges, const MObject& isAffected);
  static MStatus inheritAttributesFrom(const MString& parentClassName);

  static MObject message;
  static MObject isHistoricallyInteresting;
  static MObject caching;
  static MObject state;

 protected:
  // Declares the node safe to evaluate on several threads at once.
  virtual void setMPSafe(bool flag);

 private:
  friend struct mayahost::detail::Access;
  MPxNode(const MPxNode&);
  MPxNode& operator=(const MPxNode&);
  void* instance_;
  bool mpSafe_;
};
