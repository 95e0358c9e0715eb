#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "signal_cleanup.h"

namespace gwf {
namespace {

// Six characters drawn from letters and digits, as mkstemp draws them.
std::string randomSuffix() {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::atomic<uint64_t> counter{0};
  static const uint64_t seed = [] {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device() ^
           static_cast<uint64_t>(::getpid());
  }();
  // A splitmix64 step: consecutive counters give unrelated names.
  uint64_t z = seed + 0x9e3779b97f4a7c15ULL * (counter.fetch_add(1) + 1);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  std::string suffix(6, 'X');
  for (char& c : suffix) {
    c = kChars[z % (sizeof kChars - 1)];
    z /= sizeof kChars - 1;
  }
  return suffix;
}

// As the kernel allows when it follows links itself (Linux's MAXSYMLINKS).
constexpr int kMaxLinks = 40;

// The path a write to `path` lands on: `path` itself, or the last link of
// the chain of symbolic links it starts, followed to whatever it names (which
// may not exist yet: a dangling link's target is created). A relative target
// is taken from the folder of the link that holds it. False after `kMaxLinks`
// links (a loop).
bool followLinks(const std::string& path, std::string& target) {
  std::string current = path;
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      target = current;
      return true;
    }
    std::vector<char> buf(PATH_MAX + 1);
    const ssize_t n = ::readlink(current.c_str(), buf.data(), buf.size() - 1);
    if (n < 0) {
      target = current;  // vanished meanwhile: open() reports what is there
      return true;
    }
    const std::string link(buf.data(), static_cast<size_t>(n));
    current = link.front() == '/' ? link : directoryOf(current) + "/" + link;
  }
  errno = ELOOP;
  return false;
}

// fsync, where the object can be synced: a pipe, a socket or a character
// device has nothing to flush and says so with EINVAL (or ENOTSUP).
bool syncWritten(int fd) {
  if (::fsync(fd) == 0) return true;
  return errno == EINVAL || errno == ENOTSUP || errno == EROFS;
}

}  // namespace

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
    unlistTemporary(listed_);
  }
}

bool AtomicFile::open(const std::string& path, std::string& error) {
  if (path.empty()) {
    error = "the path is empty";
    return false;
  }
  if (isOpen()) {
    error = "a file is already open";
    return false;
  }
  std::string target;
  if (!followLinks(path, target)) {
    error = systemError("cannot write", path);
    return false;
  }
  struct stat existing;
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (path.back() == '/' || (exists && S_ISDIR(existing.st_mode))) {
    error = "cannot write " + path + ": it names a directory";
    return false;
  }
  if (exists && !S_ISREG(existing.st_mode)) {
    // A device, FIFO or socket: the object stays, the bytes go into it.
    fd_ = ::open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
      error = systemError("cannot write", path);
      return false;
    }
    path_ = path;
    target_ = target;
    direct_ = true;
    return true;
  }
  const size_t slash = target.rfind('/');
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  const std::string prefix = directoryOf(target) + "/." + name + ".";
  // The temporary name is listed for removal on a signal before the file is
  // made, not after: a signal between the two would otherwise leave the file
  // behind. A listed name whose file cannot be made is taken off the list
  // again; the random part keeps it from ever naming another's file.
  int lastErrno = EEXIST;
  for (int attempt = 0; attempt < 100 && fd_ < 0 && lastErrno == EEXIST; ++attempt) {
    std::string candidate = prefix + randomSuffix();
    const int place = listTemporary(candidate.c_str());
    fd_ = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      lastErrno = errno;
      unlistTemporary(place);
      continue;
    }
    temp_ = std::move(candidate);
    listed_ = place;
  }
  if (fd_ < 0) {
    errno = lastErrno;
    error = systemError("cannot write to", directoryOf(target));
    return false;
  }
  if (exists) {
    // The file being replaced keeps its permission bits, and its owner and
    // group where this process may give them (root may; others keep their
    // own, or at least the group when they belong to it).
    if (::fchown(fd_, existing.st_uid, existing.st_gid) != 0) {
      ::fchown(fd_, static_cast<uid_t>(-1), existing.st_gid);
    }
    ::fchmod(fd_, existing.st_mode & 07777);  // after chown, which may clear set-id bits
  } else {
    // mkstemp makes the file private; what the tools write is as readable
    // as any new file.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_, static_cast<mode_t>(0666) & ~mask);
  }
  path_ = path;
  target_ = target;
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
  if (!isOpen()) {
    error = "no file is open";
    return false;
  }
  if (fd_ >= 0) {
    const bool synced = syncWritten(fd_);
    const int syncError = errno;
    const int closed = ::close(fd_);
    fd_ = -1;
    if (!synced || closed != 0) {
      if (!synced) errno = syncError;
      error = systemError("cannot write", path_);
      return false;
    }
  }
  if (direct_) return true;
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    error = systemError("cannot write", path_);
    return false;
  }
  unlistTemporary(listed_);
  listed_ = -1;
  temp_.clear();
  return true;
}

}  // namespace gwf
