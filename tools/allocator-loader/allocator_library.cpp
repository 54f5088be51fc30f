#include "allocator_library.h"

namespace velk::host {
namespace {

template <typename Function>
bool resolve(void* handle, const char* name, Function& function, std::string& error) {
  void* address = system_loader::find(handle, name);
  if (address == nullptr) {
    error = std::string("export not found: ") + name;
    return false;
  }
  function = reinterpret_cast<Function>(address);
  return true;
}

}  // namespace

AllocatorLibrary::AllocatorLibrary(const std::string& path) : handle_(nullptr), exports_{} {
  void* handle = system_loader::open(path, error_);
  if (handle == nullptr) return;
  AllocatorExports& e = exports_;
  const bool complete =
      resolve(handle, VELK_EXPORT_NAME_MEMALLOC, e.memAlloc, error_) &&
      resolve(handle, VELK_EXPORT_NAME_MEMFREE, e.memFree, error_) &&
      resolve(handle, VELK_EXPORT_NAME_MEMSIZE, e.memSize, error_) &&
      resolve(handle, VELK_EXPORT_NAME_MEMFLUSHCACHE, e.memFlushCache, error_) &&
      resolve(handle, VELK_EXPORT_NAME_MEMFLUSHCACHEALL, e.memFlushCacheAll, error_) &&
      resolve(handle, VELK_EXPORT_NAME_MEMTOTALRESERVED, e.memTotalReserved, error_) &&
      resolve(handle, VELK_EXPORT_NAME_MEMTOTALCOMMITTED, e.memTotalCommitted, error_);
  if (!complete) {
    system_loader::close(handle);
    exports_ = {};
    return;
  }
  handle_ = handle;
}

AllocatorLibrary::~AllocatorLibrary() {
  unload();
}

void AllocatorLibrary::unload() {
  if (handle_ == nullptr) return;
  system_loader::close(handle_);
  handle_ = nullptr;
  exports_ = {};
}

}  // namespace velk::host
