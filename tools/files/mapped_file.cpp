#include "mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gwf {

MappedFile::~MappedFile() {
  if (data_ && size_ > 0) ::munmap(const_cast<char*>(data_), size_);
}

bool MappedFile::open(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    error = std::strerror(errno);
    ::close(fd);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    error = "it is a directory";
    ::close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "it is not a regular file";
    ::close(fd);
    return false;
  }
  size_ = static_cast<size_t>(st.st_size);
  if (size_ == 0) {
    ::close(fd);
    data_ = "";
    return true;
  }
  void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
  const int mapErrno = errno;
  ::close(fd);
  if (p == MAP_FAILED) {
    error = std::strerror(mapErrno);
    size_ = 0;
    return false;
  }
  data_ = static_cast<const char*>(p);
  ::madvise(p, size_, MADV_SEQUENTIAL);
  return true;
}

void MappedFile::release(size_t offset) {
  if (!data_ || size_ == 0) return;
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t end = offset / page * page;
  if (end <= released_) return;
  ::madvise(const_cast<char*>(data_) + released_, end - released_, MADV_DONTNEED);
  released_ = end;
}

}  // namespace gwf
