// Small path helpers every tool shares: the parts of a path and the
// system's reason for a failed call, worded the same everywhere.
#pragma once

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

// "WHAT PATH: <the system's reason>", from errno.
std::string systemError(const std::string& what, const std::string& path);

}  // namespace gwf
