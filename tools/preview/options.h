// The command line of glintweave-preview as options: what was typed,
// checked, with the material it makes. Parsing loads nothing but the
// material schema from the deliverables; the plan (plan.h) turns options
// into a render job and the run step (cli.h) carries it out.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "backend.h"
#include "environment_setup.h"
#include "material.h"
#include "orbit.h"
#include "view_transform.h"

namespace gwp {

struct Sweep {
  size_t input = 0;  // index into the material schema
  std::vector<Value> values;
};

struct Options {
  std::vector<Host> hosts{Host::kMaya, Host::kMentalRay};
  bool hostGiven = false;
  int width = 400;  // per host; per cell on a contact sheet
  int height = 300;
  bool sizeGiven = false;
  int samplesPerPixel = 16;
  int threads = 0;  // 0: all cores
  std::string preset = kDefaultPreset;
  bool presetGiven = false;
  // Every --set as typed, in order: applied on top of each scene material's
  // values too.
  std::vector<std::string> settings;
  // The deliverables' inputs (loaded from the libraries in `libraries`), and
  // the material: the preset, then every --set, applied in order.
  std::shared_ptr<const MaterialSchema> schema;
  Material material;
  std::vector<Sweep> sweeps;
  std::vector<std::string> scenes;  // --scene files, in order
  std::string exportMa;             // --export-ma
  std::string exportMi;             // --export-mi
  std::string materialName = "glintWeave1";
  bool nameGiven = false;
  std::string pickMaterial;  // --material: the one scene material to use
  std::string format;        // --format: png or exr, where the output's name gives none
  std::string output;
  bool outputGiven = false;
  LibraryPaths libraries;
  bool pointLightsOnly = false;
  std::string shape = "spheres";  // --shape: a built-in shape's name
  std::string mesh;               // --mesh: a model file, in the shape's place
  int lightSamples = 0;  // area-light samples of every hit; 0: spread over the pixel (auto)
  // Adaptive sampling (RenderSettings): off at 0.
  float adaptiveThreshold = 0.0f;
  int adaptiveMinSamples = 8;
  EnvironmentChoice environment;  // --env, --env-rotate, --env-intensity
  bool help = false;
  bool version = false;
  bool list = false;
  bool quiet = false;  // no progress line
  // Where the camera looks from; a turntable starts there.
  CameraOrbit orbit;
  int turntableFrames = 0;     // --turntable N; 0: a single image
  int frame = 0;               // --frame K: that frame of the turntable alone; 0: every frame
  std::string turntableSheet;  // --turntable-sheet: a contact sheet of the frames
  // What a PNG shows: the image scaled by 2^exposure, then the view transform
  // (the sRGB curve, or a view of an OpenColorIO config).
  ViewSettings view;

  bool exporting() const { return !exportMa.empty() || !exportMi.empty(); }
  // What goes to standard output instead of a file: "-o -", "--export-ma -"
  // or "--export-mi -" (at most one of them).
  bool toStdout() const { return output == "-" || exportMa == "-" || exportMi == "-"; }
};

// Limits of what the command line accepts.
constexpr int kMinSize = 8;
constexpr int kMaxSize = 8192;
constexpr int kMaxSamples = 4096;
constexpr int kMaxThreads = 1024;
constexpr int kMaxLightSamples = 256;
constexpr float kMaxAdaptiveThreshold = 255.0f;  // codes: every pixel stops at its first test
constexpr size_t kMaxSweepValues = 16;
constexpr int kDefaultCell = 128;  // a contact sheet's cell, when --size is not given
constexpr float kMaxEnvironmentRotate = 36000.0f;  // degrees either way: a hundred turns
constexpr float kMaxEnvironmentIntensity = 1e6f;
constexpr float kMaxCameraDistance = 1000.0f;
constexpr float kMinCameraDistance = 0.1f;
constexpr int kMaxTurntableFrames = 10000;
constexpr float kMaxExposure = 30.0f;  // stops either way

// Parses the arguments after the program name. False with a one-line `error`.
bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

std::string helpText();
// "glintweave-preview VERSION"
std::string versionText();
// `--list --preset NAME`: the preset's settings, one "INPUT=VALUE" a line.
std::string presetText(const Preset& preset);

// The standard output's name on the command line.
constexpr const char* kStdoutPath = "-";

}  // namespace gwp
