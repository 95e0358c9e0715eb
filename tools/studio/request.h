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
#include <utility>

#include "presets.h"
#include "schema.h"

namespace gwstudio {

// What the image shows.
enum class View { kMaya, kMentalRay, kSide, kDiff };

const char* viewName(View view);
bool parseView(const std::string& text, View& out);

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
  // The stage. A map and the camera turn a few times either way.
  static constexpr float kMaxEnvRotate = 720.0f;
  static constexpr float kMaxAzimuth = 720.0f;
  // A map scaled as far as a lookdev control goes; 0 is black.
  static constexpr float kMaxEnvIntensity = 1000.0f;
  // Short of the poles, where the orbit's up axis would flip.
  static constexpr float kMaxElevation = 89.0f;
  // From the object's centre: outside it, and not lost in the distance.
  static constexpr float kMinDistance = 0.5f;
  static constexpr float kMaxDistance = 100.0f;
  // Stops either way, the preview's own bound.
  static constexpr float kMaxExposure = 30.0f;
  // Frames of a turntable preview: each is rendered on its own.
  static constexpr int kMaxTurntable = 72;
  static constexpr size_t kMaxTransformName = 128;
};

// What the material is seen on and under, and from where. Uploaded models
// and images are named by the id the server gave them ("upload-" and 16
// hexadecimal digits): the bytes live only in the server's memory.
struct Stage {
  std::string shape = "spheres";  // a built-in shape, or an uploaded model's id
  std::string env = "softbox";    // softbox, studio, or an uploaded image's id
  float envRotate = 0.0f;         // degrees about the vertical axis (maps only)
  float envIntensity = 1.0f;      // scales a map (maps only)
  float azimuth = 0.0f;           // the camera's orbit, degrees
  float elevation = 0.0f;
  float distance = 0.0f;  // from the object's centre; 0: the scene's own
  int turntable = 0;      // frames of a full turn, 0: none
  int frame = 0;          // 1 to turntable: the turn's frame the camera is at

  bool operator==(const Stage& o) const {
    return shape == o.shape && env == o.env && envRotate == o.envRotate &&
           envIntensity == o.envIntensity && azimuth == o.azimuth && elevation == o.elevation &&
           distance == o.distance && turntable == o.turntable && frame == o.frame;
  }
  bool operator!=(const Stage& o) const { return !(*this == o); }
};

// How linear values become what the page shows: exposure in stops, then the
// view transform (empty: the sRGB curve; else a view of the studio's
// OpenColorIO config). The difference view is neither exposed nor
// transformed: its gain scales linear differences.
struct Look {
  float exposure = 0.0f;
  std::string transform;
};

// Names of an enumeration's values, one table for both ways.
template <class T, size_t N>
const char* nameIn(const std::pair<T, const char*> (&table)[N], T value) {
  for (const auto& entry : table) {
    if (entry.first == value) return entry.second;
  }
  return table[0].second;
}
template <class T, size_t N>
bool valueIn(const std::pair<T, const char*> (&table)[N], const std::string& name, T& out) {
  for (const auto& entry : table) {
    if (name == entry.second) {
      out = entry.first;
      return true;
    }
  }
  return false;
}

// Whether `text` has the form of an upload's id.
bool isUploadId(const std::string& text);

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
  Stage stage;
  Look look;
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

// An upload's query: what it is (`kind`: model or environment) and the
// file's name, whose extension says its format. Refused: another kind, a
// name that is empty, too long, holds a '/' or a control character, or has
// no extension.
struct UploadRequest {
  enum class Kind { kModel, kEnvironment };
  Kind kind = Kind::kModel;
  std::string file;
  std::string format;  // the extension, lower case
};
bool parseUploadRequest(const Query& query, UploadRequest& out, ParamError& error);

// The material as an encoded query string, inputs that differ from the
// node's defaults only, in input order, with every float written so that it
// reads back to the same bits: what the page loads an imported material
// from.
std::string materialQuery(const gws::Material& material);

}  // namespace gwstudio
