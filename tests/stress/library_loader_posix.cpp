#include <dlfcn.h>

#include "tests/stress/library_loader.h"

namespace velk::stress {

bool LoadedAllocator::openLibrary(const std::string& path, std::string& error) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) error = dlerror();
  return handle_ != nullptr;
}

void* LoadedAllocator::symbol(const char* name) {
  return dlsym(handle_, name);
}

void LoadedAllocator::unload() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
  exports_ = {};
}

}  // namespace velk::stress
