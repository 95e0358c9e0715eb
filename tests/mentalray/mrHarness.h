// Test harness for the shader library: loads kl4v_glintWeave.so with its
// declaration and the stand-in renderer module through the mental ray host's
// driver (RTLD_LOCAL, as the renderer does), and builds shader calls the way
// the renderer lays them out: the shader record, the parameter block laid out
// from the declaration (with room for light tags past its end) and the ghost
// tags, in one buffer. Tests read and write the block through the library's
// own ShaderParams, which a test keeps equal to the declaration's layout.
#pragma once

#include <glintweave/dynload.h>
#include <gtest/gtest.h>
#include <mrhost.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "artifact_path.h"
#include "miRenderer.h"
#include "shaderParams.h"

namespace mrtest {

using ShaderFn = miBoolean (*)(miColor*, miState*, ShaderParams*);
using VersionFn = int (*)();
using SetHandleFn = void (*)(void*);

// A loaded shader library's exports. Loaded libraries stay loaded for the
// life of the test process, as the renderer keeps them.
struct ShaderLibrary {
  void* handle = nullptr;
  ShaderFn shade = nullptr;
  VersionFn version = nullptr;
  SetHandleFn setModuleHandle = nullptr;
};

// The shader library under test: the build tree's, or the one named by
// GLINTWEAVE_MR_LIBRARY (the install tests point it at the installed copy).
inline const char* mrLibraryPath() {
  return gwtest::artifactPath("GLINTWEAVE_MR_LIBRARY", GLINTWEAVE_MR_LIBRARY);
}

inline unsigned long processId() {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return static_cast<unsigned long>(::getpid());
#endif
}

// A private copy of a module: its own statics (binding table, handle, random
// streams), whatever other tests in this process did with the original.
inline std::string privateCopy(const std::string& path, const std::string& tag) {
  static std::atomic<int> serial{0};
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / "glintweave-mr-tests";
  fs::create_directories(dir);
  const fs::path copy =
      dir / (tag + "-" + std::to_string(processId()) + "-" + std::to_string(serial.fetch_add(1)) +
             fs::path(path).extension().string());
  fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
  return copy.string();
}

// The declaration installed with the library under test.
inline std::string mrDeclarationPath() {
  std::string looked;
  const std::string path = gws::findMiDeclaration(mrLibraryPath(), looked);
  EXPECT_FALSE(path.empty()) << "no declaration beside " << mrLibraryPath() << ": " << looked;
  return path;
}

// Keeps a loaded library or module for the life of the test process, as the
// renderer keeps its libraries: held from static storage, so the leak checker
// sees it as reachable rather than lost.
template <typename T>
inline T* keptForProcess(std::unique_ptr<T> loaded) {
  static std::mutex lock;
  static auto* kept = new std::vector<std::unique_ptr<T>>();
  if (!loaded) return nullptr;
  std::lock_guard<std::mutex> guard(lock);
  kept->push_back(std::move(loaded));
  return kept->back().get();
}

// The exports of a library the driver loaded, which stays loaded for the
// life of the test process, as the renderer keeps its libraries.
inline ShaderLibrary exportsOf(const mrhost::ShaderLibrary& driver) {
  ShaderLibrary lib;
  lib.handle = driver.handle();
  lib.shade = reinterpret_cast<ShaderFn>(driver.shader());
  lib.version = driver.versionFunction();
  lib.setModuleHandle = driver.setModuleHandleFunction();
  return lib;
}

// Loads the library at `path` as the shader the declaration under test
// declares (a copy or a variant of the library is named otherwise).
inline ShaderLibrary loadShaderLibrary(const std::string& path) {
  mrhost::ShaderLibrary::Options options;
  options.declaration = mrDeclarationPath();
  options.shader = "kl4v_glintWeave";
  std::string error;
  const mrhost::ShaderLibrary* loaded =
      keptForProcess(mrhost::ShaderLibrary::load(path, options, error));
  if (!loaded) {
    ADD_FAILURE() << error;
    return {};
  }
  return exportsOf(*loaded);
}

// The shipped library as the driver loaded it: what lays the calls out. A
// test process without it cannot build any call.
inline const mrhost::ShaderLibrary& layoutLibrary() {
  static const mrhost::ShaderLibrary* const lib = [] {
    std::string error;
    const mrhost::ShaderLibrary* loaded =
        mrhost::ShaderLibrary::load(mrLibraryPath(), error).release();
    if (!loaded) {
      std::fprintf(stderr, "cannot lay out a shader call: %s\n", error.c_str());
      std::abort();
    }
    return loaded;
  }();
  return *lib;
}

// The shipped library's exports.
inline const ShaderLibrary& shaderLibrary() {
  static const ShaderLibrary lib = exportsOf(layoutLibrary());
  return lib;
}

inline ShaderLibrary freshShaderLibrary() {
  const std::string copy = privateCopy(mrLibraryPath(), "kl4v_glintWeave");
  ShaderLibrary lib = loadShaderLibrary(copy);
#ifndef _WIN32
  std::filesystem::remove(copy);  // the loaded module stays mapped
#endif
  // Windows keeps a loaded module's file locked: the copy stays in the temp
  // folder (under Wine, inside the build tree's prefix).
  return lib;
}

struct Renderer {
  void* handle = nullptr;
  const MiRenderer* mi = nullptr;
};

// Loads a renderer module; it stays loaded for the life of the process.
inline Renderer loadRenderer(const std::string& path) {
  Renderer r;
  std::string error;
  if (mrhost::Renderer* loaded = keptForProcess(mrhost::Renderer::load(path, error))) {
    r.handle = loaded->handle();
    r.mi = loaded->control();
  }
  EXPECT_NE(r.mi, nullptr) << error;
  return r;
}

inline const Renderer& renderer() {
  static const Renderer r = loadRenderer(GLINTWEAVE_MR_RENDERER);
  return r;
}

// The ghost tag of a directly set parameter from 3.8 on (miPARAMTAG).
constexpr miTag kParamTag = ~static_cast<miTag>(1);

// One shader call as the renderer sets it up.
struct ShaderCall {
  static constexpr int kMaxLights = 8;
  static constexpr int kBlockSize = static_cast<int>(sizeof(ShaderParams)) + 4 * (kMaxLights - 1);

  mrhost::ShaderCall record{layoutLibrary(), kMaxLights};
  miState state{};
  miColor result{0.0f, 0.0f, 0.0f, 0.0f};

  ShaderCall() {
    // The driver's block is the library's ShaderParams with room for the lights.
    EXPECT_EQ(record.blockSize(), static_cast<size_t>(kBlockSize));
    state.version = MI_STATE_VERSION;
    state.type = miRAY_EYE;
    state.dir = {0.0f, 0.0f, -1.0f};
    state.normal = {0.0f, 0.0f, 1.0f};
    state.point = {1.0f, 2.0f, 3.0f};
    state.shader = function();
    ShaderParams& p = *params();
    p.color = {0.5f, 0.5f, 0.5f, 1.0f};
    p.ambientColor = {0.0f, 0.0f, 0.0f, 1.0f};
    p.incandescence = {0.0f, 0.0f, 0.0f, 1.0f};
    p.normalOffset = {0.0f, 0.0f, 0.0f};
    p.diffuse = 0.8f;
    p.specularU = 10.0f;
    p.specularV = 10.0f;
    p.specularPower = 0.5f;
    p.reflectivity = 0.0f;
    p.reflectSamples = 1;
    p.indirect = miFALSE;
    p.indirectColor = {1.0f, 1.0f, 1.0f, 1.0f};
    p.indirectIntensity = 1.0f;
    p.i_light = 0;
    p.n_light = 0;
  }
  ShaderCall(const ShaderCall&) = delete;
  ShaderCall& operator=(const ShaderCall&) = delete;

  miFunction* function() { return record.function(); }
  ShaderParams* params() { return reinterpret_cast<ShaderParams*>(record.block()); }
  miTag* lights() { return params()->light; }

  void setLights(std::initializer_list<miTag> tags) {
    int i = 0;
    for (miTag t : tags) lights()[i++] = t;
    params()->i_light = 0;
    params()->n_light = i;
  }

  // Byte 109 of the record: unused in 3.5 and 3.6 (spare2[0] there),
  // has_connections from 3.8 on.
  void setHasConnections(bool on) { function()->spare2[0] = on ? 1 : 0; }

  // Attaches a (pretend) shader to the parameter at `field`: a non-zero ghost
  // tag. Renderers from 3.8 on also tag directly set parameters, with
  // kParamTag.
  void connect(const void* field, miTag tag = 1) {
    record.connect(static_cast<size_t>(static_cast<const char*>(field) - record.block()), tag);
  }

  // Through the driver, as the renderer calls the shader.
  miBoolean shade() { return record.call(&result, &state); }
  // Through `lib`'s export, with this record.
  miBoolean shade(const ShaderLibrary& lib) { return lib.shade(&result, &state, params()); }
};

inline MiLightSample lightSample(miVector dir, miColor color = {1.0f, 1.0f, 1.0f, 1.0f}) {
  return MiLightSample{color, dir, 0.5f /* deliberately not N.L: the shader recomputes it */};
}

inline miVector unit(float x, float y, float z) {
  const float len = std::sqrt(x * x + y * y + z * z);
  return {x / len, y / len, z / len};
}

inline std::vector<MiCallRecord> records(const MiRenderer* mi) {
  std::vector<MiCallRecord> out(static_cast<size_t>(mi->recordCount()));
  for (size_t i = 0; i < out.size(); ++i) mi->record(static_cast<int>(i), &out[i]);
  return out;
}

inline bool finiteColor(const miColor& c) {
  return std::isfinite(c.r) && std::isfinite(c.g) && std::isfinite(c.b) && std::isfinite(c.a);
}

// Per-test setup: the shipped library bound to a freshly reset renderer.
class MrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(renderer().mi, nullptr);
    mi = renderer().mi;
    mi->reset();
    shaderLibrary().setModuleHandle(renderer().handle);
  }
  const MiRenderer* mi = nullptr;
};

}  // namespace mrtest
