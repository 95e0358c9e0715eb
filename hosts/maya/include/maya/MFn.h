// Stand-in for <maya/MFn.h>: object kinds. Only the kinds this host hands out
// are listed; their numbers are the stand-in's own, so never depend on them.
#pragma once

class MFn {
 public:
  enum Type {
    kInvalid = 0,
    kBase,
    kNamedObject,
    kDependencyNode,
    kPluginDependNode,
    kAttribute,
    kNumericAttribute,
    kCompoundAttribute,
    kLightDataAttribute,
    kPlugin,
    kLast
  };
};
