// Scene reading throughput against a floor: reading a large generated scene
// (.ma, .mi) for its glintWeave materials, against `grep -c createNode`
// (`grep -c shader`) over the same file in the same run. Both read the file
// from the page cache; the ratio is the cost of understanding the file over
// merely scanning it.
//
// The files are generated once per run in the temporary folder and removed
// at the end, or kept in GLINTWEAVE_BENCH_SCENE_DIR when that is set; their
// size is GLINTWEAVE_BENCH_SCENE_MB megabytes (default 32).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "ratio_reporter.h"
#include "scene_file.h"
#include "schemas.h"

extern char** environ;

namespace {

size_t sceneBytes() {
  const char* mb = std::getenv("GLINTWEAVE_BENCH_SCENE_MB");
  const long n = mb ? std::atol(mb) : 32;
  return static_cast<size_t>(n > 0 ? n : 32) << 20;
}

const char* keepDir() { return std::getenv("GLINTWEAVE_BENCH_SCENE_DIR"); }

std::string tempPath(const char* name) {
  if (const char* dir = keepDir()) return std::string(dir) + "/bench-" + name;
  const char* base = std::getenv("TMPDIR");
  return std::string(base && *base ? base : "/tmp") + "/glintweave-bench-" +
         std::to_string(::getpid()) + "-" + name;
}

// A Maya scene as Maya writes one: mostly meshes, whose setAttr lines of
// vertex, edge, UV and face data make up most of the bytes, transforms,
// shading nodes and their connections, and now and then a glintWeave node.
void writeMaya(const std::string& path, size_t bytes) {
  std::ofstream out(path, std::ios::binary);
  out << "//Maya ASCII 2008 scene\nrequires maya \"2008\";\nrequires \"glintWeave\" \"1.0\";\n"
         "currentUnit -l centimeter -a degree -t film;\n";
  constexpr int kVertices = 100, kEdges = 180, kFaces = 81;
  size_t n = 0;
  while (static_cast<size_t>(out.tellp()) < bytes) {
    out << "createNode transform -n \"pPlane" << n << "\";\n"
        << "\tsetAttr \".t\" -type \"double3\" " << n % 17 << " 0.5 -" << n % 5 << " ;\n"
        << "createNode mesh -n \"pPlaneShape" << n << "\" -p \"pPlane" << n << "\";\n"
        << "\tsetAttr -k off \".v\";\n\tsetAttr \".vir\" yes;\n\tsetAttr \".vif\" yes;\n"
        << "\tsetAttr \".uvst[0].uvsn\" -type \"string\" \"map1\";\n"
        << "\tsetAttr -s " << kVertices << " \".uvst[0].uvsp[0:" << kVertices - 1
        << "]\" -type \"float2\"";
    for (int v = 0; v < kVertices; ++v) {
      out << (v % 6 == 0 ? "\n\t\t" : " ") << (v % 10) * 0.1 << " " << (v / 10) * 0.1;
    }
    out << ";\n\tsetAttr -s " << kVertices << " \".vt[0:" << kVertices - 1 << "]\"";
    for (int v = 0; v < kVertices; ++v) {
      out << (v % 3 == 0 ? "\n\t\t" : " ") << -0.5 + (v % 10) * 0.11111111 << " 0 "
          << 0.5 - (v / 10) * 0.11111111;
    }
    out << ";\n\tsetAttr -s " << kEdges << " \".ed[0:" << kEdges - 1 << "]\"";
    for (int e = 0; e < kEdges; ++e) {
      out << (e % 7 == 0 ? "\n\t\t" : "  ") << e / 2 << " " << e / 2 + 1 << " 0";
    }
    out << ";\n\tsetAttr -s " << kFaces << " \".fc[0:" << kFaces - 1 << "]\" -type \"polyFaces\"";
    for (int f = 0; f < kFaces; ++f) {
      out << "\n\t\tf 4 " << f << " " << f + 9 << " " << -(f + 2) << " " << -(f + 1)
          << "\n\t\tmu 0 4 " << f << " " << f + 1 << " " << f + 11 << " " << f + 10;
    }
    out << ";\n\tsetAttr \".cd\" -type \"dataPolyComponent\" Index_Data Edge 0 ;\n";
    if (n % 10 == 0) {
      out << "createNode glintWeave -n \"weave" << n << "\";\n"
          << "\tsetAttr \".c\" -type \"float3\" 0.78 0.78 0.8 ;\n\tsetAttr \".su\" 600;\n"
          << "\tsetAttr \".sv\" 12;\n\tsetAttr \".rfs\" 6;\n"
          << "createNode shadingEngine -n \"weave" << n << "SG\";\n\tsetAttr \".ihi\" 0;\n"
          << "\tsetAttr \".ro\" yes;\n"
          << "createNode materialInfo -n \"materialInfo" << n << "\";\n"
          << "connectAttr \"weave" << n << ".oc\" \"weave" << n << "SG.ss\";\n"
          << "connectAttr \"weave" << n << "SG.msg\" \"materialInfo" << n << ".sg\";\n";
    }
    out << "connectAttr \"pPlaneShape" << n << ".iog\" \"weave" << n / 10 * 10 << "SG.dsm\" -na;\n";
    ++n;
  }
}

// A mental ray scene as a translator writes one: objects whose groups of
// vertex data make up most of the bytes, their instances, texture shaders,
// and now and then a kl4v_glintWeave shader and its material.
void writeMentalRay(const std::string& path, size_t bytes) {
  std::ofstream out(path, std::ios::binary);
  out << "verbose on\nlink \"base.so\"\n$include \"base.mi\"\noptions \"opt\"\n samples 0 2\n"
         "end options\n";
  constexpr int kVertices = 100, kTriangles = 162;
  size_t n = 0;
  while (static_cast<size_t>(out.tellp()) < bytes) {
    if (n % 10 == 0) {
      out << "shader \"weave" << n << "\" \"kl4v_glintWeave\" (\n\t\"color\" 0.78 0.78 0.8 1,\n"
          << "\t\"specularU\" 600,\n\t\"specularV\" 12,\n\t\"indirect\" on,\n"
          << "\t\"light\" [ \"key\" ]\n)\n"
          << "material \"mtl" << n << "\" \"weave" << n << "\" end material\n";
    }
    out << "shader \"tex" << n << "\" \"mib_texture_lookup\" ( \"tex\" \"map" << n << ".tif\" )\n"
        << "object \"plane" << n << "\"\n\tvisible on\n\tshadow on\n\ttagged\n\tgroup\n";
    for (int v = 0; v < kVertices; ++v) {
      out << "\t\t" << -0.5 + (v % 10) * 0.11111111 << " 0 " << 0.5 - (v / 10) * 0.11111111 << "\n";
    }
    for (int v = 0; v < kVertices; ++v)
      out << "\t\t" << (v % 10) * 0.1 << " " << (v / 10) * 0.1 << " 0\n";
    for (int v = 0; v < kVertices; ++v) out << "\t\tv " << v << " t " << kVertices + v << "\n";
    for (int t = 0; t < kTriangles; ++t) {
      out << "\t\tp " << (t == 0 ? "\"mtl" + std::to_string(n / 10 * 10) + "\" " : "") << t / 2
          << " " << t / 2 + 1 << " " << t / 2 + 10 << "\n";
    }
    out << "\tend group\nend object\n"
        << "instance \"plane" << n << "_inst\" \"plane" << n
        << "\"\n\ttransform 1 0 0 0 0 1 0 0 0 0 1 0 " << n % 7 << " 0 0 1\nend instance\n";
    ++n;
  }
}

struct Files {
  std::string ma = tempPath("scene.ma");
  std::string mi = tempPath("scene.mi");
  Files() {
    writeMaya(ma, sceneBytes());
    writeMentalRay(mi, sceneBytes());
  }
  ~Files() {
    if (keepDir()) return;
    std::remove(ma.c_str());
    std::remove(mi.c_str());
  }
};

const Files& files() {
  static const Files f;
  return f;
}

size_t fileSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return static_cast<size_t>(in.tellg());
}

// `grep -c WORD FILE`, reading its count from a pipe. (Not /dev/null: GNU
// grep notices output going there and stops at the first match.) False when
// grep cannot run or prints no count.
bool grepCount(const char* word, const std::string& path, long& count) {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  const char* argv[] = {"grep", "-c", word, path.c_str(), nullptr};
  pid_t pid = 0;
  const int rc =
      posix_spawnp(&pid, "grep", &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  std::string out;
  char buf[64];
  ssize_t n;
  while (rc == 0 && (n = ::read(fds[0], buf, sizeof buf)) > 0)
    out.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  if (rc != 0) return false;
  int status = 0;
  ::waitpid(pid, &status, 0);
  count = std::atol(out.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) <= 1 && !out.empty();
}

void grepScene(benchmark::State& state, const char* word, bool maya) {
  const std::string& path = maya ? files().ma : files().mi;
  long count = 0;
  for (auto _ : state) {
    if (!grepCount(word, path, count)) {
      state.SkipWithError("grep could not run");
      return;
    }
  }
  state.counters["lines"] = static_cast<double>(count);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(fileSize(path)));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(fileSize(path)));
}

void readSceneFile(benchmark::State& state, bool maya) {
  const std::string& path = maya ? files().ma : files().mi;
  std::string error;
  const auto schema =
      gws::loadMaterialSchema({}, {maya ? gws::Host::kMaya : gws::Host::kMentalRay}, error);
  if (!schema) {
    state.SkipWithError(error.c_str());
    return;
  }
  size_t materials = 0;
  for (auto _ : state) {
    gws::SceneFile file;
    if (!gws::readScene(path, schema, file, error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    materials = file.materials.size();
  }
  state.counters["materials"] = static_cast<double>(materials);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(fileSize(path)));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(fileSize(path)));
}

// Per format: reading its scene file, against finding its statements with a
// plain text search over the same bytes (goal: at most 3 times as long).
const bool registered = [] {
  struct Format {
    const char* name;
    const char* statement;  // the word that starts a material's statement
    bool maya;
  };
  for (const Format& f : {Format{"ma", "createNode", true}, Format{"mi", "shader", false}}) {
    const std::string read = std::string("scene/") + f.name + "/read";
    const std::string grep = std::string("scene/") + f.name + "/grep";
    benchmark::RegisterBenchmark(read.c_str(), readSceneFile, f.maya)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(grep.c_str(), grepScene, f.statement, f.maya)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    gwbench::addRatio(read, grep, 3.0);
  }
  return true;
}();

}  // namespace
