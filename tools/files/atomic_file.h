// Writing a file whole or not at all, whatever its path names. open() finds
// where the bytes go and prepares it before any work is done (an unwritable
// place fails at once); the caller writes through fd(), write() or
// tempPath(); commit() finishes. Destroyed uncommitted, it leaves nothing
// behind. Scenes, images and anything else the tools write go through it.
//
// - A new or an existing regular file: a hidden temporary file beside it
//   (same folder, so the final rename is atomic), renamed over it by
//   commit(). An existing file keeps its permission bits and, where the
//   process may set them, its owner and group; a new one gets 0666 less the
//   umask.
// - A symbolic link (a chain of them, relative or dangling): followed, and
//   its final target written as above; the links themselves stay.
// - A device, a FIFO or a socket: opened and written through directly, with
//   no temporary file and no rename (the kernel's object is not replaced by
//   a file); a failed write, sync or close is an error.
// - A folder: an error.
//
// Until commit() the temporary file is on the list that a stop by signal
// removes (signal_cleanup.h).
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

  // False with a one-line `error`: an empty path, a folder, a chain of
  // links that does not end, a folder the temporary file cannot be made in,
  // or a device or FIFO that cannot be opened for writing.
  bool open(const std::string& path, std::string& error);

  bool isOpen() const { return fd_ >= 0 || !temp_.empty(); }
  // The path as given, and where the bytes end up (the links' target).
  const std::string& path() const { return path_; }
  const std::string& target() const { return target_; }
  // True when the target is written through directly (a device, FIFO or
  // socket): there is no temporary file, and tempPath() is empty.
  bool direct() const { return direct_; }
  const std::string& tempPath() const { return temp_; }
  // The descriptor the bytes go to, -1 once released or closed.
  int fd() const { return fd_; }
  // Hands the descriptor to the caller (for fdopen, say), who then closes it.
  int release();
  // Writes all of `data` through the descriptor.
  bool write(const std::string& data, std::string& error);
  // Flushes the written bytes to the target, closes the descriptor (if still
  // held) and, for a temporary file, renames it into place.
  bool commit(std::string& error);

 private:
  std::string path_;
  std::string target_;
  std::string temp_;
  int fd_ = -1;
  int listed_ = -1;  // the temporary file's place on the signal cleanup list
  bool direct_ = false;
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
