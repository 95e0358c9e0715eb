// The command line of glintweave-studio. `main` only forwards to runStudio.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace gwstudio {

// Parses the arguments after the program name, loads both deliverables,
// prints the address as the first line of `out` and serves until SIGINT or
// SIGTERM. Returns 0 after a clean stop, 2 after one line on `err` when
// the arguments or the libraries are bad or the port cannot be had.
int runStudio(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace gwstudio
