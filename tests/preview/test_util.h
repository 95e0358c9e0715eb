// Helpers shared by the preview's tests.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "material.h"

namespace gwp::test {

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the tool's library entry point with captured streams.
inline RunResult runTool(const std::vector<std::string>& args) {
  RunResult r;
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  r.status = runPreview(args, out, err);
  for (auto [file, text] : {std::pair{out, &r.out}, std::pair{err, &r.err}}) {
    std::fflush(file);
    std::rewind(file);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) text->append(buf, n);
    std::fclose(file);
  }
  return r;
}

// A fresh empty directory under the build's temporary space.
// This build's deliverables' inputs (both hosts, as far as they are built),
// loaded on first use; the test fails when they cannot be read.
std::shared_ptr<const MaterialSchema> builtSchema();
// A material of that schema with every input at its default.
inline Material defaultMaterial() { return Material(builtSchema()); }

std::string makeTempDir();

bool fileExists(const std::string& path);
std::vector<std::string> listDir(const std::string& dir);

}  // namespace gwp::test
