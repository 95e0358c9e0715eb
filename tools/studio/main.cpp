// glintweave-studio: tune the glintWeave material live in a browser.
// Everything lives in the library; see cli.h.
#include <string>
#include <vector>

#include "cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return gwstudio::runStudio(args, stdout, stderr);
}
