// The library's Windows load-notification entry point. It keeps the module's
// instance handle in a process-wide variable and accepts every notification
// (process and thread attach and detach); it does no other work. Binding to
// the renderer waits for miSetModuleHandle, and nothing in the library reads
// the handle kept here.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

extern "C" {

HINSTANCE kl4vModuleInstance = nullptr;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD /*reason*/, LPVOID /*reserved*/) {
  kl4vModuleInstance = instance;
  return 1;
}

}  // extern "C"
#endif
