#include "turntable_run.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>

#include "cli.h"
#include "descriptor_io.h"
#include "orbit.h"
#include "plan.h"
#include "signal_cleanup.h"

namespace gwp {
namespace {

constexpr int kSheetFrameWidth = 240;  // at most, a frame's width on the sheet

// What sendFrame sent, at most `maxPixels`: the frame's size is known, so
// nothing else is taken.
bool receiveImage(int fd, size_t maxPixels, Image& image) {
  int size[2] = {0, 0};
  if (!gwf::readAll(fd, size, sizeof size) || size[0] <= 0 || size[1] <= 0 ||
      static_cast<size_t>(size[0]) * static_cast<size_t>(size[1]) > maxPixels) {
    return false;
  }
  image = Image(size[0], size[1]);
  return gwf::readAll(fd, image.pixels.data(), image.pixels.size() * sizeof(Rgb));
}

// The frame shrunk by `factor` in each direction, each pixel the mean of the
// factor x factor block it covers.
Image shrink(const Image& frame, int factor) {
  Image small(frame.width / factor, frame.height / factor);
  const float inv = 1.0f / static_cast<float>(factor * factor);
  for (int y = 0; y < small.height; ++y) {
    for (int x = 0; x < small.width; ++x) {
      Rgb sum;
      for (int j = 0; j < factor; ++j) {
        for (int i = 0; i < factor; ++i) sum += frame.at(x * factor + i, y * factor + j);
      }
      small.at(x, y) = sum * inv;
    }
  }
  return small;
}

std::string cannotStart(int k) {
  return "cannot start frame " + std::to_string(k) + ": " + std::strerror(errno);
}

}  // namespace

void TurntableSheet::place(int index, const Image& frame) {
  const Image small = shrink(frame, factor);
  const SheetCell& cell = layout.cells[static_cast<size_t>(index)];
  for (int y = 0; y < std::min(small.height, cellHeight); ++y) {
    for (int x = 0; x < std::min(small.width, cellWidth); ++x) {
      image.at(cell.x + x, cell.y + y) = small.at(x, y);
    }
  }
}

bool layOutTurntableSheet(const Options& options, int frameWidth, int frameHeight,
                          TurntableSheet& sheet, std::string& error) {
  const int w = frameWidth, h = frameHeight;
  sheet.framePixels = static_cast<size_t>(w) * static_cast<size_t>(h);
  sheet.factor = std::max(1, (w + kSheetFrameWidth - 1) / kSheetFrameWidth);
  sheet.cellWidth = std::max(1, w / sheet.factor);
  sheet.cellHeight = std::max(1, h / sheet.factor);
  const int n = options.turntableFrames;
  std::vector<std::vector<std::string>> labels;
  for (int k = 1; k <= n; ++k) {
    double az = std::fmod(turntableOrbit(options.orbit, k, n).azimuth, 360.0);
    if (az < 0.0) az += 360.0;
    char degrees[32];
    std::snprintf(degrees, sizeof degrees, "azimuth %.4g\xC2\xB0", az);
    labels.push_back({"frame " + std::to_string(k), degrees});
  }
  const int columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(n))));
  if (!swatchSheet("turntable " + baseName(options.output) + ", " + std::to_string(n) + " frames",
                   labels, columns, sheet.cellWidth, sheet.cellHeight, sheet.layout, error)) {
    return false;
  }
  if (sheet.layout.width > 2 * kMaxSize || sheet.layout.height > kMaxSize) {
    error = "--turntable-sheet: a sheet of " + std::to_string(n) +
            " frames would be larger than " + std::to_string(2 * kMaxSize) + "x" +
            std::to_string(kMaxSize) + "; use fewer frames or a smaller --size";
    return false;
  }
  sheet.image = Image(sheet.layout.width, sheet.layout.height);
  for (Rgb& p : sheet.image.pixels) p = {kSheetBackground, kSheetBackground, kSheetBackground};
  return true;
}

int renderFrames(int frames, TurntableSheet* sheet, const FrameRenderer& render, std::FILE* out,
                 std::FILE* err, std::string& error) {
  [[maybe_unused]] const pid_t parent = ::getpid();
  for (int k = 1; k <= frames; ++k) {
    int fds[2] = {-1, -1};
    if (sheet && ::pipe(fds) != 0) {
      error = cannotStart(k);
      return kExitError;
    }
    std::fflush(out);
    std::fflush(err);
    const pid_t pid = ::fork();
    if (pid < 0) {
      error = cannotStart(k);
      return kExitError;
    }
    if (pid == 0) {
#ifdef __linux__
      // A tool killed outright (no handler runs) takes its frame with it.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(kExitError);
#endif
      if (sheet) ::close(fds[0]);
      const int code = render(k, fds[1]);
      std::fflush(out);
      std::fflush(err);
      ::_exit(code);
    }
    gwf::forwardSignalsTo(pid);
    Image frame;
    bool received = true;
    if (sheet) {
      ::close(fds[1]);
      received = receiveImage(fds[0], sheet->framePixels, frame);
      ::close(fds[0]);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    gwf::forwardSignalsTo(0);
    if (WIFSIGNALED(status)) {
      error = "frame " + std::to_string(k) + " was stopped by signal " +
              std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
      return kExitError;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != kExitOk) return kExitError;  // said why
    if (!received) {
      error = "frame " + std::to_string(k) + "'s image did not come back";
      return kExitError;
    }
    if (sheet) sheet->place(k - 1, frame);
  }
  return kExitOk;
}

bool sendFrame(int fd, const Image& image) {
  const int size[2] = {image.width, image.height};
  return gwf::writeAll(fd, size, sizeof size) &&
         gwf::writeAll(fd, image.pixels.data(), image.pixels.size() * sizeof(Rgb));
}

}  // namespace gwp
