// The <dlfcn.h> calls over the Windows loader, as the hosts and test drivers
// use them: what they return, and what dlerror and GetLastError say after a
// failure.
#include <glintweave/dynload.h>
#include <gtest/gtest.h>

#include <string>

namespace {

constexpr DWORD kModuleNotFound = 126;  // ERROR_MOD_NOT_FOUND
constexpr DWORD kProcNotFound = 127;    // ERROR_PROC_NOT_FOUND

TEST(Dynload, OpensByPathWithForwardSlashesAndByName) {
  char system[MAX_PATH];
  const UINT length = GetSystemDirectoryA(system, MAX_PATH);
  ASSERT_GT(length, 0u);
  std::string path = std::string(system, length) + "\\kernel32.dll";
  for (char& c : path)
    if (c == '\\') c = '/';

  void* byPath = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(byPath, nullptr) << dlerror();
  EXPECT_EQ(byPath, reinterpret_cast<void*>(GetModuleHandleA("kernel32.dll")));
  void* byName = dlopen("kernel32.dll", RTLD_NOW);
  EXPECT_EQ(byName, byPath);
  EXPECT_NE(dlsym(byPath, "GetProcAddress"), nullptr);
  EXPECT_EQ(dlclose(byName), 0);
  EXPECT_EQ(dlclose(byPath), 0);
  EXPECT_EQ(dlerror(), nullptr);
}

TEST(Dynload, NullPathIsTheProgram) {
  EXPECT_EQ(dlopen(nullptr, RTLD_NOW), reinterpret_cast<void*>(GetModuleHandleA(nullptr)));
}

TEST(Dynload, MissingLibraryIsReportedOnce) {
  SetLastError(0);
  EXPECT_EQ(dlopen("Z:/no/such/folder/missing.dll", RTLD_NOW), nullptr);
  EXPECT_NE(GetLastError(), 0u);
  const char* error = dlerror();
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error).find("missing.dll"), std::string::npos) << error;
  EXPECT_EQ(dlerror(), nullptr) << "a failure is reported once";

  EXPECT_EQ(dlopen("no_such_library_here.dll", RTLD_NOW), nullptr);
  EXPECT_EQ(GetLastError(), kModuleNotFound);
  ASSERT_NE(dlerror(), nullptr);
}

// The code stays readable after the failure: the shader library's binding
// message prints GetLastError's value for a name the module lacks.
TEST(Dynload, MissingNameKeepsProcNotFound) {
  void* kernel = dlopen("kernel32.dll", RTLD_NOW);
  ASSERT_NE(kernel, nullptr);
  SetLastError(0);
  EXPECT_EQ(dlsym(kernel, "mi_sample_light"), nullptr);
  EXPECT_EQ(GetLastError(), kProcNotFound);
  const char* error = dlerror();
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error).find("mi_sample_light: error 127"), std::string::npos) << error;
  dlclose(kernel);
}

}  // namespace
