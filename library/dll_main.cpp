// On Windows the loader's notifications drive the library. The C runtime's start-up code runs the
// static constructors before DllMain sees DLL_PROCESS_ATTACH, and the static destructors after
// DllMain returns from DLL_PROCESS_DETACH, on FreeLibrary and at process exit alike. At process
// exit the loader has ended every other thread before that, so teardown always releases.
#include <windows.h>

#include "library/lifetime.h"

namespace velk::library {

LoaderLink::LoaderLink() = default;
LoaderLink::~LoaderLink() = default;

}  // namespace velk::library

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) velk::library::attach();
  if (reason == DLL_PROCESS_DETACH) velk::library::detach();
  // Failing the attach would unload a library that still serves without its log.
  return TRUE;
}
