#include <windows.h>

#include "allocator_library.h"

namespace velk::host::system_loader {

void* open(const std::string& path, std::string& error) {
  HMODULE module = LoadLibraryA(path.c_str());
  // Under wine, build scripts pass Unix paths; drive Z: is the Unix root.
  if (module == nullptr && !path.empty() && path[0] == '/') {
    module = LoadLibraryA(("Z:" + path).c_str());
  }
  if (module == nullptr) {
    error = "LoadLibrary failed with error " + std::to_string(GetLastError()) + ": " + path;
  }
  return reinterpret_cast<void*>(module);
}

void* find(void* handle, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

void close(void* handle) {
  FreeLibrary(static_cast<HMODULE>(handle));
}

}  // namespace velk::host::system_loader
