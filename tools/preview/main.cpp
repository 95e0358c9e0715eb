// glintweave-preview: renders the glintWeave material through both
// deliverables. Everything lives in the library; see cli.h.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "signal_cleanup.h"

int main(int argc, char** argv) {
  // Ctrl+C or a kill during a long render leaves no temporary file behind
  // and ends the tool by that signal.
  gwf::removeTemporariesOnSignal();
  std::vector<std::string> args(argv + 1, argv + argc);
  return gwp::runPreview(args, stdout, stderr);
}
