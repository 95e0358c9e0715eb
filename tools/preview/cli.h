// The command line of glintweave-preview. `main` only forwards to
// runPreview, which tests call directly. Its parts: the options (options.h;
// declared as tables in options.cpp, turned into Options by the rules in
// option_rules.cpp), the plan of the render (plan.h), the run step
// (run.cpp) and the turntable runner it hands a turntable to
// (turntable_run.h).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "options.h"

namespace gwp {

// Exit statuses: 0 on success, 2 on any error (bad input, unloadable
// library, unwritable output), after one line on `err`.
constexpr int kExitOk = 0;
constexpr int kExitError = 2;

// The whole tool: parses, loads the deliverables, renders, writes, reports.
// Progress goes to `err` when it is a terminal, the summary line to `out`.
int runPreview(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

// The progress line a terminal shows: "WHAT [####....]  45% ETA 12 s", the
// time left estimated from `elapsed` seconds for `done` of `total`, and
// shown once something is done and while something is left.
std::string progressLine(const std::string& what, size_t done, size_t total, double elapsed);

}  // namespace gwp
