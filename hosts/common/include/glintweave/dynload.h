// Loading a library and finding its exports by name, the way each host loads
// its plug-in or shader library. Elsewhere this is <dlfcn.h> itself; on
// Windows the same four calls are provided over LoadLibrary, GetProcAddress
// and FreeLibrary, so the stand-in hosts and the test drivers keep one code
// path. The RTLD_* flags mean nothing there: Windows binds a module's imports
// when it loads and never makes one module's names visible to another.
#pragma once

#ifndef _WIN32
#include <dlfcn.h>
#else
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#ifndef RTLD_LAZY
#define RTLD_LAZY 0x0001
#define RTLD_NOW 0x0002
#define RTLD_GLOBAL 0x0100
#define RTLD_LOCAL 0x0000
#endif

namespace glintweave_dynload {

// The failure dlerror reports next, per thread as with dlerror.
inline std::string& pendingError() {
  thread_local std::string text;
  return text;
}

inline void noteFailure(const char* what, const char* subject) {
  const DWORD code = GetLastError();
  char message[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                 message, sizeof message, nullptr);
  std::string text = std::string(what) + " " + subject + ": error " + std::to_string(code);
  std::string detail(message);
  while (!detail.empty() &&
         (detail.back() == '\n' || detail.back() == '\r' || detail.back() == ' '))
    detail.pop_back();
  if (!detail.empty()) text += " (" + detail + ")";
  pendingError() = text;
  SetLastError(code);  // callers may still want the code itself
}

}  // namespace glintweave_dynload

// A null path is the program itself, as with dlopen(NULL, ...). Forward
// slashes, as CMake writes paths, become the backslashes the loader wants. A
// library given by its path has its dependencies looked for in its own folder
// first, which is what an rpath of $ORIGIN gives elsewhere.
inline void* dlopen(const char* path, int /*flags*/) {
  if (!path) return GetModuleHandleA(nullptr);
  std::string native(path);
  for (char& c : native)
    if (c == '/') c = '\\';
  HMODULE module = nullptr;
  if (native.find('\\') == std::string::npos) {
    module = LoadLibraryA(native.c_str());  // a bare name: the loader's search
  } else {
    char full[4 * MAX_PATH];
    const DWORD length = GetFullPathNameA(native.c_str(), sizeof full, full, nullptr);
    if (length > 0 && length < sizeof full) native = full;
    module = LoadLibraryExA(native.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  if (!module) glintweave_dynload::noteFailure("LoadLibrary", path);
  return reinterpret_cast<void*>(module);
}

inline void* dlsym(void* handle, const char* name) {
  FARPROC address = GetProcAddress(static_cast<HMODULE>(handle), name);
  if (!address) glintweave_dynload::noteFailure("GetProcAddress", name);
  return reinterpret_cast<void*>(address);
}

inline int dlclose(void* handle) {
  if (FreeLibrary(static_cast<HMODULE>(handle))) return 0;
  glintweave_dynload::noteFailure("FreeLibrary", "module");
  return -1;
}

// The last failure of the calls above on this thread, once; null when none.
inline const char* dlerror() {
  thread_local std::string reported;
  std::string& pending = glintweave_dynload::pendingError();
  if (pending.empty()) return nullptr;
  reported.swap(pending);
  pending.clear();
  return reported.c_str();
}
#endif
