// A check made before a library is handed to the loader. glibc maps a
// library's segments without comparing them with the file's length, so a
// library cut short (an interrupted copy, a full disk) loads "successfully"
// and the first touch of a missing page kills the process with SIGBUS. The
// preview refuses such a file with a clear message instead.
#pragma once

#include <string>

namespace gwf {

// Empty when every loadable segment of the ELF file at `path` lies within
// the file (or the file is no ELF file at all, which the loader itself
// refuses with a message); otherwise why the file cannot be loaded.
std::string libraryFileProblem(const std::string& path);

// The same check as a loader reports it: false, with `error` "cannot load
// the WHAT PATH: why", when the file must not be handed to the loader.
bool libraryFileLoadable(const std::string& what, const std::string& path, std::string& error);

}  // namespace gwf
