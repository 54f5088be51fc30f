// Loads the built allocator library by path and resolves its seven entry points by name, as a
// host does. Unloading runs the library's detach work, which writes the report to the log.
#pragma once

#include <string>

#include "velk/allocator.h"

namespace velk::stress {

struct AllocatorExports {
  VelkMemAllocFn memAlloc = nullptr;
  VelkMemFreeFn memFree = nullptr;
  VelkMemSizeFn memSize = nullptr;
  VelkMemFlushCacheFn memFlushCache = nullptr;
  VelkMemFlushCacheAllFn memFlushCacheAll = nullptr;
  VelkMemTotalReservedFn memTotalReserved = nullptr;
  VelkMemTotalCommittedFn memTotalCommitted = nullptr;
};

class LoadedAllocator {
 public:
  // Loads the library at `path`; false (with `error` filled) when it or an export is missing.
  bool load(const std::string& path, std::string& error);
  // Unloads it; every pointer it handed out is invalid afterwards.
  void unload();
  ~LoadedAllocator() { unload(); }

  const AllocatorExports& exports() const { return exports_; }

 private:
  // One per system: library_loader_posix.cpp, library_loader_windows.cpp.
  bool openLibrary(const std::string& path, std::string& error);
  void* symbol(const char* name);

  void* handle_ = nullptr;
  AllocatorExports exports_;
};

}  // namespace velk::stress
