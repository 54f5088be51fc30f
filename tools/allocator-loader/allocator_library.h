// Loads a built VelkAllocator library by path and resolves its seven entry points by name, as a
// host program does. Shared by velk-host and the black-box library tests.
#pragma once

#include <string>

#include "velk/allocator.h"

namespace velk::host {

struct AllocatorExports {
  VelkMemAllocFn memAlloc;
  VelkMemFreeFn memFree;
  VelkMemSizeFn memSize;
  VelkMemFlushCacheFn memFlushCache;
  VelkMemFlushCacheAllFn memFlushCacheAll;
  VelkMemTotalReservedFn memTotalReserved;
  VelkMemTotalCommittedFn memTotalCommitted;
};

class AllocatorLibrary {
 public:
  // Loads the library and resolves every export; when either fails, nothing stays loaded and
  // error() says why.
  explicit AllocatorLibrary(const std::string& path);
  // Unloads, if still loaded.
  ~AllocatorLibrary();
  AllocatorLibrary(const AllocatorLibrary&) = delete;
  AllocatorLibrary& operator=(const AllocatorLibrary&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  const AllocatorExports& exports() const { return exports_; }
  const std::string& error() const { return error_; }
  // Unloads now: the library writes its report and gives back its memory.
  void unload();

 private:
  void* handle_;
  AllocatorExports exports_;
  std::string error_;
};

// The system's loader, one implementation per system.
namespace system_loader {
// Null on failure, with the system's reason in `error`.
void* open(const std::string& path, std::string& error);
void* find(void* handle, const char* name);
void close(void* handle);
}  // namespace system_loader

}  // namespace velk::host
