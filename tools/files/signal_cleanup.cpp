#include "signal_cleanup.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <initializer_list>

namespace gwf {
namespace {

constexpr int kPlaces = 64;  // more outputs than any tool keeps open at once

enum State : int { kFree, kFilling, kListed };

struct Place {
  std::atomic<int> state{kFree};
  char path[PATH_MAX];
};
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

Place places[kPlaces];
std::atomic<int> child{0};  // the process to pass a signal on to

extern "C" void removeAndStop(int signal) {
  const int pid = child.load(std::memory_order_acquire);
  if (pid > 0) ::kill(pid, signal);
  for (Place& p : places) {
    if (p.state.load(std::memory_order_acquire) == kListed) ::unlink(p.path);
  }
  // The default action, delivered as soon as this handler returns.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(signal, &dfl, nullptr);
  ::raise(signal);
}

}  // namespace

void removeTemporariesOnSignal() {
  static std::atomic<bool> installed{false};
  if (installed.exchange(true)) return;
  struct sigaction action {};
  action.sa_handler = removeAndStop;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, s);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal the process was started with ignored (nohup, a background
    // job's SIGINT) stays ignored.
    struct sigaction previous {};
    ::sigaction(s, nullptr, &previous);
    if (previous.sa_handler != SIG_IGN) ::sigaction(s, &action, nullptr);
  }
}

int listTemporary(const char* path) {
  const size_t length = std::strlen(path);
  if (length >= sizeof places[0].path) return -1;
  for (int i = 0; i < kPlaces; ++i) {
    int expected = kFree;
    if (places[i].state.compare_exchange_strong(expected, kFilling, std::memory_order_acquire)) {
      std::memcpy(places[i].path, path, length + 1);
      places[i].state.store(kListed, std::memory_order_release);
      return i;
    }
  }
  return -1;
}

void forwardSignalsTo(int pid) { child.store(pid, std::memory_order_release); }

void unlistTemporary(int place) {
  if (place >= 0 && place < kPlaces) places[place].state.store(kFree, std::memory_order_release);
}

}  // namespace gwf
