#include "descriptor_io.h"

#include <unistd.h>

#include <cerrno>

namespace gwf {
namespace {

// Repeats `call` (read or write) until `size` bytes have gone through it.
template <typename Byte, typename Call>
bool transferAll(int fd, Byte* p, size_t size, Call call) {
  while (size > 0) {
    const ssize_t n = call(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool writeAll(int fd, const void* data, size_t size) {
  return transferAll(fd, static_cast<const char*>(data), size, ::write);
}

bool readAll(int fd, void* data, size_t size) {
  return transferAll(fd, static_cast<char*>(data), size, ::read);
}

}  // namespace gwf
