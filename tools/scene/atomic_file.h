// A file that appears whole or not at all: open() makes a hidden temporary
// file beside the destination (same folder, so the final rename is atomic,
// and an unwritable place fails before any work is done); the caller writes
// it through fd() or tempPath(); commit() renames it into place. Destroyed
// uncommitted, it leaves nothing behind. Scenes, images and anything else the
// tools write go through it.
#pragma once

#include <string>

namespace gws {

class AtomicFile {
 public:
  AtomicFile() = default;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  // False with a one-line `error`: an empty path, a path naming a
  // directory, or a folder the temporary file cannot be made in.
  bool open(const std::string& path, std::string& error);

  bool isOpen() const { return !temp_.empty(); }
  const std::string& path() const { return path_; }
  const std::string& tempPath() const { return temp_; }
  // The temporary file's descriptor, -1 once released or closed.
  int fd() const { return fd_; }
  // Hands the descriptor to the caller (for fdopen, say), who then closes it.
  int release();
  // Writes all of `data` through the descriptor.
  bool write(const std::string& data, std::string& error);
  // Closes the descriptor (if still held) and renames the file into place.
  bool commit(std::string& error);

 private:
  std::string path_;
  std::string temp_;
  int fd_ = -1;
};

// The folder a path lies in: "." for a bare name, "/" for a top-level one.
std::string directoryOf(const std::string& path);

// "WHAT PATH: <the system's reason>", from errno.
std::string systemError(const std::string& what, const std::string& path);

}  // namespace gws
