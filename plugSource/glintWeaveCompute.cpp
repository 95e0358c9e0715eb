// Per-sample shading of the glintWeave node.
#include "glintWeavePlugInt.h"

MStatus glintWeave::compute(const MPlug&, MDataBlock&) { return MS::kUnknownParameter; }
