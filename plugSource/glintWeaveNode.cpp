// The node class's life cycle: creation by Maya and the multi-threading
// declaration.
#include "glintWeavePlugInt.h"

const MTypeId glintWeave::id(0x49045);

void* glintWeave::creator() { return new glintWeave(); }

void glintWeave::postConstructor() {
  // Devkits from 2019 on mark setMPSafe deprecated in favour of overriding
  // schedulingType(), yet this is the call that makes the node safe for
  // multi-threaded evaluation in every release we support, so it stays. Only
  // this one call is exempt from -Werror's deprecation check.
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#elif defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
  setMPSafe(true);
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#elif defined(_MSC_VER)
#pragma warning(pop)
#endif
}
