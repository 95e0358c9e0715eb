// The command line of glintweave-preview. `main` only forwards to
// runPreview, which tests call directly.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backend.h"
#include "material.h"

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
  // The deliverables' inputs (loaded from the libraries in `libraries`), and
  // the material: the preset, then every --set, applied in order.
  std::shared_ptr<const MaterialSchema> schema;
  Material material;
  std::vector<Sweep> sweeps;
  std::vector<std::string> scenes;  // --scene files, in order
  std::string exportMa;             // --export-ma
  std::string exportMi;             // --export-mi
  std::string materialName = "glintWeave1";
  std::string output;
  bool outputGiven = false;
  LibraryPaths libraries;
  bool pointLightsOnly = false;
  int lightSamples = 0;  // area-light samples of every hit; 0: spread over the pixel (auto)
  bool help = false;
  bool list = false;
};

// Parses the arguments after the program name. False with a one-line `error`.
bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

std::string helpText();

// Exit statuses: 0 on success, 2 on any error (bad input, unloadable
// library, unwritable output), after one line on `err`.
constexpr int kExitOk = 0;
constexpr int kExitError = 2;

// The whole tool: parses, loads the deliverables, renders, writes, reports.
// Progress goes to `err` when it is a terminal, the summary line to `out`.
int runPreview(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace gwp
