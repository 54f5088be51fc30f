// The seven exported entry points: thin frames around the heap that pick the alignment, take the
// heap's lock, and write a trace line outside it.
#include <cstdint>

#include "library/export_requests.h"
#include "library/lifetime.h"
#include "library/log.h"
#include "velk/allocator.h"

using velk::library::heap;
using velk::library::trace;
using velk::library::traceCalls;

extern "C" {

// Damage the heap finds in MemAlloc and MemFree is logged by the heap's damage hook (attach sets
// it), once the heap's lock is left: the two calls end in the heap's own.
void* VELK_CALL MemAlloc(std::uint32_t size) {
  void* const payload = size <= velk::library::kLargestRequest
                            ? heap.allocateLocked(size, velk::library::alignmentFor(size))
                            : nullptr;
  if (traceCalls) trace("allocated %d bytes: %p\n", static_cast<int>(size), payload);
  return payload;
}

void VELK_CALL MemFree(void* payload) {
  // Before the heap's lock is taken, so that logLock is never held inside it.
  if (traceCalls) trace("freeing: %p\n", payload);
  heap.deallocateLocked(payload);
}

std::int32_t VELK_CALL MemSize(void* payload) {
  const std::ptrdiff_t bytes = heap.blockSize(payload);
  velk::library::logDamageIfFound();
  std::int32_t result = bytes < 0 ? 0 : static_cast<std::int32_t>(bytes);
  // A wider heap can hold payloads whose size a 32-bit count cannot show.
  if constexpr (sizeof(std::ptrdiff_t) > sizeof(std::int32_t)) {
    if (bytes > INT32_MAX) result = 0;
  }
  if (traceCalls) trace("memsize for %p returns %d\n", payload, static_cast<int>(result));
  return result;
}

std::int32_t VELK_CALL MemFlushCache(std::int32_t level) {
  if (traceCalls) trace("flushcache with %d\n", static_cast<int>(level));
  return 0;
}

void VELK_CALL MemFlushCacheAll(void) {
  if (traceCalls) trace("flushcacheall\n");
}

std::uint32_t VELK_CALL MemTotalReserved(void) {
  return 0;
}

std::uint32_t VELK_CALL MemTotalCommitted(void) {
  return 0;
}

}  // extern "C"
