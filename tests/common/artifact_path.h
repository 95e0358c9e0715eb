// Where a test finds a built artifact: the build tree's copy by default, or
// the file named by an environment variable of the same name. The install
// tests run the same test executables against the installed tree that way.
#pragma once

#include <cstdlib>

namespace gwtest {

inline const char* artifactPath(const char* variable, const char* builtPath) {
  const char* override = std::getenv(variable);
  return override && *override ? override : builtPath;
}

}  // namespace gwtest
