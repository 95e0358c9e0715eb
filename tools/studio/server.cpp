#include "server.h"

#include <httplib.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "assets.h"
#include "image_io.h"
#include "sceneio.h"

namespace gwstudio {
namespace {

using nlohmann::json;

constexpr int kStatusBadRequest = 400;
constexpr int kStatusNotFound = 404;
constexpr int kStatusSuperseded = 409;
constexpr int kStatusFailed = 500;
constexpr int kStatusNotImplemented = 501;
constexpr int kStatusBusy = 503;

// The listening socket may take over an address whose last connections are
// still in TIME_WAIT (a studio stopped and started again at once), and
// nothing more. The HTTP library's default asks for SO_REUSEPORT, with which
// a second studio on a port in use would start anyway and the kernel would
// split the connections between the two.
void listenerOptions(int sock) {
  const int yes = 1;
  ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

// Why `address` port `port` cannot be listened on, found by binding it as
// the server does; empty when it can be (after all).
std::string bindProblem(const std::string& address, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    return "not an address of this machine";
  }
  int why = 0;
  for (addrinfo* a = found; a; a = a->ai_next) {
    const int sock = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (sock < 0) {
      why = errno;
      continue;
    }
    listenerOptions(sock);
    const bool bound = ::bind(sock, a->ai_addr, a->ai_addrlen) == 0;
    if (!bound) why = errno;
    ::close(sock);
    if (bound) {
      why = 0;
      break;
    }
  }
  ::freeaddrinfo(found);
  switch (why) {
    case 0:
      return {};
    case EADDRINUSE:
      return "address already in use";
    case EADDRNOTAVAIL:
      return "not an address of this machine";
    case EACCES:
      return "permission denied (a port below 1024 needs privileges)";
    default:
      return std::strerror(why);
  }
}

void sendError(httplib::Response& res, int status, const std::string& message,
               const std::string& field = "") {
  json body{{"error", message}};
  if (!field.empty()) body["field"] = field;
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  if (status == kStatusBusy) res.set_header("Retry-After", "1");
  // A message may quote a request's bytes: never let them break the JSON.
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void sendOutcome(httplib::Response& res, Outcome outcome, const std::string& error) {
  switch (outcome) {
    case Outcome::kOk:
      return;
    case Outcome::kSuperseded:
      sendError(res, kStatusSuperseded, "superseded by a newer request");
      return;
    case Outcome::kBusy:
      sendError(res, kStatusBusy, error);
      return;
    case Outcome::kFailed:
      sendError(res, kStatusFailed, error);
      return;
  }
}

// Parses the request's query; on failure answers 400 and returns false.
bool params(const Studio& studio, const httplib::Request& req, httplib::Response& res,
            StudioParams& out, bool needsClient) {
  ParamError error;
  if (!parseParams(req.params, studio.schema(), out, error)) {
    sendError(res, kStatusBadRequest, error.message, error.field);
    return false;
  }
  if (needsClient && out.client.empty()) {
    sendError(res, kStatusBadRequest, "client: missing", "client");
    return false;
  }
  return true;
}

// Each parameter checked on its own, every problem in one answer: a page
// marks all its invalid fields at once, and a link's bad entries are named
// together while the rest still applies.
json checkEach(const Query& query, const Studio& studio) {
  json problems = json::array();
  for (const auto& [key, value] : query) {
    StudioParams p;
    ParamError error;
    if (!parseParams(Query{{key, value}}, studio.schema(), p, error)) {
      problems.push_back({{"field", key}, {"value", value}, {"error", error.message}});
    }
  }
  return json{{"problems", problems}};
}

// The page's names for the kinds of value.
const char* pageKind(gws::ValueKind kind) {
  switch (kind) {
    case gws::ValueKind::kColor:
      return "color";
    case gws::ValueKind::kVector:
      return "vector";
    case gws::ValueKind::kFloat:
      return "float";
    case gws::ValueKind::kInt:
      return "int";
    case gws::ValueKind::kBool:
      return "bool";
  }
  return "float";
}

// Each input's one-line description, by name, from the embedded copy of the
// material guide's input list ("name | sweep | options | sentence" lines,
// '#' comments).
std::map<std::string, std::string> inputDescriptions() {
  std::map<std::string, std::string> out;
  const Asset* a = findAsset("/input-descriptions.txt");
  if (!a) return out;
  std::istringstream in(std::string(reinterpret_cast<const char*>(a->data), a->size));
  const auto trim = [](std::string t) {
    const size_t b = t.find_first_not_of(" \t\r");
    const size_t e = t.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
  };
  std::string line;
  while (std::getline(in, line)) {
    if (trim(line).empty() || trim(line)[0] == '#') continue;
    std::vector<std::string> fields;
    std::istringstream cut(line);
    for (std::string f; std::getline(cut, f, '|');) fields.push_back(trim(f));
    if (fields.size() >= 4 && !fields[0].empty()) out[fields[0]] = fields[3];
  }
  return out;
}

// Every input of both hosts as the deliverables define them: kinds and
// defaults from the merged schema; slider ranges from the Maya plug-in's
// soft limits or the declaration's hints (the first host that gives them);
// hard limits from either.
json controlsJson(const Studio& studio) {
  json inputs = json::array();
  static const std::map<std::string, std::string> descriptions = inputDescriptions();
  if (studio.schema()) {
    const gws::MaterialSchema& schema = *studio.schema();
    for (size_t i = 0; i < schema.size(); ++i) {
      const gws::MaterialInput& in = schema[i];
      std::optional<double> softMin, softMax, min, max;
      for (gws::Host h : gws::kHosts) {
        const gws::InputSpec* spec = schema.spec(h, i);
        if (!spec) continue;
        if (!softMin) softMin = spec->softMin;
        if (!softMax) softMax = spec->softMax;
        if (spec->min) min = min ? std::max(*min, *spec->min) : *spec->min;
        if (spec->max) max = max ? std::min(*max, *spec->max) : *spec->max;
      }
      const double lo = softMin.value_or(min.value_or(0.0));
      const double hi = std::max(lo + 1.0, softMax.value_or(max.value_or(lo + 1.0)));
      json entry{{"name", in.name},
                 {"kind", pageKind(in.kind)},
                 {"maya", in.in(gws::Host::kMaya)},
                 {"mentalray", in.in(gws::Host::kMentalRay)},
                 {"default", gws::formatValue(in.kind, in.defaultValue)},
                 {"softMin", lo},
                 {"softMax", hi},
                 // A slider over several decades moves in ratios.
                 {"log", in.kind == gws::ValueKind::kFloat && lo >= 0.0 && hi >= 1000.0}};
      if (auto d = descriptions.find(in.name); d != descriptions.end()) {
        entry["description"] = d->second;
      }
      if (min) entry["min"] = *min;
      if (max) entry["max"] = *max;
      inputs.push_back(entry);
    }
  }
  json presets = json::array();
  for (const gwp::Preset& p : gwp::presets()) {
    json settings = json::object();
    for (const auto& [n, v] : p.settings) settings[n] = v;
    presets.push_back({{"name", p.name}, {"description", p.description}, {"settings", settings}});
  }
  return {{"inputs", inputs},
          {"presets", presets},
          {"defaultPreset", gwp::kDefaultPreset},
          {"scene", sceneName(studio.scene())},
          {"hosts",
           {{"maya", studio.hasHost(gwp::Host::kMaya)},
            {"mentalray", studio.hasHost(gwp::Host::kMentalRay)}}},
          {"sceneFiles", sceneIoAvailable()},
          {"exr", gwp::exrSupported()},
          {"limits",
           {{"minSize", Limits::kMinSize},
            {"maxWidth", Limits::kMaxWidth},
            {"maxHeight", Limits::kMaxHeight},
            {"maxTarget", Limits::kMaxTarget},
            {"minGain", Limits::kMinGain},
            {"maxGain", Limits::kMaxGain}}}};
}

// ---- the handlers, one per route ------------------------------------------------------

void serveInputs(const Studio& studio, const httplib::Request&, httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  res.set_content(controlsJson(studio).dump(), "application/json");
}

void serveCheck(const Studio& studio, const httplib::Request& req, httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  const json body = checkEach(req.params, studio);
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void serveFrame(Studio& studio, const httplib::Request& req, httplib::Response& res) {
  StudioParams p;
  if (!params(studio, req, res, p, true)) return;
  Frame frame;
  std::string error;
  const Outcome o = studio.frame(p, frame, error);
  if (o != Outcome::kOk) return sendOutcome(res, o, error);
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Frame-Width", std::to_string(frame.width));
  res.set_header("X-Frame-Height", std::to_string(frame.height));
  res.set_header("X-Frame-Passes", std::to_string(frame.passes));
  res.set_header("X-Frame-Samples", std::to_string(frame.samples));
  res.set_header("X-Frame-Target", std::to_string(frame.target));
  if (frame.hasDiff) {
    char figures[96];
    std::snprintf(figures, sizeof figures, "%.4g", frame.diffRmse);
    res.set_header("X-Diff-Rmse", figures);
    std::snprintf(figures, sizeof figures, "%.4g", frame.diffMax);
    res.set_header("X-Diff-Max", figures);
    std::snprintf(figures, sizeof figures, "%.4g", frame.diffNoise);
    res.set_header("X-Diff-Noise", figures);
  }
  res.set_content(reinterpret_cast<const char*>(frame.rgba.data()), frame.rgba.size(),
                  "application/octet-stream");
}

// Five significant digits are plenty for a plot, and keep the answer small:
// each value goes out as the shortest number that reads back.
json roundedList(const std::vector<float>& values) {
  json list = json::array();
  for (float v : values) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.5g", static_cast<double>(v));
    list.push_back(std::strtod(buf, nullptr));
  }
  return list;
}

void serveLobe(Studio& studio, const httplib::Request& req, httplib::Response& res) {
  StudioParams p;
  if (!params(studio, req, res, p, false)) return;
  Lobe lobe;
  std::string error;
  const Outcome o = studio.lobe(p, lobe, error);
  if (o != Outcome::kOk) return sendOutcome(res, o, error);
  json body{{"azimuthSteps", Lobe::kAzimuthSteps},
            {"elevationSteps", Lobe::kElevationSteps},
            {"planeSteps", Lobe::kPlaneSteps}};
  const char* names[2] = {"maya", "mentalray"};
  for (int h = 0; h < 2; ++h) {
    if (!lobe.has[h]) continue;
    body[names[h]] = {{"map", roundedList(lobe.map[h])}, {"plane", roundedList(lobe.plane[h])}};
  }
  res.set_header("Cache-Control", "no-store");
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

// Takes the query's "format" out of `q`: `fallback` when it is absent.
std::string takeFormat(Query& q, const std::string& fallback) {
  std::string format = fallback;
  if (auto it = q.find("format"); it != q.end()) {
    format = it->second;
    q.erase(it);
  }
  return format;
}

void serveImage(Studio& studio, const httplib::Request& req, httplib::Response& res) {
  Query q(req.params.begin(), req.params.end());
  const std::string format = takeFormat(q, "png");
  if (format != "png" && format != "exr") {
    return sendError(res, kStatusBadRequest, "format: use png or exr", "format");
  }
  if (format == "exr" && !gwp::exrSupported()) {
    return sendError(res, kStatusNotImplemented, "this build cannot write OpenEXR", "format");
  }
  StudioParams p;
  ParamError perr;
  if (!parseParams(q, studio.schema(), p, perr)) {
    return sendError(res, kStatusBadRequest, perr.message, perr.field);
  }
  if (p.client.empty()) return sendError(res, kStatusBadRequest, "client: missing", "client");
  gwp::Image image;
  std::string error;
  const Outcome o = studio.image(p, image, error);
  if (o == Outcome::kFailed) return sendError(res, kStatusSuperseded, error);
  if (o != Outcome::kOk) return sendOutcome(res, o, error);
  std::string bytes;
  if (!gwp::encodeImage(image, format == "png" ? gwp::ImageFormat::kPng : gwp::ImageFormat::kExr,
                        bytes, error)) {
    return sendError(res, kStatusFailed, error);
  }
  // Named after the material (a name parseParams lets through only as
  // letters, digits and '_') and the view.
  res.set_header("Content-Disposition", "attachment; filename=\"" + p.name + "-" +
                                            std::string(viewName(p.view)) + "." + format + "\"");
  res.set_content(bytes, format == "png" ? "image/png" : "image/x-exr");
}

void serveExport(const Studio& studio, const httplib::Request& req, httplib::Response& res) {
  Query q(req.params.begin(), req.params.end());
  const std::string format = takeFormat(q, "");
  if (format != "ma" && format != "mi") {
    return sendError(res, kStatusBadRequest, "format: use ma or mi", "format");
  }
  StudioParams p;
  ParamError perr;
  if (!parseParams(q, studio.schema(), p, perr)) {
    return sendError(res, kStatusBadRequest, perr.message, perr.field);
  }
  std::string text;
  std::string error;
  if (!sceneIoAvailable()) {
    return sendError(res, kStatusNotImplemented, "this build has no scene file writers");
  }
  std::vector<std::string> notWritten;
  if (!exportScene(format, p.material, p.name, text, error, &notWritten)) {
    return sendError(res, kStatusBadRequest, error, "name");
  }
  // The file carries them as comments; the header tells the page.
  std::string notes;
  for (const std::string& n : notWritten) notes += (notes.empty() ? "" : "; ") + n;
  if (!notes.empty()) res.set_header("X-Glintweave-Not-Written", notes);
  res.set_header("Content-Disposition", "attachment; filename=\"" + p.name + "." + format + "\"");
  res.set_content(text, "text/plain; charset=utf-8");
}

void serveImport(const Studio& studio, const httplib::Request& req, httplib::Response& res) {
  Query q(req.params.begin(), req.params.end());
  std::string fileName = "scene.ma";
  if (auto it = q.find("file"); it != q.end()) fileName = it->second;
  if (fileName.size() > 255 || fileName.find('/') != std::string::npos) {
    return sendError(res, kStatusBadRequest, "file: expected a file name", "file");
  }
  std::vector<ImportedMaterial> materials;
  std::string error;
  if (!sceneIoAvailable()) {
    return sendError(res, kStatusNotImplemented, "this build has no scene file readers");
  }
  if (!importScene(studio.schema(), fileName, req.body, materials, error)) {
    return sendError(res, kStatusBadRequest, error, "file");
  }
  json list = json::array();
  for (const ImportedMaterial& m : materials) {
    list.push_back({{"name", m.name},
                    {"host", m.host},
                    {"query", materialQuery(m.material)},
                    {"connected", m.connected}});
  }
  res.set_content(json{{"materials", list}}.dump(-1, ' ', false, json::error_handler_t::replace),
                  "application/json");
}

// Everything else is one of the embedded files or nothing: no request can
// reach the file system.
void serveAsset(const httplib::Request& req, httplib::Response& res) {
  const std::string path = req.path == "/" ? "/index.html" : req.path;
  const Asset* a = path.find("..") == std::string::npos ? findAsset(path) : nullptr;
  if (!a) return sendError(res, kStatusNotFound, "no such page: " + req.path.substr(0, 200));
  res.set_header("Cache-Control", "no-cache");
  res.set_content(reinterpret_cast<const char*>(a->data), a->size, a->type);
}

// Errors the library answers itself (no route, a too-large body) get the
// same JSON form; handlers' own error bodies are left alone.
void serveLibraryError(const httplib::Request& req, httplib::Response& res) {
  if (!res.body.empty()) return;
  sendError(res, res.status,
            res.status == kStatusNotFound
                ? "no such page: " + req.path.substr(0, 200)
                : "request refused (HTTP " + std::to_string(res.status) + ")");
}

}  // namespace

StudioServer::StudioServer(Studio& studio, const ServerOptions& options)
    : studio_(studio), options_(options), server_(std::make_unique<httplib::Server>()) {
  const size_t threads = static_cast<size_t>(std::max(2, options_.threads));
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server_->set_payload_max_length(options_.maxBody);
  // An idle page's connection holds a worker: let it go soon, and never let
  // a slow or vanished client hold one for long.
  server_->set_keep_alive_timeout(1);
  server_->set_read_timeout(5, 0);
  server_->set_write_timeout(5, 0);
  server_->set_socket_options(listenerOptions);
  routes();
}

StudioServer::~StudioServer() = default;

std::string StudioServer::url() const {
  const std::string host = options_.bind.find(':') != std::string::npos
                               ? "[" + options_.bind + "]"
                               : (options_.bind == "0.0.0.0" ? "127.0.0.1" : options_.bind);
  return "http://" + host + ":" + std::to_string(port_) + "/";
}

bool StudioServer::bind(std::string& error) {
  if (options_.port == 0) {
    port_ = server_->bind_to_any_port(options_.bind);
  } else {
    port_ = server_->bind_to_port(options_.bind, options_.port) ? options_.port : -1;
  }
  if (port_ < 0) {
    std::string why = bindProblem(options_.bind, options_.port);
    if (why.empty()) why = "the address could not be bound";
    error = "cannot listen on " + options_.bind + " port " + std::to_string(options_.port) + ": " +
            why;
    return false;
  }
  return true;
}

void StudioServer::run() {
  if (port_ < 0) return;
  inRun_ = true;
  if (!stopping_) server_->listen_after_bind();
  inRun_ = false;
}

void StudioServer::stop() {
  stopping_ = true;
  studio_.stop();
  // The HTTP server forgets a stop that comes before its accept loop has
  // started: a run() under way is let reach its loop first. (A run() not
  // yet under way sees stopping_ and does not start one.)
  while (inRun_ && !server_->is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  server_->stop();
}

void StudioServer::routes() {
  using httplib::Request;
  using httplib::Response;
  httplib::Server& s = *server_;
  Studio& studio = studio_;
  s.Get("/api/inputs", [&studio](const Request& q, Response& r) { serveInputs(studio, q, r); });
  s.Get("/api/check", [&studio](const Request& q, Response& r) { serveCheck(studio, q, r); });
  s.Get("/api/frame", [&studio](const Request& q, Response& r) { serveFrame(studio, q, r); });
  s.Get("/api/lobe", [&studio](const Request& q, Response& r) { serveLobe(studio, q, r); });
  s.Get("/api/image", [&studio](const Request& q, Response& r) { serveImage(studio, q, r); });
  s.Get("/api/export", [&studio](const Request& q, Response& r) { serveExport(studio, q, r); });
  s.Post("/api/import", [&studio](const Request& q, Response& r) { serveImport(studio, q, r); });
  s.Get(".*", serveAsset);
  s.set_error_handler(serveLibraryError);
}

}  // namespace gwstudio
