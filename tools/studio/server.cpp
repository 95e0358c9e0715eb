#include "server.h"

#include <httplib.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <nlohmann/json.hpp>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "assets.h"
#include "environment_setup.h"
#include "mesh.h"
#include "image_io.h"
#include "inputs.h"
#include "sceneio.h"

namespace gwstudio {
namespace {

using nlohmann::json;

// The HTTP statuses the studio answers with.
enum Status : int {
  kStatusBadRequest = 400,      // a parameter refused: {"error", "field"}
  kStatusForbidden = 403,       // uploads, on an address beyond loopback
  kStatusNotFound = 404,        // no such route or page
  kStatusSuperseded = 409,      // a newer request of the page took over
  kStatusTooLarge = 413,        // a body past the bound
  kStatusFailed = 500,          // a host failed
  kStatusNotImplemented = 501,  // this build lacks it
  kStatusBusy = 503,            // with Retry-After
};

// Uploads read at once: each model's read is a child process of its own.
constexpr int kMaxUploadsAtOnce = 2;

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
// With `whole`, the stage and the look are checked against what the studio
// holds (an export needs the material alone).
bool params(const Studio& studio, const Query& query, httplib::Response& res, StudioParams& out,
            bool needsClient, bool whole = true) {
  ParamError error;
  if (!parseParams(query, studio.schema(), out, error) ||
      (whole && !studio.checkRequest(out, error))) {
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
    // An upload's id or a view is checked against what this studio holds.
    if (!parseParams(Query{{key, value}}, studio.schema(), p, error) ||
        (!studio.checkRequest(p, error) && error.field == key)) {
      problems.push_back({{"field", key}, {"value", value}, {"error", error.message}});
    }
  }
  return json{{"problems", problems}};
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
  if (!params(studio, req.params, res, p, true)) return;
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
  if (!params(studio, req.params, res, p, false)) return;
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

// The request's "format", one of `formats` (`fallback` when absent), and
// its other parameters: an image's with its client, its stage and look
// checked; on failure answers 400 and returns false.
bool formatAndParams(const Studio& studio, const httplib::Request& req, httplib::Response& res,
                     const std::array<std::string, 2>& formats, const std::string& fallback,
                     std::string& format, StudioParams& out, bool image) {
  Query q(req.params.begin(), req.params.end());
  format = takeFormat(q, fallback);
  if (format != formats[0] && format != formats[1]) {
    sendError(res, kStatusBadRequest, "format: use " + formats[0] + " or " + formats[1], "format");
    return false;
  }
  return params(studio, q, res, out, image, image);
}

void serveImage(Studio& studio, const httplib::Request& req, httplib::Response& res) {
  std::string format;
  StudioParams p;
  if (!formatAndParams(studio, req, res, {"png", "exr"}, "png", format, p, true)) return;
  if (format == "exr" && !gwp::exrSupported()) {
    return sendError(res, kStatusNotImplemented, "this build cannot write OpenEXR", "format");
  }
  gwp::Image image;
  std::string error;
  const Outcome o = studio.image(p, image, error);
  if (o == Outcome::kFailed) return sendError(res, kStatusSuperseded, error);
  if (o != Outcome::kOk) return sendOutcome(res, o, error);
  std::string bytes;
  // A PNG shows what the page shows: exposed and through the view (the
  // difference as it is); an OpenEXR file keeps the linear values.
  if (format == "png" && p.view != View::kDiff) {
    const float scale = gwp::exposureScale(p.look.exposure);
    for (gwp::Rgb& c : image.pixels) c = c * scale;
  }
  if (!gwp::encodeImage(image, format == "png" ? gwp::ImageFormat::kPng : gwp::ImageFormat::kExr,
                        *studio.transform(p.view == View::kDiff ? "" : p.look.transform), bytes,
                        error)) {
    return sendError(res, kStatusFailed, error);
  }
  // Named after the material (a name parseParams lets through only as
  // letters, digits and '_') and the view.
  res.set_header("Content-Disposition", "attachment; filename=\"" + p.name + "-" +
                                            std::string(viewName(p.view)) + "." + format + "\"");
  res.set_content(bytes, format == "png" ? "image/png" : "image/x-exr");
}

void serveExport(const Studio& studio, const httplib::Request& req, httplib::Response& res) {
  std::string format;
  StudioParams p;
  if (!formatAndParams(studio, req, res, {"ma", "mi"}, "", format, p, false)) return;
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

// A model or an environment image, read in memory and kept there under a
// new id (see Uploads). `refusal` is why uploads are refused here, if
// they are.
void serveUpload(Studio& studio, const std::string& refusal, std::atomic<int>& reading,
                 const httplib::Request& req, httplib::Response& res) {
  if (!refusal.empty()) return sendError(res, kStatusForbidden, refusal, "file");
  // The address's query alone: the library would also read a body sent as
  // a form into the parameters, and an upload's body is the file.
  Query query;
  if (const size_t mark = req.target.find('?'); mark != std::string::npos) {
    httplib::detail::parse_query_text(req.target.substr(mark + 1), query);
  }
  UploadRequest request;
  ParamError perr;
  if (!parseUploadRequest(query, request, perr)) {
    return sendError(res, kStatusBadRequest, perr.message, perr.field);
  }
  if (reading.fetch_add(1) >= kMaxUploadsAtOnce) {
    --reading;
    return sendError(res, kStatusBusy, "other uploads are being read; try again shortly");
  }
  Upload upload;
  std::string error;
  const bool ok = studio.uploads().add(request, req.body, upload, error);
  --reading;
  if (!ok) return sendError(res, kStatusBadRequest, error, "file");
  json body{{"id", upload.id}, {"file", upload.file}};
  if (upload.mesh) {
    body["kind"] = "model";
    body["triangles"] = upload.mesh->triangleCount();
  } else {
    body["kind"] = "environment";
    body["width"] = upload.image->width;
    body["height"] = upload.image->height;
  }
  res.set_header("Cache-Control", "no-store");
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
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
void serveLibraryError(size_t maxBody, const httplib::Request& req, httplib::Response& res) {
  if (!res.body.empty()) return;
  std::string message = "request refused (HTTP " + std::to_string(res.status) + ")";
  if (res.status == kStatusNotFound) message = "no such page: " + req.path.substr(0, 200);
  if (res.status == kStatusTooLarge) {
    message = "the file is larger than the studio's bound of " + std::to_string(maxBody >> 20) +
              " MiB";
  }
  sendError(res, res.status, message, res.status == kStatusTooLarge ? "file" : "");
}

}  // namespace

StudioServer::StudioServer(Studio& studio, const ServerOptions& options)
    : studio_(studio), options_(options), server_(std::make_unique<httplib::Server>()) {
  const size_t threads = static_cast<size_t>(std::max(2, options_.threads));
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server_->set_payload_max_length(options_.maxBody);
  // An idle page's connection holds a worker, and holds up a stop, this long
  // at most. The same wait is how long a new connection has to send its
  // first request.
  server_->set_keep_alive_timeout(std::max<time_t>(1, options_.keepAliveSeconds));
  server_->set_read_timeout(5, 0);
  server_->set_write_timeout(5, 0);
  server_->set_socket_options(listenerOptions);
  routes();
}

StudioServer::~StudioServer() = default;

bool isLoopback(const std::string& address) {
  return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}

std::string StudioServer::uploadRefusal() const {
  if (options_.allowUploads || isLoopback(options_.bind)) return "";
  return "uploads are refused: this studio listens on " + options_.bind +
         ", beyond this machine, and the model and image readers would see files from anyone "
         "who can reach it; start it with --allow-uploads to accept them";
}

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
  s.Post("/api/upload", [this](const Request& q, Response& r) {
    serveUpload(studio_, uploadRefusal(), uploadsReading_, q, r);
  });
  s.Get(".*", serveAsset);
  const size_t maxBody = options_.maxBody;
  s.set_error_handler(
      [maxBody](const Request& q, Response& r) { serveLibraryError(maxBody, q, r); });
}

}  // namespace gwstudio
