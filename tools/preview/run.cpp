#include "cli.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <thread>

#include "atomic_file.h"
#include "image_io.h"
#include "render.h"
#include "scene.h"
#include "scene_file.h"
#include "scene_writer.h"
#include "sheet.h"

namespace gwp {
namespace {

constexpr int kMinSize = 8;
constexpr int kMaxSize = 8192;
constexpr int kMaxSamples = 4096;
constexpr int kMaxThreads = 1024;
constexpr int kMaxLightSamples = 256;
constexpr size_t kMaxSweepValues = 16;
constexpr int kDefaultCell = 128;
constexpr int kSwatchColumns = 6;
constexpr const char* kDefaultOutput = "glintweave-preview.png";
constexpr const char* kDefaultSweepOutput = "glintweave-sweep.png";
constexpr const char* kDefaultSceneOutput = "glintweave-scene.png";

bool parseInt(const std::string& text, long lo, long hi, const char* what, int& out,
              std::string& error) {
  char* end = nullptr;
  errno = 0;
  const long v = text.empty() ? 0 : std::strtol(text.c_str(), &end, 10);
  if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE) {
    error = std::string(what) + ": '" + text + "' is not an integer";
    return false;
  }
  if (v < lo || v > hi) {
    error = std::string(what) + " " + text + " is out of range [" + std::to_string(lo) + ", " +
            std::to_string(hi) + "]";
    return false;
  }
  out = static_cast<int>(v);
  return true;
}

bool parseSize(const std::string& text, int& w, int& h, std::string& error) {
  const size_t x = text.find('x');
  if (x == std::string::npos) {
    error = "--size: expected WIDTHxHEIGHT, got '" + text + "'";
    return false;
  }
  return parseInt(text.substr(0, x), kMinSize, kMaxSize, "--size width", w, error) &&
         parseInt(text.substr(x + 1), kMinSize, kMaxSize, "--size height", h, error);
}

// "name=v1,v2,..." into `sweep`, checked against `schema`.
bool parseSweep(const MaterialSchema& schema, const std::string& text, Sweep& sweep,
                std::string& error) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos) {
    error = "--sweep: expected name=v1,v2,..., got '" + text + "'";
    return false;
  }
  const std::string name = text.substr(0, eq);
  const int id = schema.find(name);
  if (id < 0) {
    error = "--sweep: unknown material input '" + name + "' (see --list)";
    return false;
  }
  sweep.input = static_cast<size_t>(id);
  // Values are separated by commas; a colour's components by colons.
  const std::string list = text.substr(eq + 1);
  size_t start = 0;
  while (true) {
    const size_t comma = list.find(',', start);
    const std::string item = list.substr(start, comma == std::string::npos ? comma : comma - start);
    Value v{};
    std::string why;
    if (!parseValue(schema, sweep.input, item, v, why)) {
      error = "--sweep " + name + ": " + why;
      return false;
    }
    sweep.values.push_back(v);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (sweep.values.size() > kMaxSweepValues) {
    error = "--sweep " + name + ": at most " + std::to_string(kMaxSweepValues) + " values";
    return false;
  }
  return true;
}

bool hostHas(const MaterialSchema& schema, Host host, size_t id) {
  return schema[id].in(host);
}

std::string hostList(const std::vector<Host>& hosts) {
  std::string s;
  for (Host h : hosts) s += (s.empty() ? "" : " | ") + std::string(hostName(h));
  return s;
}

std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

class ProgressBar {
 public:
  explicit ProgressBar(std::FILE* err, std::string what = "rendering")
      : err_(err), what_(std::move(what)), enabled_(::isatty(::fileno(err)) != 0) {}
  void update(size_t done, size_t total) {
    if (!enabled_ || total == 0) return;
    // A terminal redrawn more than ten times a second only flickers.
    const auto now = std::chrono::steady_clock::now();
    if (done < total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    constexpr size_t kWidth = 40;
    const size_t filled = done * kWidth / total;
    std::fprintf(err_, "\r%s [%s%s] %3zu%% ", what_.c_str(), std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), done * 100 / total);
    std::fflush(err_);
  }
  void clear() {
    if (enabled_) std::fprintf(err_, "\r\033[K");
  }

 private:
  std::FILE* err_;
  std::string what_;
  bool enabled_;
  std::chrono::steady_clock::time_point last_{};
};

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buf[PATH_MAX];
  if (!::getcwd(buf, sizeof buf)) return path;
  return std::string(buf) + "/" + path;
}

// The options as typed; checked and turned into Options after parsing.
struct RawOptions {
  std::string host, size, spp, threads, lightSamples, preset, output, name;
  std::vector<std::string> sets, sweeps, scenes;
  std::string exportMa, exportMi;
  std::string mayaPlugin, mrShader, mrRenderer;
  bool help = false, list = false, pointLights = false;
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
    "the scene's own lights, cameras and objects are not used.\n"
    "With --list, one line per material, stable for scripts:\n"
    "  NAME INPUT=VALUE ... with every input of the file's host by long name, values as\n"
    "  --set takes them, \"<-SOURCE\" after a connected input's value (\"<-CHILD:SOURCE,...\"\n"
    "  for single children); names with other characters than letters, digits and _ : | . [\n"
    "  ] - in double quotes. A line \"# FILE (HOST)\" comes before each file's materials.\n"
    "\n"
    "Errors. Any error prints one line and exits with status 2, having written nothing:\n"
    "\"glintweave-preview: error: ...\", or for a scene file \"FILE:LINE:COL: message\" (LINE\n"
    "and COL 0 when the whole file is concerned). A scene's declaration of kl4v_glintWeave\n"
    "that differs from the installed one is reported as \"FILE:LINE:COL: warning: ...\".\n"
    "Images and exported scenes are written to a temporary file and renamed into place when\n"
    "complete. A progress bar goes to standard error when it is a terminal; one summary line\n"
    "goes to standard output.\n"
    "\n"
    "Examples:\n"
    "  glintweave-preview\n"
    "  glintweave-preview --preset satin --set color=0.2,0.4,0.8 -o satin.png\n"
    "  glintweave-preview --host maya --sweep specularU=1,10,100,1000 --sweep specularV=1,100\n"
    "  glintweave-preview --scene shot.ma --scene shot.mi -o materials.png\n"
    "  glintweave-preview --scene shot.ma --list\n"
    "  glintweave-preview --preset satin --set specularV=120 --export-ma satin.ma --name satin1";

std::unique_ptr<CLI::App> makeApp(RawOptions& raw) {
  auto app = std::make_unique<CLI::App>(kDescription, "glintweave-preview");
  app->set_help_flag();  // handled below, so that --help works beside any other option
  app->allow_extras();   // unknown arguments are reported in the tool's own words
  app->footer(kFooter);
  app->get_formatter()->column_width(30);
  auto single = [](CLI::Option* o) {
    return o->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  };
  const char* material = "Material";
  const char* scenes = "Scene files";
  const char* rendering = "Rendering";
  const char* output = "Output";
  const char* libraries = "Libraries (default: this build's)";

  single(app->add_option("--preset", raw.preset,
                         "start from a named material (default brushed-metal; see --list)"))
      ->type_name("NAME")
      ->group(material);
  app->add_option("--set", raw.sets,
                  "set a material input by its name; repeatable, applied after the preset in "
                  "order; colours take r,g,b or one grey value, e.g. --set specularU=200")
      ->type_name("NAME=VALUE")
      ->group(material);
  app->add_option("--sweep", raw.sweeps,
                  "render a contact sheet, one sphere per value; twice for a grid (first: "
                  "columns, second: rows); up to 16 values each; colours as r:g:b")
      ->type_name("NAME=V1,V2,...")
      ->group(material);
  app->add_flag("--list", raw.list,
                "list the material inputs and presets (with --scene: the scenes' materials), "
                "then exit")
      ->group(material);

  app->add_option("--scene", raw.scenes,
                  "render every glintWeave material of these Maya ASCII (.ma) or mental ray "
                  "(.mi) scenes as a labelled contact sheet; repeatable")
      ->type_name("FILE...")
      ->group(scenes);
  single(app->add_option("--export-ma", raw.exportMa,
                         "write the material (preset, then --set) as a Maya ASCII file"))
      ->type_name("FILE")
      ->group(scenes);
  single(app->add_option("--export-mi", raw.exportMi,
                         "write the material as a mental ray .mi a scene can $include"))
      ->type_name("FILE")
      ->group(scenes);
  single(app->add_option("--name", raw.name,
                         "the exported node's or shader's name (default glintWeave1)"))
      ->type_name("NAME")
      ->group(scenes);

  single(app->add_option("--host", raw.host,
                         "which deliverable renders (default: both, side by side, Maya on the "
                         "left; with --scene each file's own host)"))
      ->type_name("maya|mentalray|both")
      ->group(rendering);
  single(app->add_option("--size", raw.size,
                         "image size per host, 8 to 8192 (default 400x300); on a contact sheet "
                         "the size of one cell (default 128x128)"))
      ->type_name("WxH")
      ->group(rendering);
  single(app->add_option("--spp", raw.spp, "camera samples per pixel, 1 to 4096 (default 16)"))
      ->type_name("N")
      ->group(rendering);
  single(app->add_option("--threads", raw.threads,
                         "rendering threads (default: all cores); the image does not depend on "
                         "it"))
      ->type_name("N")
      ->group(rendering);
  app->add_flag("--point-lights", raw.pointLights,
                "make the key light a point light instead of an area light (the two hosts then "
                "agree most closely)")
      ->group(rendering);
  single(app->add_option("--light-samples", raw.lightSamples,
                         "shadow samples of the area light per hit: auto (the default) gives "
                         "each hit one and spreads them over the pixel's camera samples; N, 1 to "
                         "256, gives every hit, reflected ones included, N of its own (16: one "
                         "per cell of the light's 4x4 grid, as earlier versions did)"))
      ->type_name("N|auto")
      ->group(rendering);

  single(app->add_option("-o,--output", raw.output,
                         "image to write (default glintweave-preview.png, glintweave-sweep.png "
                         "or glintweave-scene.png); PNG, or OpenEXR with linear values when it "
                         "ends in .exr"))
      ->type_name("PATH")
      ->group(output);
  app->add_flag("-h,--help", raw.help, "show this help, then exit")->group(output);

  single(app->add_option("--maya-plugin", raw.mayaPlugin, "the Maya plug-in to load"))
      ->type_name("PATH")
      ->group(libraries);
  single(app->add_option("--mr-shader", raw.mrShader,
                         "the mental ray shader library (its .mi beside it or in ../include)"))
      ->type_name("PATH")
      ->group(libraries);
  single(app->add_option("--mr-renderer", raw.mrRenderer,
                         "the stand-in renderer module"))
      ->type_name("PATH")
      ->group(libraries);
  return app;
}

// CLI11's own messages, in the tool's words.
std::string parseErrorText(const CLI::ParseError& e) {
  const std::string what = e.what();
  const size_t colon = what.find(':');
  if (e.get_name() == "ArgumentMismatch" && colon != std::string::npos &&
      what.find("required") != std::string::npos) {
    return what.substr(0, colon) + " needs a value";
  }
  return what;
}

// Checks what was typed and fills `options`, loading the material schema.
bool checkOptions(const RawOptions& raw, const std::vector<std::string>& extras,
                  Options& options, std::string& error) {
  if (!extras.empty()) {
    const std::string& a = extras.front();
    error = a.size() > 1 && a[0] == '-' ? "unknown option '" + a + "' (see --help)"
                                        : "unexpected argument '" + a + "' (see --help)";
    return false;
  }
  options.help = raw.help;
  if (options.help) return true;
  options.list = raw.list;
  options.pointLightsOnly = raw.pointLights;
  if (!raw.host.empty()) {
    options.hostGiven = true;
    if (raw.host == "maya") {
      options.hosts = {Host::kMaya};
    } else if (raw.host == "mentalray") {
      options.hosts = {Host::kMentalRay};
    } else if (raw.host == "both") {
      options.hosts = {Host::kMaya, Host::kMentalRay};
    } else {
      error = "--host: unknown host '" + raw.host + "' (use maya, mentalray or both)";
      return false;
    }
  }
  if (!raw.size.empty()) {
    if (!parseSize(raw.size, options.width, options.height, error)) return false;
    options.sizeGiven = true;
  }
  if (!raw.spp.empty() &&
      !parseInt(raw.spp, 1, kMaxSamples, "--spp", options.samplesPerPixel, error)) {
    return false;
  }
  if (!raw.threads.empty() &&
      !parseInt(raw.threads, 1, kMaxThreads, "--threads", options.threads, error)) {
    return false;
  }
  if (raw.lightSamples == "auto") {
    options.lightSamples = 0;
  } else if (!raw.lightSamples.empty() &&
             !parseInt(raw.lightSamples, 1, kMaxLightSamples, "--light-samples",
                       options.lightSamples, error)) {
    return false;
  }
  if (!raw.preset.empty()) {
    if (!findPreset(raw.preset)) {
      std::string names;
      for (const Preset& p : presets()) names += (names.empty() ? "" : ", ") + std::string(p.name);
      error = "--preset: unknown preset '" + raw.preset + "' (one of " + names + ")";
      return false;
    }
    options.preset = raw.preset;
  }
  if (raw.sweeps.size() > 2) {
    error = "--sweep: at most two parameters";
    return false;
  }
  if (!raw.output.empty()) {
    options.output = raw.output;
    options.outputGiven = true;
  }
  options.libraries = {raw.mayaPlugin, raw.mrShader, raw.mrRenderer};
  options.scenes = raw.scenes;
  options.exportMa = raw.exportMa;
  options.exportMi = raw.exportMi;
  if (!raw.name.empty()) {
    if (!gws::validMaterialName(raw.name, error)) {
      error = "--name: " + error;
      return false;
    }
    options.materialName = raw.name;
  }
  const bool exporting = !options.exportMa.empty() || !options.exportMi.empty();
  if (!options.scenes.empty()) {
    for (const char* what : {"--sweep", "--set", "--preset", "--export-ma", "--export-mi"}) {
      const bool given = (what == std::string("--sweep") && !raw.sweeps.empty()) ||
                         (what == std::string("--set") && !raw.sets.empty()) ||
                         (what == std::string("--preset") && !raw.preset.empty()) ||
                         (what == std::string("--export-ma") && !raw.exportMa.empty()) ||
                         (what == std::string("--export-mi") && !raw.exportMi.empty());
      if (given) {
        error = std::string(what) + " does not go with --scene: the scenes' materials are " +
                "rendered as they are";
        return false;
      }
    }
  }
  if (exporting && !raw.sweeps.empty() && !options.outputGiven) {
    error = "--sweep with --export-ma/--export-mi renders only with -o; give -o too";
    return false;
  }

  // The inputs come from the deliverables that will render (and those
  // written to): the hosts asked for must be readable; the other host's
  // inputs are known when it is.
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
  if (!options.schema) return false;
  const MaterialSchema& schema = *options.schema;

  options.material = Material(options.schema);
  if (!applyPreset(options.material, *findPreset(options.preset), error)) return false;
  // What --set and --sweep name must be an input of a host that renders it
  // or is written to.
  std::vector<Host> targets = options.hosts;
  if (exporting && !options.outputGiven && raw.sweeps.empty()) targets.clear();
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
      error = "--sweep: " + schema[sweep.input].name + " is not an input of " +
              hostList(options.hosts);
      return false;
    }
    options.sweeps.push_back(std::move(sweep));
  }
  if (options.sweeps.size() == 2 && options.sweeps[0].input == options.sweeps[1].input) {
    error = "--sweep: the two sweeps name the same input";
    return false;
  }
  if ((!options.sweeps.empty() || !options.scenes.empty()) && !options.sizeGiven) {
    options.width = options.height = kDefaultCell;
  }
  if (options.output.empty()) {
    options.output = !options.sweeps.empty()   ? kDefaultSweepOutput
                     : !options.scenes.empty() ? kDefaultSceneOutput
                                               : kDefaultOutput;
  }
  return true;
}

std::string listText(const MaterialSchema& schema) {
  std::string text =
      "Material inputs, as the deliverables declare them (name, hosts, kind, default, "
      "slider range, hard limits):\n";
  for (size_t i = 0; i < schema.size(); ++i) {
    const MaterialInput& in = schema[i];
    const bool maya = in.in(gws::Host::kMaya), mr = in.in(gws::Host::kMentalRay);
    const char* hosts = maya && mr ? "both" : (maya ? "maya" : "mentalray");
    std::string range;
    for (gws::Host h : gws::kHosts) {
      const gws::InputSpec* spec = schema.spec(h, i);
      if (!spec || !spec->softMin || !spec->softMax) continue;
      range = gws::formatFloat(gws::toFloat(*spec->softMin)) + " to " +
              gws::formatFloat(gws::toFloat(*spec->softMax));
      if (spec->min) range += " (at least " + gws::formatFloat(gws::toFloat(*spec->min)) + ")";
      if (spec->max) range += " (at most " + gws::formatFloat(gws::toFloat(*spec->max)) + ")";
      break;
    }
    char line[200];
    std::snprintf(line, sizeof line, "  %-18s %-9s %-6s %-12s %s\n", in.name.c_str(), hosts,
                  gws::kindName(in.kind), formatValue(in.kind, in.defaultValue).c_str(),
                  range.c_str());
    text += line;
  }
  text += "\nPresets:\n";
  for (const Preset& p : presets()) {
    char line[200];
    std::snprintf(line, sizeof line, "  %-15s %s\n", p.name, p.description);
    text += line;
  }
  text += "\nWhat each input does: docs/material-guide.md\n";
  return text;
}

// One cell of a contact sheet: a material through a host.
struct Swatch {
  int material = 0;  // index into the render's materials
  Host host = Host::kMaya;
};

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
      size_t width = kColumn;
      std::string word;
      const std::string desc = o->get_description() + " ";
      for (char c : desc) {
        if (c != ' ') {
          word += c;
          continue;
        }
        if (word.empty()) continue;
        if (width + word.size() + 1 > kWidth && width > kColumn) {
          line += "\n" + std::string(kColumn, ' ');
          width = kColumn;
        }
        if (width > kColumn) {
          line += ' ';
          ++width;
        }
        line += word;
        width += word.size();
        word.clear();
      }
      text += line + "\n";
    }
  }
  return text + "\n" + kFooter + "\n";
}

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
  RawOptions raw;
  auto app = makeApp(raw);
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them backwards
  try {
    app->parse(reversed);
  } catch (const CLI::ParseError& e) {
    error = parseErrorText(e);
    return false;
  }
  return checkOptions(raw, app->remaining(), options, error);
}

int runPreview(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  auto fail = [&](const std::string& message) {
    std::fprintf(err, "glintweave-preview: error: %s\n", message.c_str());
    return kExitError;
  };
  Options options;
  std::string error;
  if (!parseOptions(args, options, error)) return fail(error);
  if (options.help) {
    std::fputs(helpText().c_str(), out);
    return kExitOk;
  }

  // Scenes are read whole before anything is written.
  std::vector<gws::SceneFile> scenes;
  for (const std::string& path : options.scenes) {
    gws::SceneFile file;
    ProgressBar bar(err, "reading " + baseName(path));
    gws::ReadOptions read;
    read.progress = [&](size_t done, size_t total) { bar.update(done, total); };
    const bool ok = gws::readScene(path, options.schema, file, error, read);
    bar.clear();
    if (!ok) {
      std::fprintf(err, "%s\n", error.c_str());
      return kExitError;
    }
    for (const std::string& w : file.warnings) std::fprintf(err, "%s\n", w.c_str());
    scenes.push_back(std::move(file));
  }
  if (options.list) {
    if (scenes.empty()) {
      std::fputs(listText(*options.schema).c_str(), out);
    } else {
      for (const gws::SceneFile& file : scenes) {
        std::fprintf(out, "# %s (%s)\n", file.path.c_str(), gws::hostName(file.host));
        for (const gws::SceneMaterial& m : file.materials) {
          std::fputs(gws::listMaterial(m, *options.schema).c_str(), out);
        }
      }
    }
    return kExitOk;
  }

  // Every destination is made ready before any work, so that an unwritable
  // one fails first and a failure leaves nothing behind.
  const bool exporting = !options.exportMa.empty() || !options.exportMi.empty();
  gwf::TextFile maFile, miFile;
  if (!options.exportMa.empty() && !maFile.open(options.exportMa, error)) return fail(error);
  if (!options.exportMi.empty() && !miFile.open(options.exportMi, error)) return fail(error);
  const bool rendering = !exporting || options.outputGiven;
  OutputFile file;
  if (rendering && !file.open(options.output, error)) return fail(error);

  if (exporting) {
    std::string maText, miText;
    if (!options.exportMa.empty()) {
      maText = gws::mayaAsciiText(options.material, options.materialName, options.exportMa);
    }
    if (!options.exportMi.empty()) {
      miText = gws::mentalRayText(options.material, options.materialName, options.exportMi);
    }
    if (!options.exportMa.empty() && !maFile.commit(maText, error)) return fail(error);
    if (!options.exportMi.empty() && !miFile.commit(miText, error)) return fail(error);
    for (const std::string* path : {&options.exportMa, &options.exportMi}) {
      if (path->empty()) continue;
      std::fprintf(out, "glintweave-preview: wrote %s to %s\n", options.materialName.c_str(),
                   absolutePath(*path).c_str());
    }
    if (!rendering) return kExitOk;
  }

  // What is rendered: the default scene, a sweep's grid of cells, or one
  // swatch per scene material; a sheet's layout and labels.
  const bool sweeping = !options.sweeps.empty();
  const bool sheet = sweeping || !scenes.empty();
  Scene scene = sheet ? sweepCellScene() : defaultScene(options.pointLightsOnly);
  if (options.lightSamples > 0) {
    scene.lightSampling.mode = LightSampling::Mode::kPerHit;
    scene.lightSampling.perHit = options.lightSamples;
  }
  std::vector<Material> materials{floorMaterial(options.schema)};
  std::vector<Swatch> swatches;
  std::vector<Host> usedHosts;
  SheetLayout layout;
  if (sweeping) {
    const size_t cols = options.sweeps[0].values.size();
    const size_t rows = options.sweeps.size() == 2 ? options.sweeps[1].values.size() : 1;
    for (size_t r = 0; r < rows; ++r) {
      for (size_t c = 0; c < cols; ++c) {
        Material m = options.material;
        m[options.sweeps[0].input] = options.sweeps[0].values[c];
        if (options.sweeps.size() == 2) m[options.sweeps[1].input] = options.sweeps[1].values[r];
        materials.push_back(m);
      }
    }
    usedHosts = options.hosts;
    for (Host h : usedHosts) {
      for (size_t i = 0; i < rows * cols; ++i) swatches.push_back({static_cast<int>(1 + i), h});
    }
    auto values = [&](const Sweep& s) {
      std::vector<std::string> v;
      for (const Value& x : s.values) v.push_back(formatValue((*options.schema)[s.input].kind, x));
      return v;
    };
    std::vector<std::string> groups;
    for (Host h : usedHosts) groups.push_back(hostName(h));
    const Sweep& col = options.sweeps[0];
    const bool twoD = options.sweeps.size() == 2;
    if (!sweepSheet("glintWeave sweep, preset " + options.preset, groups,
                    (*options.schema)[col.input].name, values(col),
                    twoD ? (*options.schema)[options.sweeps[1].input].name : std::string(),
                    twoD ? values(options.sweeps[1]) : std::vector<std::string>(), options.width,
                    options.height, layout, error)) {
      return fail(error);
    }
  } else if (!scenes.empty()) {
    std::vector<std::vector<std::string>> labels;
    std::string title;
    for (const gws::SceneFile& f : scenes) {
      title += (title.empty() ? "" : ", ") + baseName(f.path);
      for (const gws::SceneMaterial& m : f.materials) {
        materials.push_back(Material(m.material));
        const std::vector<Host> hosts =
            options.hostGiven ? options.hosts : std::vector<Host>{f.host};
        for (Host h : hosts) {
          swatches.push_back({static_cast<int>(materials.size() - 1), h});
          labels.push_back({m.name, hostName(h)});
          if (std::find(usedHosts.begin(), usedHosts.end(), h) == usedHosts.end()) {
            usedHosts.push_back(h);
          }
        }
      }
    }
    // Six swatches a row, more for many materials so that the sheet stays
    // about square; a material's hosts side by side.
    const int perMaterial = options.hostGiven ? static_cast<int>(options.hosts.size()) : 1;
    const int wanted = std::max(
        kSwatchColumns,
        static_cast<int>(std::ceil(std::sqrt(static_cast<double>(labels.size())))));
    const int columns = std::max(perMaterial, wanted / perMaterial * perMaterial);
    if (!swatchSheet(title, labels, columns, options.width, options.height, layout, error)) {
      return fail(error);
    }
  } else {
    materials.push_back(options.material);
    usedHosts = options.hosts;
    for (size_t h = 0; h < usedHosts.size(); ++h) {
      swatches.push_back({1, usedHosts[h]});
      layout.cells.push_back({static_cast<int>(h) * options.width, 0});
    }
    layout.width = options.width * static_cast<int>(usedHosts.size());
    layout.height = options.height;
  }
  if (layout.width > 2 * kMaxSize || layout.height > kMaxSize) {
    return fail("the image would be larger than " + std::to_string(2 * kMaxSize) + "x" +
                std::to_string(kMaxSize) + "; use a smaller --size");
  }

  std::vector<std::unique_ptr<Backend>> backends(2);
  for (Host host : usedHosts) {
    auto backend = createBackend(host, scene, materials, options.libraries, error);
    if (!backend) return fail(error);
    backends[static_cast<size_t>(host)] = std::move(backend);
  }

  std::vector<Panel> panels;
  for (size_t i = 0; i < swatches.size(); ++i) {
    Panel p;
    p.backend = backends[static_cast<size_t>(swatches[i].host)].get();
    p.scene = &scene;
    p.materialOfSlot[kFloorSlot] = 0;
    p.materialOfSlot[kHeroSlot] = swatches[i].material;
    p.x0 = layout.cells[i].x;
    p.y0 = layout.cells[i].y;
    p.width = options.width;
    p.height = options.height;
    panels.push_back(p);
  }

  RenderSettings settings;
  settings.samplesPerPixel = options.samplesPerPixel;
  settings.threads = options.threads > 0
                         ? options.threads
                         : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  Image image(layout.width, layout.height);
  if (sheet) {
    for (Rgb& p : image.pixels) p = {kSheetBackground, kSheetBackground, kSheetBackground};
  }
  RenderStats stats;
  ProgressBar bar(err);
  const bool ok = render(
      panels, settings, image, stats, [&](size_t done, size_t total) { bar.update(done, total); },
      error);
  bar.clear();
  if (!ok) return fail("rendering failed: " + error);
  if (sheet && !drawTexts(image, layout.texts, error)) return fail(error);
  if (!file.commit(image, error)) return fail(error);

  if (stats.droppedSamples > 0) {
    std::fprintf(err,
                 "glintweave-preview: warning: %llu samples were not finite and were left out\n",
                 static_cast<unsigned long long>(stats.droppedSamples));
  }
  const double perThread =
      stats.seconds > 0.0 ? static_cast<double>(stats.cameraSamples) / stats.seconds / stats.threads
                          : 0.0;
  std::fprintf(out,
               "glintweave-preview: %dx%d (%s), %d spp, %d threads, %.2f s, %.0f samples/s per "
               "thread -> %s\n",
               image.width, image.height, hostList(usedHosts).c_str(), options.samplesPerPixel,
               stats.threads, stats.seconds, perThread, absolutePath(options.output).c_str());
  return kExitOk;
}

}  // namespace gwp
