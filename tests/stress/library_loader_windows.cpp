#include <windows.h>

#include "tests/stress/library_loader.h"

namespace velk::stress {

bool LoadedAllocator::openLibrary(const std::string& path, std::string& error) {
  handle_ = LoadLibraryA(path.c_str());
  if (handle_ == nullptr) error = "LoadLibrary failed with error " + std::to_string(GetLastError());
  return handle_ != nullptr;
}

void* LoadedAllocator::symbol(const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void LoadedAllocator::unload() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
  exports_ = {};
}

}  // namespace velk::stress
