#include "options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>

#include "mesh.h"
#include "option_values.h"
#include "scene_file.h"
#include "scene_writer.h"

namespace gwp {
namespace {

constexpr const char* kDefaultOutput = "glintweave-preview.png";
constexpr const char* kDefaultSweepOutput = "glintweave-sweep.png";
constexpr const char* kDefaultSceneOutput = "glintweave-scene.png";
constexpr const char* kDefaultTurntableOutput = "glintweave-turntable.####.png";

// A CLI11 validator from `check`, applied to the value that counts: the last
// of a repeated option (earlier ones are overridden, not checked). Its
// description is empty so that the help text stays the tool's own.
CLI::Validator lastValue(ValueCheck check) {
  CLI::Validator v([check](std::string& text) { return check(text); }, "");
  v.application_index(0);
  return v;
}

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
};

constexpr const char* kDescription =
    "Renders the glintWeave material through the real deliverables: the Maya node plug-in\n"
    "(glintWeave.so) in the stand-in Maya host and the mental ray shader library\n"
    "(kl4v_glintWeave.so) in the stand-in renderer. Every material sample is shaded by the\n"
    "deliverable itself; the tool only traces rays and lights the scene. It also reads the\n"
    "glintWeave materials of Maya ASCII (.ma) and mental ray (.mi) scenes, and writes a\n"
    "material as either.";

constexpr const char* kFooter =
    "Material inputs are named as the deliverables name them (--list shows them with their\n"
    "defaults and slider ranges). A value must be finite, within the hosts' hard limits and\n"
    "not below a soft minimum; colours are not negative. Soft maxima are slider ranges only.\n"
    "\n"
    "Contact sheets (--sweep, --scene) label every cell: a sweep cell with its value(s) and\n"
    "the axes with the swept inputs, a scene swatch with its material's name and host, and\n"
    "the sheet's title with the scene files' names.\n"
    "\n"
    "Scenes. --scene reads every glintWeave node of a .ma and every kl4v_glintWeave shader of\n"
    "a .mi; each renders through its own file's host unless --host says otherwise (an input\n"
    "the other host lacks keeps that host's default). A connected input renders with its\n"
    "stored value. The swatch scene's lights light every swatch: a shader's \"light\" list and\n"
    "the scene's own lights, cameras and objects are not used. --material NAME keeps one\n"
    "material (an unknown name is an error that lists the scenes' materials); --preset and\n"
    "--set apply on top of each kept material's values (only the preset's own settings);\n"
    "--export-ma and --export-mi write the kept materials into one file of that format,\n"
    "converting from the other host's (--scene shot.ma --export-mi shot.mi). An input the\n"
    "target host lacks is written as a comment and reported on standard error, one line\n"
    "each, when its value is not the default; a name the target cannot take is made one\n"
    "it can (letters, digits and _) and reported.\n"
    "With --list, one line per material, stable for scripts:\n"
    "  NAME INPUT=VALUE ... with every input of the file's host by long name, values as\n"
    "  --set takes them, \"<-SOURCE\" after a connected input's value (\"<-CHILD:SOURCE,...\"\n"
    "  for single children); names with other characters than letters, digits and _ : | . [\n"
    "  ] - in double quotes. A line \"# FILE (HOST)\" comes before each file's materials.\n"
    "\n"
    "Standard output. \"-\" for -o, --export-ma or --export-mi (one of them) writes to\n"
    "standard output; the lines it would otherwise hold go to standard error. An image\n"
    "written there is a PNG unless --format exr says otherwise, and is not written to a\n"
    "terminal.\n"
    "\n"
    "Camera and turntables. The camera orbits the centre of the object; the environment stays\n"
    "fixed to the world. A turntable's output name has a run of # that becomes the frame\n"
    "number (1-based, zero-padded to the run's length): -o turn.####.png. Each frame renders\n"
    "in a process of its own, so --frame K writes the same file as the whole run does, and a\n"
    "turntable can be split over a render farm's job array, one --frame per task.\n"
    "\n"
    "Views. A PNG shows the render times 2^EV (--exposure), through the sRGB curve or an\n"
    "OpenColorIO config's view (--ocio, or the OCIO environment variable with --view). The\n"
    "sheet around the renders is not exposed. An OpenEXR image keeps the rendered values.\n"
    "\n"
    "Errors. Any error prints one line and exits with status 2, having written nothing:\n"
    "\"glintweave-preview: error: ...\", or for a scene file \"FILE:LINE:COL: message\" (LINE\n"
    "and COL 0 when the whole file is concerned). A scene's declaration of kl4v_glintWeave\n"
    "that differs from the installed one is reported as \"FILE:LINE:COL: warning: ...\".\n"
    "Images and exported scenes are written to a temporary file and renamed into place when\n"
    "complete. A progress bar with the time left (ETA) goes to standard error when it is a\n"
    "terminal (--quiet: none); one summary line goes to standard output.\n"
    "\n"
    "Examples:\n"
    "  glintweave-preview\n"
    "  glintweave-preview --preset satin --set color=0.2,0.4,0.8 -o satin.png\n"
    "  glintweave-preview --env sky.exr --env-rotate 90 --env-intensity 0.5 -o sky.png\n"
    "  glintweave-preview --host maya --sweep specularU=1,10,100,1000 --sweep specularV=1,100\n"
    "  glintweave-preview --scene shot.ma --scene shot.mi -o materials.png\n"
    "  glintweave-preview --scene shot.ma --list\n"
    "  glintweave-preview --scene shot.ma --export-mi shot.mi\n"
    "  glintweave-preview --scene shot.ma --material satinRed --set specularV=120 -o - | display\n"
    "  glintweave-preview --list --preset satin\n"
    "  glintweave-preview --preset satin --set specularV=120 --export-ma satin.ma --name satin1\n"
    "  glintweave-preview --camera-elevation 20 --turntable 36 -o turn.##.png\n"
    "  glintweave-preview --turntable 36 --frame 7 -o turn.##.png\n"
    "  glintweave-preview --exposure 1 --ocio studio.ocio --view Film -o film.png";

// A value option given twice takes the last.
CLI::Option* single(CLI::Option* o) {
  return o->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

void addMaterialOptions(CLI::App& app, RawOptions& raw) {
  const char* material = "Material";
  single(app.add_option("--preset", raw.preset,
                        "start from a named material (default brushed-metal; see --list)"))
      ->type_name("NAME")
      ->check(lastValue(checkPreset))
      ->group(material);
  app.add_option("--set", raw.sets,
                 "set a material input by its name; repeatable, applied after the preset in "
                 "order; colours and vectors take r,g,b (or r:g:b), colours also one grey "
                 "value, e.g. --set specularU=200")
      ->type_name("NAME=VALUE")
      ->group(material);
  app.add_option("--sweep", raw.sweeps,
                 "render a contact sheet, one sphere per value; twice for a grid (first: "
                 "columns, second: rows); up to 16 values each, separated by commas; colours "
                 "and vectors as for --set: r:g:b between commas, or r,g,b with the values "
                 "separated by spaces or ';' (--sweep \"color=1,0,0 0,0,1\")")
      ->type_name("NAME=V1,V2,...")
      ->group(material);
  app.add_flag("--list", raw.list,
               "list the material inputs and presets (with --preset: that preset's values; "
               "with --scene: the scenes' materials), then exit")
      ->group(material);
}

void addSceneFileOptions(CLI::App& app, RawOptions& raw) {
  const char* scenes = "Scene files";
  app.add_option("--scene", raw.scenes,
                 "render every glintWeave material of these Maya ASCII (.ma) or mental ray "
                 "(.mi) scenes as a labelled contact sheet; repeatable")
      ->type_name("FILE...")
      ->group(scenes);
  single(app.add_option("--material", raw.material,
                        "with --scene: use only the material of this name"))
      ->type_name("NAME")
      ->group(scenes);
  single(app.add_option("--export-ma", raw.exportMa,
                        "write the material (preset, then --set), or the --scene materials, as "
                        "a Maya ASCII file; - for standard output"))
      ->type_name("FILE")
      ->group(scenes);
  single(app.add_option("--export-mi", raw.exportMi,
                        "write the material(s) as a mental ray .mi a scene can $include; - for "
                        "standard output"))
      ->type_name("FILE")
      ->group(scenes);
  single(app.add_option("--name", raw.name,
                        "the exported node's or shader's name (default glintWeave1; with "
                        "--scene, when one material is exported: its new name)"))
      ->type_name("NAME")
      ->group(scenes);
}

void addRenderingOptions(CLI::App& app, RawOptions& raw) {
  const char* rendering = "Rendering";
  single(app.add_option("--host", raw.host,
                        "which deliverable renders (default: both, side by side, Maya on the "
                        "left; with --scene each file's own host)"))
      ->type_name("maya|mentalray|both")
      ->check(lastValue(checkHost))
      ->group(rendering);
  single(app.add_option("--size", raw.size,
                        "image size per host, 8 to 8192 (default 400x300); on a contact sheet "
                        "the size of one cell (default 128x128)"))
      ->type_name("WxH")
      ->check(lastValue(checkSize))
      ->group(rendering);
  single(app.add_option("--spp", raw.spp, "camera samples per pixel, 1 to 4096 (default 16)"))
      ->type_name("N")
      ->check(lastValue(checkIntIn(1, kMaxSamples, "--spp")))
      ->group(rendering);
  single(app.add_option("--threads", raw.threads,
                        "rendering threads (default: all cores); the image does not depend on "
                        "it"))
      ->type_name("N")
      ->check(lastValue(checkIntIn(1, kMaxThreads, "--threads")))
      ->group(rendering);
  app.add_flag("--point-lights", raw.pointLights,
               "make the key light a point light instead of an area light (the two hosts then "
               "agree most closely)")
      ->group(rendering);
  single(app.add_option("--shape", raw.shape,
                        "what wears the material: spheres (three, the default), sphere, torus, "
                        "cylinder or shaderball (a ball with a raised ring on a pedestal)"))
      ->type_name("NAME")
      ->check(lastValue([](const std::string& text) {
        gwst::Shape shape;
        return gwst::parseShape(text, shape)
                   ? std::string()
                   : "--shape: unknown shape '" + text + "' (one of " + gwst::shapeNames() + ")";
      }))
      ->group(rendering);
  single(app.add_option("--mesh", raw.mesh,
                        "a model file to wear the material instead: every triangle of its "
                        "meshes, placed by its nodes, centred, scaled to fit and standing on the "
                        "ground (" + gwst::meshFormats() + ")"))
      ->type_name("FILE")
      ->group(rendering);
  single(app.add_option("--light-samples", raw.lightSamples,
                        "shadow samples of the area light per hit: auto (the default) gives "
                        "each hit one and spreads them over the pixel's camera samples; N, 1 to "
                        "256, gives every hit, reflected ones included, N of its own (16: one "
                        "per cell of the light's 4x4 grid, as earlier versions did)"))
      ->type_name("N|auto")
      ->check(lastValue(checkLightSamples))
      ->group(rendering);
}

void addEnvironmentOptions(CLI::App& app, RawOptions& raw) {
  const char* environment = "Environment";
  single(app.add_option("--env", raw.env,
                        "what lights the scene and what rays that miss see: softbox (the "
                        "default: the studio's key and fill lights under a softbox gradient), "
                        "studio (a procedural studio map) or a latitude-longitude image, OpenEXR "
                        "(.exr) or Radiance (.hdr), twice as wide as high (give ./studio for a "
                        "file of that name). A map lights the scene through 64 directional "
                        "lights made from it by median cut, each with a shadow ray, in both hosts"))
      ->type_name("NAME|FILE")
      ->group(environment);
  single(app.add_option("--env-rotate", raw.envRotate,
                        "turn the map about the vertical axis, in degrees (positive: "
                        "counter-clockwise seen from above; default 0)"))
      ->type_name("DEG")
      ->check(lastValue(
          checkFloatIn(-kMaxEnvironmentRotate, kMaxEnvironmentRotate, "--env-rotate")))
      ->group(environment);
  single(app.add_option("--env-intensity", raw.envIntensity,
                        "scale the map's radiance and the lights made from it (default 1)"))
      ->type_name("X")
      ->check(lastValue(checkFloatIn(0.0f, kMaxEnvironmentIntensity, "--env-intensity")))
      ->group(environment);
}

void addCameraOptions(CLI::App& app, RawOptions& raw) {
  const char* camera = "Camera and turntables";
  single(app.add_option("--camera-azimuth", raw.azimuth,
                        "turn the camera about the vertical axis through the centre of the "
                        "object, in degrees, -360 to 360; positive moves it to its right "
                        "(default 0)"))
      ->type_name("DEG")
      ->check(lastValue(checkFloatIn(-360.0f, 360.0f, "--camera-azimuth")))
      ->group(camera);
  single(app.add_option("--camera-elevation", raw.elevation,
                        "raise the camera above the object's centre, in degrees, -90 to 90; "
                        "positive looks down on it (default 0)"))
      ->type_name("DEG")
      ->check(lastValue(checkFloatIn(-90.0f, 90.0f, "--camera-elevation")))
      ->group(camera);
  single(app.add_option("--camera-distance", raw.distance,
                        "the camera's distance from the object's centre, 0.1 to 1000 (default: "
                        "the default camera's, about 5.2 for the default scene)"))
      ->type_name("X")
      ->check(lastValue(checkFloatIn(kMinCameraDistance, kMaxCameraDistance, "--camera-distance")))
      ->group(camera);
  single(app.add_option("--turntable", raw.turntable,
                        "render N frames of a full turn of the camera round the object (from "
                        "--camera-azimuth, the environment fixed), 1 to 10000; -o names the "
                        "frames with a run of # for the frame number, e.g. -o turn.####.png"))
      ->type_name("N")
      ->check(lastValue(checkIntIn(1, kMaxTurntableFrames, "--turntable")))
      ->group(camera);
  single(app.add_option("--frame", raw.frame,
                        "render frame K (1 to N) of the turntable alone: the same file, byte "
                        "for byte, as the whole turntable writes for it"))
      ->type_name("K")
      ->check(lastValue(checkIntIn(1, kMaxTurntableFrames, "--frame")))
      ->group(camera);
  single(app.add_option("--turntable-sheet", raw.turntableSheet,
                        "also write a labelled contact sheet of the turntable's frames"))
      ->type_name("PATH")
      ->group(camera);
}

void addViewOptions(CLI::App& app, RawOptions& raw) {
  const char* view = "View";
  single(app.add_option("--exposure", raw.exposure,
                        "brighten (or darken) a PNG by EV stops before the view transform, -30 "
                        "to 30 (default 0); an OpenEXR image keeps the rendered values"))
      ->type_name("EV")
      ->check(lastValue(checkFloatIn(-kMaxExposure, kMaxExposure, "--exposure")))
      ->group(view);
  single(app.add_option("--ocio", raw.ocio,
                        "an OpenColorIO config whose view transform makes the PNG (default: "
                        "with --view, the config the OCIO environment variable names)"))
      ->type_name("FILE")
      ->group(view);
  single(app.add_option("--view", raw.view,
                        "the config's view to apply (default: its default display's default "
                        "view; without a config the sRGB curve)"))
      ->type_name("NAME")
      ->group(view);
}

void addOutputOptions(CLI::App& app, RawOptions& raw) {
  const char* output = "Output";
  const char* libraries = "Libraries (default: this build's)";
  single(app.add_option("-o,--output", raw.output,
                        "image to write (default glintweave-preview.png, glintweave-sweep.png "
                        "or glintweave-scene.png); PNG, or OpenEXR with linear values when it "
                        "ends in .exr; - for standard output"))
      ->type_name("PATH")
      ->group(output);
  single(app.add_option("--format", raw.format,
                        "the image's format where its name gives none (- or a name without "
                        "an extension; default png)"))
      ->type_name("png|exr")
      ->check(lastValue(checkFormat))
      ->group(output);
  app.add_flag("-q,--quiet", raw.quiet, "no progress line on a terminal")->group(output);
  // Seen as soon as it is parsed, so that --help wins over a bad value.
  app.add_flag("-h,--help", raw.help, "show this help, then exit")
      ->trigger_on_parse()
      ->group(output);
  app.add_flag("--version", raw.version, "print the tool's name and version, then exit")
      ->trigger_on_parse()
      ->group(output);

  single(app.add_option("--maya-plugin", raw.mayaPlugin, "the Maya plug-in to load"))
      ->type_name("PATH")
      ->group(libraries);
  single(app.add_option("--mr-shader", raw.mrShader,
                        "the mental ray shader library (its .mi beside it or in ../include)"))
      ->type_name("PATH")
      ->group(libraries);
  single(app.add_option("--mr-renderer", raw.mrRenderer, "the stand-in renderer module"))
      ->type_name("PATH")
      ->group(libraries);
}

// The options in the order and groups of the help text.
std::unique_ptr<CLI::App> makeApp(RawOptions& raw) {
  auto app = std::make_unique<CLI::App>(kDescription, "glintweave-preview");
  app->set_help_flag();  // handled below, so that --help works beside any other option
  app->allow_extras();   // unknown arguments are reported in the tool's own words
  app->footer(kFooter);
  app->get_formatter()->column_width(30);
  addMaterialOptions(*app, raw);
  addSceneFileOptions(*app, raw);
  addRenderingOptions(*app, raw);
  addEnvironmentOptions(*app, raw);
  addCameraOptions(*app, raw);
  addViewOptions(*app, raw);
  addOutputOptions(*app, raw);
  return app;
}

// CLI11's own messages, in the tool's words. A validator's message is
// already whole: CLI11's "NAME: " before it is dropped.
std::string parseErrorText(const CLI::ParseError& e) {
  const std::string what = e.what();
  const size_t colon = what.find(':');
  if (dynamic_cast<const CLI::ValidationError*>(&e) && colon != std::string::npos &&
      what.compare(colon, 2, ": ") == 0) {
    return what.substr(colon + 2);
  }
  if (e.get_name() == "ArgumentMismatch" && colon != std::string::npos &&
      what.find("required") != std::string::npos) {
    return what.substr(0, colon) + " needs a value";
  }
  return what;
}

// ---- from what was typed to Options ---------------------------------------------------

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

// Checks what was typed and fills `options`, loading the material schema.
// `invalid` is the message of a value CLI11 refused: it comes after an
// unknown argument and --help, as every other check does.
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

// `text` wrapped at `maxWidth`, each line after the first indented to
// `column`; `width` is where the first line's text starts.
std::string wrapped(const std::string& text, size_t column, size_t width, size_t maxWidth) {
  std::string line;
  std::string word;
  for (char c : text + " ") {
    if (c != ' ') {
      word += c;
      continue;
    }
    if (word.empty()) continue;
    if (width + word.size() + 1 > maxWidth && width > column) {
      line += "\n" + std::string(column, ' ');
      width = column;
    }
    if (width > column) {
      line += ' ';
      ++width;
    }
    line += word;
    width += word.size();
    word.clear();
  }
  return line;
}

}  // namespace

std::string helpText() {
  // Laid out here rather than by CLI11's formatter, which does not wrap
  // descriptions: groups in order, each option with its value's form, the
  // description wrapped under itself.
  constexpr size_t kColumn = 30, kWidth = 92;
  RawOptions raw;
  const auto app = makeApp(raw);
  std::string text = "Usage: glintweave-preview [options]\n\n" + std::string(kDescription) + "\n";
  std::vector<std::string> groups;
  for (const CLI::Option* o : app->get_options()) {
    if (std::find(groups.begin(), groups.end(), o->get_group()) == groups.end()) {
      groups.push_back(o->get_group());
    }
  }
  for (const std::string& group : groups) {
    text += "\n" + group + ":\n";
    for (const CLI::Option* o : app->get_options()) {
      if (o->get_group() != group) continue;
      std::string names;
      for (const std::string& n : o->get_snames()) names += (names.empty() ? "-" : ", -") + n;
      for (const std::string& n : o->get_lnames()) names += (names.empty() ? "--" : ", --") + n;
      if (o->get_type_size() != 0) names += " " + o->get_type_name();
      std::string line = "  " + names;
      line += line.size() + 2 <= kColumn ? std::string(kColumn - line.size(), ' ')
                                         : "\n" + std::string(kColumn, ' ');
      line += wrapped(o->get_description(), kColumn, kColumn, kWidth);
      text += line + "\n";
    }
  }
  return text + "\n" + kFooter + "\n";
}

std::string versionText() {
  return std::string("glintweave-preview ") + gws::toolsVersion() + "\n";
}

std::string presetText(const Preset& preset) {
  std::string text = std::string("Preset ") + preset.name + ": " + preset.description + "\n";
  for (const auto& [name, value] : preset.settings) {
    text += std::string("  ") + name + "=" + value + "\n";
  }
  return text + "Every other input keeps its default (--list shows them).\n";
}

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
  RawOptions raw;
  auto app = makeApp(raw);
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them backwards
  std::string invalid;
  try {
    app->parse(reversed);
  } catch (const CLI::ValidationError& e) {
    invalid = parseErrorText(e);
  } catch (const CLI::ParseError& e) {
    error = parseErrorText(e);
    return false;
  }
  return checkOptions(raw, app->remaining(), invalid, options, error);
}

}  // namespace gwp
