// glintweave-preview: renders the glintWeave material through both
// deliverables. Everything lives in the library; see cli.h.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return gwp::runPreview(args, stdout, stderr);
}
