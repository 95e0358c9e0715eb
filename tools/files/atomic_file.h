// A file that appears whole or not at all: open() makes a hidden temporary
// file beside the destination (same folder, so the final rename is atomic,
// and an unwritable place fails before any work is done); the caller writes
// it through fd() or tempPath(); commit() renames it into place. Destroyed
// uncommitted, it leaves nothing behind. Scenes, images and anything else the
// tools write go through it.
#pragma once

#include <string>

#include "path.h"

namespace gwf {

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

// A text file written whole or not at all: open() fails on an unwritable
// place before any work is done, commit() writes the text and renames the
// file into place.
class TextFile {
 public:
  // False with a one-line `error`.
  bool open(const std::string& path, std::string& error) { return file_.open(path, error); }
  bool commit(const std::string& text, std::string& error) {
    return file_.write(text, error) && file_.commit(error);
  }

 private:
  AtomicFile file_;
};

}  // namespace gwf
