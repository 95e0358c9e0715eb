#include "path.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace gwf {

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string stemOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool regularFileSize(const std::string& path, const char* kind, const char* missing,
                     uint64_t& size, std::string& error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    error = path + ": " + missing + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    error = path + ": is a folder, not " + kind;
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = path + ": is not a regular file";
    return false;
  }
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

std::string systemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace gwf
