#include "tests/stress/library_loader.h"

namespace velk::stress {

bool LoadedAllocator::load(const std::string& path, std::string& error) {
  if (!openLibrary(path, error)) return false;
  exports_.memAlloc = reinterpret_cast<VelkMemAllocFn>(symbol(VELK_EXPORT_NAME_MEMALLOC));
  exports_.memFree = reinterpret_cast<VelkMemFreeFn>(symbol(VELK_EXPORT_NAME_MEMFREE));
  exports_.memSize = reinterpret_cast<VelkMemSizeFn>(symbol(VELK_EXPORT_NAME_MEMSIZE));
  exports_.memFlushCache =
      reinterpret_cast<VelkMemFlushCacheFn>(symbol(VELK_EXPORT_NAME_MEMFLUSHCACHE));
  exports_.memFlushCacheAll =
      reinterpret_cast<VelkMemFlushCacheAllFn>(symbol(VELK_EXPORT_NAME_MEMFLUSHCACHEALL));
  exports_.memTotalReserved =
      reinterpret_cast<VelkMemTotalReservedFn>(symbol(VELK_EXPORT_NAME_MEMTOTALRESERVED));
  exports_.memTotalCommitted =
      reinterpret_cast<VelkMemTotalCommittedFn>(symbol(VELK_EXPORT_NAME_MEMTOTALCOMMITTED));
  const AllocatorExports& e = exports_;
  if (e.memAlloc && e.memFree && e.memSize && e.memFlushCache && e.memFlushCacheAll &&
      e.memTotalReserved && e.memTotalCommitted) {
    return true;
  }
  error = "an entry point is missing from " + path;
  unload();
  return false;
}

}  // namespace velk::stress
