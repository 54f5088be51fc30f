#include "depot.h"

#include <atomic>

#include "pal/pal.h"
#include "process_heap.h"
#include "size_classes.h"
#include "thread_cache.h"

namespace velk::shim {
namespace {

// Up to 512 KiB of Blocks per shelf, in at least one and at most 32 batches: enough to even out
// producers and consumers and the swings of threads that use many sizes, little enough that
// Blocks parked in one class do not keep the heap from serving others.
constexpr std::uint32_t shelfBatches(std::size_t sizeClass) {
  const std::size_t byBytes = 524288 / (batchOfClass(sizeClass) * footprintOfClass(sizeClass));
  return static_cast<std::uint32_t>(byBytes < 1 ? 1 : byBytes > 32 ? 32 : byBytes);
}
constexpr std::uint32_t kMostBatches = 32;

// One cache line at least per shelf, so that threads busy with different classes do not share
// one.
struct alignas(64) Shelf {
  pal::LockStorage lockStorage;
  pal::Lock* lock;
  // Changed under the lock only; read without it to skip an empty shelf.
  std::atomic<std::uint32_t> used;
  Batch batches[kMostBatches];
};
Shelf shelves[kClasses];

// A damaged link ends the walk at the Block that holds it (thread_cache.h).
void freeInHeap(Batch batch) {
  Heap* heap = processHeap();
  HeapLockGuard guard(*heap);
  for (auto* block = static_cast<CachedBlock*>(batch.head); block != nullptr;) {
    CachedBlock* next = block->next;
    if (!linkHolds(block)) [[unlikely]] {
      noteDamage();
      next = nullptr;
    }
    heap->deallocate(block);
    block = next;
  }
}

}  // namespace

void depotPut(std::size_t sizeClass, Batch batch) {
  Shelf& shelf = shelves[sizeClass];
  pal::lockEnter(shelf.lock);
  const std::uint32_t used = shelf.used.load(std::memory_order_relaxed);
  const bool room = used < shelfBatches(sizeClass);
  if (room) {
    shelf.batches[used] = batch;
    shelf.used.store(used + 1, std::memory_order_relaxed);
  }
  pal::lockLeave(shelf.lock);
  if (!room) freeInHeap(batch);
}

Batch depotTake(std::size_t sizeClass) {
  Shelf& shelf = shelves[sizeClass];
  // Read without the lock first: an empty shelf, the common case of a thread that allocates more
  // than it frees, costs no lock. A batch put a moment later is only found next time.
  if (shelf.used.load(std::memory_order_relaxed) == 0) return {nullptr, 0};
  pal::lockEnter(shelf.lock);
  Batch batch{nullptr, 0};
  if (const std::uint32_t used = shelf.used.load(std::memory_order_relaxed); used != 0) {
    batch = shelf.batches[used - 1];
    shelf.used.store(used - 1, std::memory_order_relaxed);
  }
  pal::lockLeave(shelf.lock);
  return batch;
}

void depotLockAll() {
  for (Shelf& shelf : shelves) pal::lockEnter(shelf.lock);
}

void depotUnlockAll() {
  for (Shelf& shelf : shelves) pal::lockLeave(shelf.lock);
}

void prepareDepot() {
  for (Shelf& shelf : shelves) shelf.lock = pal::lockCreateIn(shelf.lockStorage);
}

}  // namespace velk::shim
