// The node class's life cycle: creation by Maya and the multi-threading
// declaration.
#include "glintWeavePlugInt.h"

const MTypeId glintWeave::id(0x49045);

void* glintWeave::creator() { return new glintWeave(); }

void glintWeave::postConstructor() { setMPSafe(true); }
