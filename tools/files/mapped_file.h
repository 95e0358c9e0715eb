// A file mapped read-only into memory, for reading scenes of any size in
// one pass without copying them. Pages behind the reader can be handed back
// to the system (release()), so a 100 MB scene does not stay resident: the
// memory a read holds is bounded by the window between two releases.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace gwf {

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  // Maps `path`. False with `error` (the system's reason) when the file
  // cannot be opened, is not a regular file, or cannot be mapped.
  bool open(const std::string& path, std::string& error);

  std::string_view text() const { return {data_, size_}; }

  // Tells the system the bytes before `offset` will not be needed soon. They
  // stay readable (a later touch reads them from the file again).
  void release(size_t offset);

 private:
  const char* data_ = nullptr;
  size_t size_ = 0;
  size_t released_ = 0;
};

}  // namespace gwf
