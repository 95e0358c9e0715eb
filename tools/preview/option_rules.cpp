// The rules that turn glintweave-preview's command line, as typed, into
// Options: the values that need no schema, what does not go together, the
// turntable and view settings, then the material schema from the
// deliverables and the material and sweeps made with it.
#include <algorithm>
#include <cstdlib>

#include "option_values.h"
#include "raw_options.h"
#include "scene_file.h"
#include "scene_writer.h"

namespace gwp {
namespace {

constexpr const char* kDefaultOutput = "glintweave-preview.png";
constexpr const char* kDefaultSweepOutput = "glintweave-sweep.png";
constexpr const char* kDefaultSceneOutput = "glintweave-scene.png";
constexpr const char* kDefaultTurntableOutput = "glintweave-turntable.####.png";
// The options that need no schema. The values were checked while parsing.
void takeSimpleOptions(const RawOptions& raw, Options& options) {
  options.list = raw.list;
  options.quiet = raw.quiet;
  options.format = raw.format;
  options.pickMaterial = raw.material;
  options.settings = raw.sets;
  options.presetGiven = !raw.preset.empty();
  options.pointLightsOnly = raw.pointLights;
  std::string unused;
  if (!raw.host.empty()) options.hostGiven = parseHost(raw.host, options.hosts);
  if (!raw.size.empty()) {
    options.sizeGiven = parseSize(raw.size, options.width, options.height, unused);
  }
  if (!raw.spp.empty()) parseInt(raw.spp, 1, kMaxSamples, "", options.samplesPerPixel, unused);
  if (!raw.threads.empty()) parseInt(raw.threads, 1, kMaxThreads, "", options.threads, unused);
  if (!raw.adaptiveThreshold.empty()) {
    parseFloat(raw.adaptiveThreshold, 0.0f, kMaxAdaptiveThreshold, "", options.adaptiveThreshold,
               unused);
  }
  if (!raw.adaptiveMin.empty()) {
    parseInt(raw.adaptiveMin, 2, kMaxSamples, "", options.adaptiveMinSamples, unused);
  }
  if (raw.lightSamples == "auto") {
    options.lightSamples = 0;
  } else if (!raw.lightSamples.empty()) {
    parseInt(raw.lightSamples, 1, kMaxLightSamples, "", options.lightSamples, unused);
  }
  if (!raw.preset.empty()) options.preset = raw.preset;
  if (!raw.output.empty()) {
    options.output = raw.output;
    options.outputGiven = true;
  }
  options.libraries = {raw.mayaPlugin, raw.mrShader, raw.mrRenderer};
  options.scenes = raw.scenes;
  if (!raw.env.empty()) options.environment.source = raw.env;
  if (!raw.envRotate.empty()) {
    parseFloat(raw.envRotate, -kMaxEnvironmentRotate, kMaxEnvironmentRotate, "",
               options.environment.rotateDegrees, unused);
  }
  if (!raw.envIntensity.empty()) {
    parseFloat(raw.envIntensity, 0.0f, kMaxEnvironmentIntensity, "",
               options.environment.intensity, unused);
  }
  if (!raw.shape.empty()) options.shape = raw.shape;
  options.mesh = raw.mesh;
  options.exportMa = raw.exportMa;
  options.exportMi = raw.exportMi;
  float v = 0.0f;
  if (!raw.azimuth.empty() && parseFloat(raw.azimuth, -360.0f, 360.0f, "", v, unused)) {
    options.orbit.azimuth = v;
  }
  if (!raw.elevation.empty() && parseFloat(raw.elevation, -90.0f, 90.0f, "", v, unused)) {
    options.orbit.elevation = v;
  }
  if (!raw.distance.empty() &&
      parseFloat(raw.distance, kMinCameraDistance, kMaxCameraDistance, "", v, unused)) {
    options.orbit.distance = v;
  }
  if (!raw.turntable.empty()) {
    parseInt(raw.turntable, 1, kMaxTurntableFrames, "", options.turntableFrames, unused);
  }
  if (!raw.frame.empty()) parseInt(raw.frame, 1, kMaxTurntableFrames, "", options.frame, unused);
  options.turntableSheet = raw.turntableSheet;
  if (!raw.exposure.empty() &&
      parseFloat(raw.exposure, -kMaxExposure, kMaxExposure, "", v, unused)) {
    options.view.exposure = v;
  }
  options.view.config = raw.ocio;
  options.view.view = raw.view;
}

// The turntable's options and the view's, with the output they go with.
bool checkTurntableAndView(const RawOptions& raw, Options& options, std::string& error) {
  if (options.turntableFrames == 0) {
    for (const auto& [what, given] :
         {std::pair{"--frame", !raw.frame.empty()},
          std::pair{"--turntable-sheet", !raw.turntableSheet.empty()}}) {
      if (given) {
        error = std::string(what) + " needs --turntable N";
        return false;
      }
    }
  } else {
    if (options.frame > options.turntableFrames) {
      error = "--frame " + raw.frame + " is out of range [1, " +
              std::to_string(options.turntableFrames) + "] (the turntable's frames)";
      return false;
    }
    if (options.frame > 0 && !raw.turntableSheet.empty()) {
      error = "--turntable-sheet needs every frame; it does not go with --frame";
      return false;
    }
    if (options.exporting() || options.list) {
      error = std::string(options.list ? "--list" : "--export-ma/--export-mi") +
              " does not go with --turntable";
      return false;
    }
  }
  if (options.view.config.empty() && !options.view.view.empty()) {
    const char* env = std::getenv("OCIO");
    if (!env || !*env) {
      error = "--view " + options.view.view +
              ": no OpenColorIO config; give --ocio FILE or set the OCIO environment variable";
      return false;
    }
    options.view.config = env;
    options.view.configFromEnvironment = true;
  }
  return true;
}

// What does not go together.
bool checkCombinations(const RawOptions& raw, const Options& options, std::string& error) {
  if (raw.sweeps.size() > 2) {
    error = "--sweep: at most two parameters";
    return false;
  }
  if (!raw.name.empty() && !gws::validMaterialName(raw.name, error)) {
    error = "--name: " + error;
    return false;
  }
  if (!raw.shape.empty() && !raw.mesh.empty()) {
    error = "--shape and --mesh do not go together: the model takes the shape's place";
    return false;
  }
  if (!options.scenes.empty() && !raw.sweeps.empty()) {
    error = "--sweep does not go with --scene: a sweep renders one material (pick one with "
            "--material and export it, then sweep the export)";
    return false;
  }
  if (options.scenes.empty() && !raw.material.empty()) {
    error = "--material picks a material of a --scene file; give --scene too";
    return false;
  }
  const int toStdout = (raw.output == kStdoutPath) + (raw.exportMa == kStdoutPath) +
                       (raw.exportMi == kStdoutPath);
  if (toStdout > 1) {
    error = "only one of -o, --export-ma and --export-mi can be - (standard output)";
    return false;
  }
  if (!raw.format.empty() && raw.output.empty()) {
    error = "--format is the format of -o's image; give -o too";
    return false;
  }
  if (!raw.format.empty() && raw.output != kStdoutPath) {
    const std::string ext = extensionOf(raw.output);
    if (!ext.empty() && ext != raw.format) {
      error = "--format " + raw.format + " does not go with -o " + raw.output + " (a ." + ext +
              " file)";
      return false;
    }
  }
  if (options.environment.source == kSoftboxEnvironment &&
      (options.environment.rotateDegrees != 0.0f || options.environment.intensity != 1.0f)) {
    error = "--env-rotate and --env-intensity turn and scale an environment map (--env studio "
            "or an image); the softbox studio is fixed";
    return false;
  }
  if (options.exporting() && !raw.sweeps.empty() && !options.outputGiven) {
    error = "--sweep with --export-ma/--export-mi renders only with -o; give -o too";
    return false;
  }
  return true;
}

// The inputs come from the deliverables that will render (and those
// written to): the hosts asked for must be readable; the other host's
// inputs are known when it is.
bool loadSchema(Options& options, std::string& error) {
  std::vector<gws::Host> required;
  for (Host h : options.hosts) {
    if (options.hostGiven || options.scenes.empty()) required.push_back(h);
  }
  if (!options.exportMa.empty()) required.push_back(gws::Host::kMaya);
  if (!options.exportMi.empty()) required.push_back(gws::Host::kMentalRay);
  for (const std::string& path : options.scenes) {
    gws::Host h;
    if (gws::hostOfPath(path, h)) required.push_back(h);
  }
  options.schema = gws::loadMaterialSchema(
      {options.libraries.mayaPlugin, options.libraries.mentalRayShader}, required, error);
  return options.schema != nullptr;
}

// The material (the preset, then every --set) and the sweeps. What --set
// and --sweep name must be an input of a host that renders it or is
// written to.
bool makeMaterial(const RawOptions& raw, Options& options, std::string& error) {
  const MaterialSchema& schema = *options.schema;
  options.material = Material(options.schema);
  if (!applyPreset(options.material, *findPreset(options.preset), error)) return false;
  std::vector<Host> targets = options.hosts;
  if (!options.scenes.empty() && !options.hostGiven) {
    // Each scene material renders through its own file's host.
    targets.clear();
    for (const std::string& path : options.scenes) {
      gws::Host h;
      if (gws::hostOfPath(path, h)) targets.push_back(h);
    }
  }
  if (options.exporting() && !options.outputGiven && raw.sweeps.empty()) targets.clear();
  if (!options.exportMa.empty()) targets.push_back(Host::kMaya);
  if (!options.exportMi.empty()) targets.push_back(Host::kMentalRay);
  std::sort(targets.begin(), targets.end());
  targets.erase(std::unique(targets.begin(), targets.end()), targets.end());
  for (const std::string& s : raw.sets) {
    if (!applySetting(options.material, s, error)) {
      error = "--set " + error;
      return false;
    }
    const size_t id = static_cast<size_t>(schema.find(s.substr(0, s.find('='))));
    if (std::none_of(targets.begin(), targets.end(),
                     [&](Host h) { return hostHas(schema, h, id); })) {
      error = "--set: " + schema[id].name + " is not an input of " + hostList(targets);
      return false;
    }
  }
  for (const std::string& text : raw.sweeps) {
    Sweep sweep;
    if (!parseSweep(schema, text, sweep, error)) return false;
    if (std::none_of(options.hosts.begin(), options.hosts.end(),
                     [&](Host h) { return hostHas(schema, h, sweep.input); })) {
      error =
          "--sweep: " + schema[sweep.input].name + " is not an input of " + hostList(options.hosts);
      return false;
    }
    options.sweeps.push_back(std::move(sweep));
  }
  if (options.sweeps.size() == 2 && options.sweeps[0].input == options.sweeps[1].input) {
    error = "--sweep: the two sweeps name the same input";
    return false;
  }
  return true;
}

}  // namespace

bool checkOptions(const RawOptions& raw, const std::vector<std::string>& extras,
                  const std::string& invalid, Options& options, std::string& error) {
  if (!extras.empty()) {
    const std::string& a = extras.front();
    error = a.size() > 1 && a[0] == '-' ? "unknown option '" + a + "' (see --help)"
                                        : "unexpected argument '" + a + "' (see --help)";
    return false;
  }
  options.help = raw.help;
  options.version = raw.version;
  if (options.help || options.version) return true;
  if (!invalid.empty()) {
    error = invalid;
    return false;
  }
  takeSimpleOptions(raw, options);
  if (!raw.name.empty()) options.materialName = raw.name;
  options.nameGiven = !raw.name.empty();
  if (!checkCombinations(raw, options, error) || !checkTurntableAndView(raw, options, error) ||
      !loadSchema(options, error) || !makeMaterial(raw, options, error)) {
    return false;
  }
  const bool sheet = !options.sweeps.empty() || !options.scenes.empty();
  if (sheet && !options.sizeGiven) options.width = options.height = kDefaultCell;
  if (options.output.empty()) {
    options.output = options.turntableFrames > 0 ? kDefaultTurntableOutput
                     : !options.sweeps.empty()   ? kDefaultSweepOutput
                     : !options.scenes.empty()   ? kDefaultSceneOutput
                                                 : kDefaultOutput;
  }
  FramePattern unusedPattern;
  return options.turntableFrames == 0 || parseFramePattern(options.output, unusedPattern, error);
}

}  // namespace gwp
