// Fuzz target for a scene reader, built once per format: the input is a
// Maya ASCII file (ma_reader_fuzz) or a mental ray scene, whose `declare
// shader` statements reach the declaration parser too (mi_reader_fuzz).
// GLINTWEAVE_FUZZ_SCENE_HOST names the format's host.
#include <cstddef>
#include <cstdint>

#include "scene_fuzz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gwfuzz::sceneSchema();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  gwfuzz::checkScene({reinterpret_cast<const char*>(data), size},
                     gws::Host::GLINTWEAVE_FUZZ_SCENE_HOST);
  return 0;
}
