// Small path helpers every tool shares: the parts of a path, the checks on
// a regular file a reader takes whole, and the system's reason for a failed
// call, worded the same everywhere.
#pragma once

#include <cstdint>
#include <string>

namespace gwf {

// The folder a path lies in: "." for a bare name, "/" for a top-level one.
std::string directoryOf(const std::string& path);

// The file's name without its folder and its last extension
// ("lib/kl4v_glintWeave.so" -> "kl4v_glintWeave"; a leading dot is part of
// the name, not an extension).
std::string stemOf(const std::string& path);

// Whether `path` names a regular file (symbolic links followed).
bool isRegularFile(const std::string& path);

// The size of `path` (links followed), a regular file a reader takes whole.
// False with a one-line `error` starting "PATH: ": `missing` then the
// system's reason when it cannot be looked at; "is a folder, not KIND"
// (say "a model file"); "is not a regular file" for a device, a pipe
// or a socket, which could block the reader or never end.
bool regularFileSize(const std::string& path, const char* kind, const char* missing,
                     uint64_t& size, std::string& error);

// "WHAT PATH: <the system's reason>", from errno.
std::string systemError(const std::string& what, const std::string& path);

}  // namespace gwf
