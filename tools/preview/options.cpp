#include "options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "mesh.h"
#include "option_values.h"
#include "raw_options.h"
#include "scene_file.h"
#include "scene_writer.h"

namespace gwp {
namespace {

// A CLI11 validator from `check`, applied to the value that counts: the last
// of a repeated option (earlier ones are overridden, not checked). Its
// description is empty so that the help text stays the tool's own.
CLI::Validator lastValue(ValueCheck check) {
  CLI::Validator v([check](std::string& text) { return check(text); }, "");
  v.application_index(0);
  return v;
}

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

// One option as the help text lists it: its names, where its value goes
// (a string taken once, the last given; a list, every one given; or a
// flag), the form of its value, what it does, and the check its value must
// pass. Options are declared as tables of these, one table per group, in
// the order of the help text.
struct OptionSpec {
  using Field = std::variant<std::string RawOptions::*, std::vector<std::string> RawOptions::*,
                             bool RawOptions::*>;
  const char* names;
  Field field;
  const char* typeName;  // "" for a flag
  std::string description;
  ValueCheck check = nullptr;
  bool early = false;  // seen as soon as it is parsed, so that it wins over a bad value
};

void addGroup(CLI::App& app, RawOptions& raw, const char* group,
              const std::vector<OptionSpec>& specs) {
  for (const OptionSpec& s : specs) {
    CLI::Option* o = nullptr;
    if (const auto* text = std::get_if<std::string RawOptions::*>(&s.field)) {
      // A value option given twice takes the last.
      o = app.add_option(s.names, raw.**text, s.description)
              ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    } else if (const auto* list = std::get_if<std::vector<std::string> RawOptions::*>(&s.field)) {
      o = app.add_option(s.names, raw.**list, s.description);
    } else {
      o = app.add_flag(s.names, raw.*std::get<bool RawOptions::*>(s.field), s.description);
    }
    if (*s.typeName) o->type_name(s.typeName);
    if (s.check) o->check(lastValue(s.check));
    if (s.early) o->trigger_on_parse();
    o->group(group);
  }
}

std::string checkShape(const std::string& text) {
  gwst::Shape shape;
  return gwst::parseShape(text, shape)
             ? std::string()
             : "--shape: unknown shape '" + text + "' (one of " + gwst::shapeNames() + ")";
}

void addMaterialOptions(CLI::App& app, RawOptions& raw) {
  addGroup(app, raw, "Material", {
    {"--preset", &RawOptions::preset, "NAME",
     "start from a named material (default brushed-metal; see --list)", checkPreset},
    {"--set", &RawOptions::sets, "NAME=VALUE",
     "set a material input by its name; repeatable, applied after the preset in "
     "order; colours and vectors take r,g,b (or r:g:b), colours also one grey "
     "value, e.g. --set specularU=200"},
    {"--sweep", &RawOptions::sweeps, "NAME=V1,V2,...",
     "render a contact sheet, one sphere per value; twice for a grid (first: "
     "columns, second: rows); up to 16 values each, separated by commas; colours "
     "and vectors as for --set: r:g:b between commas, or r,g,b with the values "
     "separated by spaces or ';' (--sweep \"color=1,0,0 0,0,1\")"},
    {"--list", &RawOptions::list, "",
     "list the material inputs and presets (with --preset: that preset's values; "
     "with --scene: the scenes' materials), then exit"},
  });
}

void addSceneFileOptions(CLI::App& app, RawOptions& raw) {
  addGroup(app, raw, "Scene files", {
    {"--scene", &RawOptions::scenes, "FILE...",
     "render every glintWeave material of these Maya ASCII (.ma) or mental ray "
     "(.mi) scenes as a labelled contact sheet; repeatable"},
    {"--material", &RawOptions::material, "NAME",
     "with --scene: use only the material of this name"},
    {"--export-ma", &RawOptions::exportMa, "FILE",
     "write the material (preset, then --set), or the --scene materials, as "
     "a Maya ASCII file; - for standard output"},
    {"--export-mi", &RawOptions::exportMi, "FILE",
     "write the material(s) as a mental ray .mi a scene can $include; - for "
     "standard output"},
    {"--name", &RawOptions::name, "NAME",
     "the exported node's or shader's name (default glintWeave1; with "
     "--scene, when one material is exported: its new name)"},
  });
}

void addRenderingOptions(CLI::App& app, RawOptions& raw) {
  addGroup(app, raw, "Rendering", {
    {"--host", &RawOptions::host, "maya|mentalray|both",
     "which deliverable renders (default: both, side by side, Maya on the "
     "left; with --scene each file's own host)", checkHost},
    {"--size", &RawOptions::size, "WxH",
     "image size per host, 8 to 8192 (default 400x300); on a contact sheet "
     "the size of one cell (default 128x128)", checkSize},
    {"--spp", &RawOptions::spp, "N", "camera samples per pixel, 1 to 4096 (default 16)",
     checkIntIn(1, kMaxSamples, "--spp")},
    {"--threads", &RawOptions::threads, "N",
     "rendering threads (default: all cores); the image does not depend on "
     "it", checkIntIn(1, kMaxThreads, "--threads")},
    {"--point-lights", &RawOptions::pointLights, "",
     "make the key light a point light instead of an area light (the two hosts then "
     "agree most closely)"},
    {"--shape", &RawOptions::shape, "NAME",
     "what wears the material: spheres (three, the default), sphere, torus, "
     "cylinder or shaderball (a ball with a raised ring on a pedestal)", checkShape},
    {"--mesh", &RawOptions::mesh, "FILE",
     "a model file to wear the material instead: every triangle of its "
     "meshes, placed by its nodes, centred, scaled to fit and standing on the "
     "ground (" + gwst::meshFormats() + ")"},
    {"--light-samples", &RawOptions::lightSamples, "N|auto",
     "shadow samples of the area light per hit: auto (the default) gives "
     "each hit one and spreads them over the pixel's camera samples; N, 1 to "
     "256, gives every hit, reflected ones included, N of its own (16: one "
     "per cell of the light's 4x4 grid, as earlier versions did)", checkLightSamples},
    {"--adaptive-threshold", &RawOptions::adaptiveThreshold, "X",
     "adaptive sampling: a pixel stops taking samples once the noise of its "
     "mean, estimated from its own samples, is below X 8-bit sRGB codes, so "
     "--spp becomes the most a pixel takes (0, the default: off, every pixel "
     "takes --spp); 1 is about what the eye sees on a flat area",
     checkFloatIn(0.0f, kMaxAdaptiveThreshold, "--adaptive-threshold")},
    {"--adaptive-min-spp", &RawOptions::adaptiveMin, "N",
     "with --adaptive-threshold: the samples every pixel takes before its "
     "noise is first tested, and between tests, 2 to 4096 (default 8)",
     checkIntIn(2, kMaxSamples, "--adaptive-min-spp")},
  });
}

void addEnvironmentOptions(CLI::App& app, RawOptions& raw) {
  addGroup(app, raw, "Environment", {
    {"--env", &RawOptions::env, "NAME|FILE",
     "what lights the scene and what rays that miss see: softbox (the "
     "default: the studio's key and fill lights under a softbox gradient), "
     "studio (a procedural studio map) or a latitude-longitude image, OpenEXR "
     "(.exr) or Radiance (.hdr), twice as wide as high (give ./studio for a "
     "file of that name). A map lights the scene through 64 directional "
     "lights made from it by median cut, each with a shadow ray, in both hosts"},
    {"--env-rotate", &RawOptions::envRotate, "DEG",
     "turn the map about the vertical axis, in degrees (positive: "
     "counter-clockwise seen from above; default 0)",
     checkFloatIn(-kMaxEnvironmentRotate, kMaxEnvironmentRotate, "--env-rotate")},
    {"--env-intensity", &RawOptions::envIntensity, "X",
     "scale the map's radiance and the lights made from it (default 1)",
     checkFloatIn(0.0f, kMaxEnvironmentIntensity, "--env-intensity")},
  });
}

void addCameraOptions(CLI::App& app, RawOptions& raw) {
  addGroup(app, raw, "Camera and turntables", {
    {"--camera-azimuth", &RawOptions::azimuth, "DEG",
     "turn the camera about the vertical axis through the centre of the "
     "object, in degrees, -360 to 360; positive moves it to its right "
     "(default 0)", checkFloatIn(-360.0f, 360.0f, "--camera-azimuth")},
    {"--camera-elevation", &RawOptions::elevation, "DEG",
     "raise the camera above the object's centre, in degrees, -90 to 90; "
     "positive looks down on it (default 0)", checkFloatIn(-90.0f, 90.0f, "--camera-elevation")},
    {"--camera-distance", &RawOptions::distance, "X",
     "the camera's distance from the object's centre, 0.1 to 1000 (default: "
     "the default camera's, about 5.2 for the default scene)",
     checkFloatIn(kMinCameraDistance, kMaxCameraDistance, "--camera-distance")},
    {"--turntable", &RawOptions::turntable, "N",
     "render N frames of a full turn of the camera round the object (from "
     "--camera-azimuth, the environment fixed), 1 to 10000; -o names the "
     "frames with a run of # for the frame number, e.g. -o turn.####.png",
     checkIntIn(1, kMaxTurntableFrames, "--turntable")},
    {"--frame", &RawOptions::frame, "K",
     "render frame K (1 to N) of the turntable alone: the same file, byte "
     "for byte, as the whole turntable writes for it",
     checkIntIn(1, kMaxTurntableFrames, "--frame")},
    {"--turntable-sheet", &RawOptions::turntableSheet, "PATH",
     "also write a labelled contact sheet of the turntable's frames"},
  });
}

void addViewOptions(CLI::App& app, RawOptions& raw) {
  addGroup(app, raw, "View", {
    {"--exposure", &RawOptions::exposure, "EV",
     "brighten (or darken) a PNG by EV stops before the view transform, -30 "
     "to 30 (default 0); an OpenEXR image keeps the rendered values",
     checkFloatIn(-kMaxExposure, kMaxExposure, "--exposure")},
    {"--ocio", &RawOptions::ocio, "FILE",
     "an OpenColorIO config whose view transform makes the PNG (default: "
     "with --view, the config the OCIO environment variable names)"},
    {"--view", &RawOptions::view, "NAME",
     "the config's view to apply (default: its default display's default "
     "view; without a config the sRGB curve)"},
  });
}

void addOutputOptions(CLI::App& app, RawOptions& raw) {
  addGroup(app, raw, "Output", {
    {"-o,--output", &RawOptions::output, "PATH",
     "image to write (default glintweave-preview.png, glintweave-sweep.png "
     "or glintweave-scene.png); PNG, or OpenEXR with linear values when it "
     "ends in .exr; - for standard output"},
    {"--format", &RawOptions::format, "png|exr",
     "the image's format where its name gives none (- or a name without "
     "an extension; default png)", checkFormat},
    {"-q,--quiet", &RawOptions::quiet, "", "no progress line on a terminal"},
    {"-h,--help", &RawOptions::help, "", "show this help, then exit", nullptr, true},
    {"--version", &RawOptions::version, "", "print the tool's name and version, then exit",
     nullptr, true},
  });
  addGroup(app, raw, "Libraries (default: this build's)", {
    {"--maya-plugin", &RawOptions::mayaPlugin, "PATH", "the Maya plug-in to load"},
    {"--mr-shader", &RawOptions::mrShader, "PATH",
     "the mental ray shader library (its .mi beside it or in ../include)"},
    {"--mr-renderer", &RawOptions::mrRenderer, "PATH", "the stand-in renderer module"},
  });
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
