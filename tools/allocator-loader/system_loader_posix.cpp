#include <dlfcn.h>

#include "allocator_library.h"

namespace velk::host::system_loader {

void* open(const std::string& path, std::string& error) {
  // A bare name would send dlopen searching the library path; the host means a file.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) error = dlerror();
  return handle;
}

void* find(void* handle, const char* name) {
  return dlsym(handle, name);
}

void close(void* handle) {
  dlclose(handle);
}

}  // namespace velk::host::system_loader
