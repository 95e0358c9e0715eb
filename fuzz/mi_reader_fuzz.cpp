// Fuzz target for the mental ray scene reader (and through `declare shader`
// the declaration parser): the input is a .mi file.
#include <cstddef>
#include <cstdint>

#include "scene_fuzz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gwfuzz::sceneSchema();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  gwfuzz::checkScene({reinterpret_cast<const char*>(data), size}, gws::Host::kMentalRay);
  return 0;
}
