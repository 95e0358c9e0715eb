// The studio's HTTP side: the embedded page and the JSON / binary API over
// a Studio, served with cpp-httplib.
//
//   GET /                 the page (and its CSS and JavaScript modules)
//   GET /api/inputs       the controls: every input of both hosts, presets, limits
//   GET /api/check        every parameter checked on its own: {"problems":
//                         [{"field", "value", "error"}, ...]}, empty when all are valid
//   GET /api/frame        the client's next pass: raw 8-bit RGBA, sizes and
//                         counters in X-Frame-* headers
//   GET /api/lobe         the measured lobe of both hosts, JSON
//   GET /api/image        the client's current image as PNG or OpenEXR
//   GET /api/export       the material as a Maya ASCII or mental ray scene file
//   POST /api/import      a .ma or .mi file's glintWeave materials, JSON
//   POST /api/upload      a model or environment image (?kind=model|environment
//                         &file=NAME), kept in memory: {"id", ...}, JSON. Refused
//                         (403) on an address beyond loopback without allowUploads
//
// Bad parameters get 400 with {"error": ..., "field": ...}; unknown paths
// 404; a superseded request 409; a full studio 503 with Retry-After.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "studio.h"

namespace httplib {
class Server;
}

namespace gwstudio {

struct ServerOptions {
  std::string bind = "127.0.0.1";
  int port = 0;  // 0: any free port
  int threads = 16;  // connections served at once
  size_t maxBody = 16u << 20;  // bytes of an uploaded scene file, model or image
  // Uploads from a studio bound beyond loopback: refused unless this is set
  // (their readers would see files from whoever can reach the address).
  bool allowUploads = false;
  // How long an idle connection is kept, and how long a new one has to send
  // its first request. Short, so that an open page neither holds workers
  // nor delays a stop; a host that runs many times slower (valgrind) needs
  // a longer one.
  int keepAliveSeconds = 1;
};

// Whether `address` is this machine's loopback alone.
bool isLoopback(const std::string& address);

class StudioServer {
 public:
  StudioServer(Studio& studio, const ServerOptions& options);
  ~StudioServer();

  // Binds the listening socket, alone: a port another program listens on
  // is refused ("address already in use"), one left in TIME_WAIT is taken.
  // False with a one-line `error` that says why.
  bool bind(std::string& error);
  int port() const { return port_; }
  std::string url() const;
  // Serves until stop(); returns at once when bind() failed or stop() came
  // first.
  void run();
  // Stops serving and every render; callable from any thread, before run()
  // as well as during it.
  void stop();

 private:
  void routes();
  // Why uploads are refused here; empty when they are taken.
  std::string uploadRefusal() const;
  Studio& studio_;
  ServerOptions options_;
  std::unique_ptr<httplib::Server> server_;
  int port_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> inRun_{false};
  std::atomic<int> uploadsReading_{0};
};

}  // namespace gwstudio
