#include "atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace gwf {

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

bool AtomicFile::open(const std::string& path, std::string& error) {
  if (path.empty()) {
    error = "the path is empty";
    return false;
  }
  struct stat existing;
  if (path.back() == '/' || (::stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode))) {
    error = "cannot write " + path + ": it names a directory";
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string pattern = directoryOf(path) + "/." + name + ".XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  fd_ = ::mkstemp(buf.data());
  if (fd_ < 0) {
    error = systemError("cannot write to", directoryOf(path));
    return false;
  }
  // mkstemp makes the file private; what the tools write is as readable as
  // any new file.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd_, static_cast<mode_t>(0666) & ~mask);
  path_ = path;
  temp_ = buf.data();
  return true;
}

int AtomicFile::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

bool AtomicFile::write(const std::string& data, std::string& error) {
  if (fd_ < 0) {
    error = "no file is open";
    return false;
  }
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = systemError("cannot write", path_);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool AtomicFile::commit(std::string& error) {
  if (temp_.empty()) {
    error = "no file is open";
    return false;
  }
  if (fd_ >= 0) {
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) {
      error = systemError("cannot write", path_);
      return false;
    }
  }
  if (::rename(temp_.c_str(), path_.c_str()) != 0) {
    error = systemError("cannot write", path_);
    return false;
  }
  temp_.clear();
  return true;
}

}  // namespace gwf
