// The studio's request parameters: any query string, decoded by the HTTP
// library as the server decodes it, then checked. Whatever comes in, the
// parser must not crash, a refusal must be one printable line naming a
// parameter that was given, and an accepted request must lie within the
// bounds (the stage's and the look's too) and give a material that its
// canonical query reads back to, bit for bit. The same query is also read as
// an upload's (its kind and file name), with the same rules for a refusal.
#include <dlfcn.h>
#include <httplib.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzzCommon.h"
#include "request.h"
#include "schemas.h"

// The schema is read once, from this build's deliverables. Its loader
// unloads the plug-in after reading it; libFuzzer keeps the coverage
// counters of every instrumented library it saw, so the plug-in must stay
// mapped.
namespace {
std::shared_ptr<const gws::MaterialSchema> schema;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dlopen(gws::builtMayaPlugin().c_str(), RTLD_NOW | RTLD_NODELETE);
  std::string error;
  schema = gws::loadMaterialSchema({}, {}, error);
  if (!schema) {
    std::fprintf(stderr, "studio_request_fuzz: the schema does not load: %s\n", error.c_str());
    std::abort();
  }
  return 0;
}

namespace {

void checkRefusal(const gwstudio::Query& query, const gwstudio::ParamError& error) {
  if (error.message.empty()) gwfuzz::fail("a refusal without a message");
  for (char c : error.message) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7f) gwfuzz::fail("a refusal message that is not printable ASCII");
  }
  if (!error.field.empty() && query.find(error.field) == query.end() &&
      error.field != "kind" && error.field != "file") {
    gwfuzz::fail("a refusal that blames a parameter not given");
  }
}

void checkUpload(const gwstudio::Query& query) {
  gwstudio::UploadRequest upload;
  gwstudio::ParamError error;
  if (!gwstudio::parseUploadRequest(query, upload, error)) return checkRefusal(query, error);
  if (upload.file.empty() || upload.file.find('/') != std::string::npos || upload.format.empty()) {
    gwfuzz::fail("an accepted upload without a plain file name and format");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  gwstudio::Query query;
  httplib::detail::parse_query_text(text, query);
  checkUpload(query);
  gwstudio::StudioParams p;
  gwstudio::ParamError error;
  if (!gwstudio::parseParams(query, schema, p, error)) {
    checkRefusal(query, error);
    return 0;
  }
  using L = gwstudio::Limits;
  if (p.width < L::kMinSize || p.width > L::kMaxWidth || p.height < L::kMinSize ||
      p.height > L::kMaxHeight || p.target < 1 || p.target > L::kMaxTarget ||
      !(p.gain >= L::kMinGain && p.gain <= L::kMaxGain) || p.client.size() > L::kMaxClientId) {
    gwfuzz::fail("an accepted request outside the bounds");
  }
  const gwstudio::Stage& s = p.stage;
  for (const float v : {s.envRotate, s.envIntensity, s.azimuth, s.elevation, s.distance,
                        p.look.exposure}) {
    if (!std::isfinite(v)) gwfuzz::fail("an accepted stage value that is not finite");
  }
  if (s.envIntensity < 0.0f || std::fabs(s.elevation) > L::kMaxElevation ||
      (s.distance != 0.0f && s.distance < L::kMinDistance) || s.turntable < 0 ||
      s.turntable > L::kMaxTurntable || s.frame < 0 ||
      (query.count("turntable") && s.frame > s.turntable)) {
    gwfuzz::fail("an accepted stage outside the bounds");
  }
  for (size_t i = 0; i < p.material.size(); ++i) {
    for (double c : p.material[i]) {
      if (!std::isfinite(c)) gwfuzz::fail("an accepted material value that is not finite");
    }
  }
  gwstudio::Query back;
  httplib::detail::parse_query_text(gwstudio::materialQuery(p.material), back);
  gwstudio::StudioParams again;
  if (!gwstudio::parseParams(back, schema, again, error)) {
    gwfuzz::fail("the canonical query is refused");
  }
  if (again.material != p.material) {
    gwfuzz::fail("the canonical query reads back to another material");
  }
  return 0;
}
