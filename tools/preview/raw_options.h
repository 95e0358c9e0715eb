// What glintweave-preview's command line holds as typed, between the two
// steps of reading it: options.cpp declares the options (CLI11 checks each
// value as it parses) and lays out the help text; option_rules.cpp turns
// what was typed into Options (what goes together, the material schema, the
// material and the sweeps).
#pragma once

#include <string>
#include <vector>

#include "options.h"

namespace gwp {

// The options as typed; checked and turned into Options after parsing.
struct RawOptions {
  std::string host, size, spp, threads, lightSamples, preset, output, name;
  std::vector<std::string> sets, sweeps, scenes;
  std::string exportMa, exportMi;
  std::string material, format;
  std::string mayaPlugin, mrShader, mrRenderer;
  std::string env, envRotate, envIntensity;
  std::string shape, mesh;
  bool help = false, version = false, list = false, pointLights = false, quiet = false;
  std::string azimuth, elevation, distance, turntable, frame, turntableSheet;
  std::string exposure, ocio, view;
  std::string adaptiveThreshold, adaptiveMin;
};

// Checks what was typed and fills `options`, loading the material schema.
// `extras` are the arguments CLI11 did not take; `invalid` is the message
// of a value CLI11 refused: it comes after an unknown argument and --help,
// as every other check does. False with a one-line `error`.
bool checkOptions(const RawOptions& raw, const std::vector<std::string>& extras,
                  const std::string& invalid, Options& options, std::string& error);

}  // namespace gwp
