// Where a shader library's declaration is installed: named like the library,
// beside it (the build tree) or in ../include (an installed module's lib and
// include folders), as the renderer's own search finds it.
#include <sys/stat.h>

#include <string>

#include "mi_declaration.h"

namespace gws {

std::string libraryStem(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

namespace {

bool statExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

std::string findMiDeclaration(const std::string& libraryPath, std::string& looked) {
  const std::string dir = directoryOf(libraryPath);
  const std::string file = libraryStem(libraryPath) + ".mi";
  looked.clear();
  for (const std::string& candidate : {dir + "/" + file, dir + "/../include/" + file}) {
    if (statExists(candidate)) return candidate;
    looked += (looked.empty() ? "" : " or ") + candidate;
  }
  return {};
}

}  // namespace gws
