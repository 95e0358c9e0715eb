#include "cli.h"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "mesh.h"
#include "schema.h"
#include "server.h"
#include "studio.h"

namespace gwstudio {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitError = 2;

// The first of the usual ways to open a URL that this machine has.
std::string findBrowserOpener() {
  const char* path = std::getenv("PATH");
  if (!path) return "";
  for (const char* name : {"xdg-open", "sensible-browser", "x-www-browser", "chromium"}) {
    std::string dirs = path;
    size_t start = 0;
    while (start <= dirs.size()) {
      const size_t colon = dirs.find(':', start);
      const std::string dir =
          dirs.substr(start, colon == std::string::npos ? colon : colon - start);
      const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  return "";
}

void openBrowser(const std::string& url, std::FILE* err) {
  const std::string opener = findBrowserOpener();
  if (opener.empty()) {
    std::fprintf(err, "glintweave-studio: no browser found to open; visit %s\n", url.c_str());
    return;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The browser must not inherit the blocked signals.
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    ::execl(opener.c_str(), opener.c_str(), url.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid < 0) std::fprintf(err, "glintweave-studio: cannot start %s\n", opener.c_str());
  // The opener is left to finish on its own; SIGCHLD is ignored below, so
  // it leaves no zombie behind.
}

// What the command line asks for.
struct StudioCommand {
  int port = 8420;
  std::string bind = "127.0.0.1";
  bool open = false;
  bool allowUploads = false;
  StudioOptions studio;
};

constexpr int kGoOn = -1;

// Parses the arguments into `command`. Returns kGoOn, or the exit status
// once the help or an error line has been printed.
int parseCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
                 StudioCommand& command) {
  CLI::App app{
      "glintweave-studio: tune the glintWeave material live in a browser.\n"
      "\n"
      "Serves a page where every input of the material is a control and every image is\n"
      "shaded by the real deliverables, the Maya plug-in (glintWeave.so) in the stand-in\n"
      "Maya host and the mental ray shader (kl4v_glintWeave.so) in the stand-in renderer,\n"
      "exactly as glintweave-preview renders. The first line of standard output is the\n"
      "address to open. SIGINT (Ctrl+C) or SIGTERM stops it.",
      "glintweave-studio"};
  std::string sceneText = "studio";
  int slots = 2;
  app.add_option("--port", command.port, "port to listen on; 0 picks a free one (default 8420)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--bind", command.bind,
                 "address to listen on (default 127.0.0.1, this machine only); another\n"
                 "address shares the studio with whoever can reach it");
  app.add_flag("--open", command.open, "open the page in a browser, if this machine has one");
  app.add_option("--scene", sceneText,
                 "the scene: studio (three spheres, area key light; default),\n"
                 "point-lights (the same with a point key light) or agreement (one\n"
                 "sphere and point lights, where the two hosts agree)");
  app.add_option("--renders", slots, "renders that may run at once (default 2)")
      ->check(CLI::Range(1, 16));
  app.add_option("--ocio", command.studio.ocioConfig,
                 "an OpenColorIO config whose views the page offers beside the sRGB curve\n"
                 "(default: the config the OCIO environment variable names, if any)");
  app.add_flag("--allow-uploads", command.allowUploads,
               "accept uploaded models and environment images also when --bind is an\n"
               "address beyond this machine.\nUploads are up to 16 MiB each (models: " +
                   gwst::meshFormats() +
                   ";\nmaps: .exr, .hdr, up to 4096x2048), kept in memory only, never written,\n"
                   "and read by the same readers as files (models in a child process with a\n"
                   "deadline); still, those readers would then see files from whoever can\n"
                   "reach the address, so a studio bound beyond loopback refuses uploads\n"
                   "unless given this flag");
  app.set_version_flag("--version", std::string("glintweave-studio ") + gws::toolsVersion(),
                       "print the tool's name and version, then exit");
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), out);
    return kExitOk;
  } catch (const CLI::CallForVersion& e) {
    std::fprintf(out, "%s\n", e.what());
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    std::fprintf(err, "glintweave-studio: error: %s (see --help)\n", e.what());
    return kExitError;
  }
  if (!parseSceneKind(sceneText, command.studio.scene)) {
    const std::string near = gws::nearestName(sceneText, {"studio", "point-lights", "agreement"});
    std::fprintf(err,
                 "glintweave-studio: error: --scene: unknown scene '%s' (%suse studio, "
                 "point-lights or agreement)\n",
                 sceneText.c_str(), near.empty() ? "" : ("did you mean " + near + "? ").c_str());
    return kExitError;
  }
  command.studio.renderSlots = slots;
  if (command.studio.ocioConfig.empty()) {
    // As every OpenColorIO application does.
    const char* fromEnvironment = std::getenv("OCIO");
    if (fromEnvironment && *fromEnvironment) {
      command.studio.ocioConfig = fromEnvironment;
      command.studio.ocioFromEnvironment = true;
    }
  }
  return kGoOn;
}

// Serves until one of `stopSignals` arrives (they are blocked in every
// thread; a thread of its own waits for them) or the server ends.
void serveUntilSignalled(StudioServer& server, const sigset_t& stopSignals) {
  std::atomic<bool> signalled{false};
  std::thread waiter([&] {
    int received = 0;
    sigwait(&stopSignals, &received);
    signalled = true;
    server.stop();  // also when the server has not yet begun to serve
  });
  server.run();
  // The server ended on its own: wake the waiter with the signal it waits
  // for. (The mask stays as it is: a second Ctrl+C while stopping is
  // consumed by nobody and cannot kill the process half-way.)
  if (!signalled) pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
}

}  // namespace

int runStudio(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  StudioCommand command;
  if (const int status = parseCommand(args, out, err, command); status != kGoOn) return status;

  // Every thread started from here on has SIGINT and SIGTERM blocked; one
  // thread waits for them and stops the server.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
  std::signal(SIGCHLD, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);

  std::string error;
  std::unique_ptr<Studio> studio = Studio::create(command.studio, error);
  if (!studio) {
    std::fprintf(err, "glintweave-studio: error: %s\n", error.c_str());
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return kExitError;
  }
  for (gwp::Host h : {gwp::Host::kMaya, gwp::Host::kMentalRay}) {
    if (!studio->hasHost(h)) {
      std::fprintf(err, "glintweave-studio: warning: no %s host in this build\n", gwp::hostName(h));
    }
  }
  ServerOptions serverOptions;
  serverOptions.bind = command.bind;
  serverOptions.port = command.port;
  serverOptions.allowUploads = command.allowUploads;
  StudioServer server(*studio, serverOptions);
  if (!server.bind(error)) {
    std::fprintf(err, "glintweave-studio: error: %s\n", error.c_str());
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return kExitError;
  }
  std::fprintf(out, "glintweave-studio: %s\n", server.url().c_str());
  std::fflush(out);
  if (!isLoopback(command.bind)) {
    std::fprintf(err,
                 "glintweave-studio: warning: listening on %s: anyone who can reach this "
                 "machine can use the studio%s\n",
                 command.bind.c_str(),
                 command.allowUploads ? ", and upload files to it"
                                      : "; uploads refused (start with --allow-uploads to take them)");
  }
  if (command.open) openBrowser(server.url(), err);
  serveUntilSignalled(server, stopSignals);
  std::fprintf(err, "glintweave-studio: stopped\n");
  return kExitOk;
}

}  // namespace gwstudio
