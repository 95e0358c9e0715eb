// The shader library as a Windows host loads it: LoadLibrary, GetProcAddress
// for its three exports, miSetModuleHandle with the module that is to serve
// the renderer's functions. The binding looks those up with GetProcAddress
// and reports a failed lookup with GetLastError's code.
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mrHarness.h"
#include "peImage.h"

namespace {

using namespace mrtest;

constexpr int kProcNotFound = 127;  // ERROR_PROC_NOT_FOUND

std::string lowHex(const void* handle) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x",
                static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle) & 0xFFFFFFFFu));
  return text;
}

struct LoadedShaderLibrary {
  HMODULE module = nullptr;
  ShaderLibrary lib;
};

LoadedShaderLibrary loadWithLoadLibrary() {
  LoadedShaderLibrary loaded;
  std::string path = GLINTWEAVE_MR_LIBRARY;
  for (char& c : path)
    if (c == '/') c = '\\';
  loaded.module = LoadLibraryA(path.c_str());
  EXPECT_NE(loaded.module, nullptr) << path << ": error " << GetLastError();
  if (!loaded.module) return loaded;
  loaded.lib.handle = loaded.module;
  loaded.lib.shade = reinterpret_cast<ShaderFn>(
      reinterpret_cast<void*>(GetProcAddress(loaded.module, "kl4v_glintWeave")));
  loaded.lib.version = reinterpret_cast<VersionFn>(
      reinterpret_cast<void*>(GetProcAddress(loaded.module, "kl4v_glintWeave_version")));
  loaded.lib.setModuleHandle = reinterpret_cast<SetHandleFn>(
      reinterpret_cast<void*>(GetProcAddress(loaded.module, "miSetModuleHandle")));
  EXPECT_TRUE(loaded.lib.shade && loaded.lib.version && loaded.lib.setModuleHandle);
  return loaded;
}

// The load notification runs before LoadLibrary returns: by then the library
// holds its own instance handle, and it keeps accepting the thread
// notifications that every new thread of the process brings.
TEST(WindowsShaderLibrary, LoadNotificationRecordsTheInstanceHandle) {
  const LoadedShaderLibrary loaded = loadWithLoadLibrary();
  ASSERT_NE(loaded.module, nullptr);
  const auto rva = petest::symbolRva(GLINTWEAVE_MR_LIBRARY, "kl4vModuleInstance");
  ASSERT_TRUE(rva.has_value()) << "no symbol kl4vModuleInstance in " << GLINTWEAVE_MR_LIBRARY;
  const auto* recorded = reinterpret_cast<const HINSTANCE*>(
      reinterpret_cast<const unsigned char*>(loaded.module) + *rva);
  EXPECT_EQ(*recorded, loaded.module);

  std::thread([&] { EXPECT_EQ(loaded.lib.version(), 1); }).join();
  EXPECT_EQ(*recorded, loaded.module);
  EXPECT_EQ(loaded.lib.version(), 1);
}

// A module without the renderer's functions (the shader library itself):
// GetProcAddress fails with ERROR_PROC_NOT_FOUND, and the message carries
// that code and the module handle's low 32 bits. Handing over the renderer
// afterwards binds without another word.
TEST(WindowsShaderLibrary, MissingNameReportsGetLastErrorThenRebinds) {
  const LoadedShaderLibrary loaded = loadWithLoadLibrary();
  ASSERT_NE(loaded.module, nullptr);
  const Renderer& r = renderer();
  ASSERT_NE(r.mi, nullptr);
  r.mi->reset();

  loaded.lib.setModuleHandle(loaded.module);
  ShaderCall call;
  call.setLights({7});
  testing::internal::CaptureStderr();
  EXPECT_EQ(call.shade(loaded.lib), miTRUE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "dlsym failed on \"mi_sample_light\" (handle: " + lowHex(loaded.module) +
                " error: " + std::to_string(kProcNotFound) + ")\n");

  loaded.lib.setModuleHandle(r.handle);
  testing::internal::CaptureStderr();
  EXPECT_EQ(call.shade(loaded.lib), miTRUE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(r.mi->callCount(MI_ENTRY_SAMPLE_LIGHT), 1);
}

// No handle at all: GetProcAddress on a null module searches the program,
// which exports none of the renderer's names.
TEST(WindowsShaderLibrary, NullHandleReportsBothLines) {
  const LoadedShaderLibrary loaded = loadWithLoadLibrary();
  ASSERT_NE(loaded.module, nullptr);
  loaded.lib.setModuleHandle(nullptr);
  ShaderCall call;
  call.setLights({7});
  testing::internal::CaptureStderr();
  call.shade(loaded.lib);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "DYNLOAD: dl_handle null\n"
            "dlsym failed on \"mi_sample_light\" (handle: 00000000 error: 127)\n");
}

// Every GetProcAddress the shader library makes, seen through its import
// table: which module was asked for which name.
std::mutex lookupLock;
std::vector<std::pair<HMODULE, std::string>> lookups;
FARPROC(WINAPI* realGetProcAddress)(HMODULE, LPCSTR) = nullptr;

FARPROC WINAPI countingGetProcAddress(HMODULE module, LPCSTR name) {
  {
    std::lock_guard<std::mutex> guard(lookupLock);
    lookups.emplace_back(module, name);
  }
  return realGetProcAddress(module, name);
}

int lookupsOf(HMODULE module, const std::string& name) {
  std::lock_guard<std::mutex> guard(lookupLock);
  int n = 0;
  for (const auto& [m, text] : lookups) n += (m == module && text == name) ? 1 : 0;
  return n;
}

// Each name is looked up once per handle however often it is used; handing
// over another module (or the same one again) empties the table, and the
// next calls look every name up again in the module given last.
TEST(WindowsShaderLibrary, LooksEachNameUpOncePerHandle) {
  const LoadedShaderLibrary loaded = loadWithLoadLibrary();
  ASSERT_NE(loaded.module, nullptr);
  if (!realGetProcAddress) {
    realGetProcAddress = reinterpret_cast<decltype(realGetProcAddress)>(petest::redirectImport(
        loaded.module, "GetProcAddress", reinterpret_cast<void*>(&countingGetProcAddress)));
  }
  ASSERT_NE(realGetProcAddress, nullptr) << "the library does not import GetProcAddress";
  const Renderer& a = renderer();
  const Renderer b = loadRenderer(privateCopy(GLINTWEAVE_MR_RENDERER, "renderer-b"));
  ASSERT_NE(b.mi, nullptr);
  a.mi->reset();
  b.mi->reset();
  const auto moduleA = static_cast<HMODULE>(a.handle), moduleB = static_cast<HMODULE>(b.handle);
  ASSERT_NE(moduleA, moduleB);
  {
    std::lock_guard<std::mutex> guard(lookupLock);
    lookups.clear();
  }

  // A call that reaches all five: a connected parameter, a light, reflections
  // that miss (so the environment too) and the indirect term.
  ShaderCall call;
  call.setLights({7});
  call.connect(&call.params()->diffuse);
  call.params()->reflectivity = 0.5f;
  call.params()->reflectSamples = 2;
  call.params()->indirect = miTRUE;

  loaded.lib.setModuleHandle(moduleA);
  for (int i = 0; i < 20; ++i) call.shade(loaded.lib);
  loaded.lib.setModuleHandle(moduleB);
  for (int i = 0; i < 5; ++i) call.shade(loaded.lib);
  loaded.lib.setModuleHandle(moduleB);
  call.shade(loaded.lib);

  for (const char* name : {"mi_phen_eval", "mi_sample_light", "mi_trace_reflection",
                           "mi_trace_environment", "mi_compute_irradiance"}) {
    EXPECT_EQ(lookupsOf(moduleA, name), 1) << name;
    EXPECT_EQ(lookupsOf(moduleB, name), 2) << name;
  }
  EXPECT_EQ(a.mi->callCount(MI_ENTRY_SAMPLE_LIGHT), 20);
  EXPECT_EQ(b.mi->callCount(MI_ENTRY_SAMPLE_LIGHT), 6);
}

}  // namespace
