// The seven exported entry points: thin frames around the heap that pick the alignment, take the
// heap's lock, and write a trace line outside it.
#include <bit>
#include <cstdint>

#include "library/lifetime.h"
#include "library/log.h"
#include "velk/allocator.h"

namespace velk::library {
namespace {

// 16 from 16 bytes up; below, the largest power of two the size holds: 8 from 8, 4 from 4, and
// 2, 1 and 0 below, which the heap raises to its unit.
constexpr std::size_t alignmentFor(std::uint32_t size) {
  return size >= 16 ? 16 : std::bit_floor(size);
}
static_assert(alignmentFor(100) == 16 && alignmentFor(16) == 16 && alignmentFor(15) == 8 &&
              alignmentFor(8) == 8 && alignmentFor(7) == 4 && alignmentFor(4) == 4 &&
              alignmentFor(3) == 2 && alignmentFor(1) == 1 && alignmentFor(0) == 0);

// Requests are 32-bit; the 32-bit heap's limit holds in every build, so that a host gets the
// same answer from each.
constexpr std::uint32_t kLargestRequest = 0xFFF00000;

}  // namespace
}  // namespace velk::library

using velk::library::heap;
using velk::library::trace;
using velk::library::traceCalls;

extern "C" {

void* VELK_CALL MemAlloc(std::uint32_t size) {
  void* payload = nullptr;
  if (size <= velk::library::kLargestRequest) {
    payload = heap.allocateLocked(size, velk::library::alignmentFor(size));
  }
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
