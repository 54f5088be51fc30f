#include "engine_exports.h"

#include "library/export_requests.h"

namespace velk::host {
namespace {

Heap* servingHeap = nullptr;

void* VELK_CALL engineAlloc(std::uint32_t size) {
  if (size > library::kLargestRequest) return nullptr;
  return servingHeap->allocateLocked(size, library::alignmentFor(size));
}

void VELK_CALL engineFree(void* payload) {
  servingHeap->deallocateLocked(payload);
}

std::int32_t VELK_CALL engineSize(void* payload) {
  const std::ptrdiff_t bytes = servingHeap->blockSize(payload);
  return bytes < 0 || bytes > INT32_MAX ? 0 : static_cast<std::int32_t>(bytes);
}

std::int32_t VELK_CALL engineFlushCache(std::int32_t) {
  return 0;
}

void VELK_CALL engineFlushCacheAll() {}

std::uint32_t VELK_CALL engineTotal() {
  return 0;
}

}  // namespace

AllocatorExports engineExports(Heap& heap) {
  servingHeap = &heap;
  return {engineAlloc,         engineFree,  engineSize, engineFlushCache,
          engineFlushCacheAll, engineTotal, engineTotal};
}

}  // namespace velk::host
