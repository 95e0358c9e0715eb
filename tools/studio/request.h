// The studio's request parameters: what a page asks for, parsed from an
// HTTP query (or from the page's own URL, which carries the same
// parameters) and checked before anything is rendered.
//
// Material inputs are checked by the preview's own rules (the function
// behind --set), so a value the command line refuses is refused here with
// the same message. Nothing here renders: the fuzz build, which has no
// renderer, links this file and the material model alone.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "presets.h"
#include "schema.h"

namespace gwstudio {

// What the image shows.
enum class View { kMaya, kMentalRay, kSide, kDiff };

const char* viewName(View view);

// Bounds of what one request may ask for. The image bound keeps a client's
// accumulation buffers (three floats per pixel and host) below 20 MB.
struct Limits {
  static constexpr int kMinSize = 16;
  static constexpr int kMaxWidth = 1024;  // per host
  static constexpr int kMaxHeight = 768;
  static constexpr int kMaxTarget = 4096;  // samples per pixel
  static constexpr float kMinGain = 0.1f;
  static constexpr float kMaxGain = 1000.0f;
  static constexpr size_t kMaxClientId = 64;
  static constexpr size_t kMaxName = 64;
};

struct StudioParams {
  std::string client;  // the page's own id: letters, digits, '-' and '_'
  View view = View::kSide;
  int width = 400;  // per host
  int height = 300;
  int target = 64;  // samples per pixel the refinement stops at
  float gain = 4.0f;
  std::string preset;  // applied before the inputs; empty: the node's defaults
  // One value per input of the schema parseParams was given.
  gws::Material material;
  float viewTheta = 45.0f;  // lobe: the view direction's angle from the normal, degrees
  float viewPhi = 0.0f;     // and its azimuth from the first tangent, degrees
  std::string name = "glintWeave1";  // node or shader name for an export
};

// A refused request: the parameter at fault (empty when none is) and a
// one-line message.
struct ParamError {
  std::string field;
  std::string message;
};

using Query = std::multimap<std::string, std::string>;

// Parses every parameter of `query` into `out`, material inputs by
// `schema` (the deliverables' inputs, loaded once by the caller). Unknown
// names, repeated names and values out of their bounds are refused.
// Material inputs are applied after the preset, whatever their order in the
// query.
bool parseParams(const Query& query, const std::shared_ptr<const gws::MaterialSchema>& schema,
                 StudioParams& out, ParamError& error);

// The material as an encoded query string, inputs that differ from the
// node's defaults only, in input order, with every float written so that it
// reads back to the same bits: what the page loads an imported material
// from.
std::string materialQuery(const gws::Material& material);

}  // namespace gwstudio
