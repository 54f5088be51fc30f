#include "depot.h"

#include <atomic>

#include "pal/pal.h"
#include "process_heap.h"
#include "size_classes.h"
#include "thread_cache.h"

namespace velk::shim {
namespace {

// A shelf starts with room for up to 512 KiB of Blocks, in at least one and at most 32 batches:
// enough to even out producers and consumers and the swings of threads that use many sizes,
// little enough that Blocks parked in one class do not keep the heap from serving others.
constexpr std::uint32_t shelfBatches(std::size_t sizeClass) {
  const std::size_t byBytes = 524288 / (batchOfClass(sizeClass) * footprintOfClass(sizeClass));
  return static_cast<std::uint32_t>(byBytes < 1 ? 1 : byBytes > 32 ? 32 : byBytes);
}
// The room a shelf may grow to when its class is handed between threads in bursts larger than
// that: 32 MiB of Blocks, at most 1,024 batches. Consumers that fall behind free the objects of a
// whole queue in one stretch while the producers wait for a processor (remote-bursts: 2 threads
// freeing up to 32 batches of 4,096 objects, 2,560 of them in one class); with room for 8 MiB a
// tenth to a fifth of every Block went through the heap lock to the bins and was carved again,
// with room for 32 MiB a three-hundredth.
constexpr std::size_t kMostShelfBytes = std::size_t{32} << 20;
constexpr std::uint32_t kMostBatches = 1024;
// The most batches one put sends to the engine when a shelf's room halves; the rest beyond the
// room leave with later puts, or are taken.
constexpr std::uint32_t kMostLeaving = 128;
constexpr std::uint32_t mostShelfBatches(std::size_t sizeClass) {
  const std::size_t byBytes =
      kMostShelfBytes / (batchOfClass(sizeClass) * footprintOfClass(sizeClass));
  const std::uint32_t least = shelfBatches(sizeClass);
  return static_cast<std::uint32_t>(byBytes < least          ? least
                                    : byBytes > kMostBatches ? kMostBatches
                                                             : byBytes);
}

// A shelf's room follows demand. A batch that finds the shelf full goes to the engine; if the
// shelf then runs empty while threads still ask for its class, the overflow was Blocks they
// needed: the room doubles, so that the next burst of the same size goes round without the heap
// lock (freeing it there and carving it afresh is most of the cost of a burst). A full shelf that
// has been given twice its room since anyone last took from it holds Blocks no one wants: its
// room halves (to no less than it started with) and the batches beyond go back to the engine, so
// that idle Blocks serve other sizes again.
//
// The shelves' locks and counts lie together, one cache line each, so that threads busy with
// different classes do not share one; their batches lie apart, touched only as they fill.
struct alignas(64) Shelf {
  pal::LockStorage lockStorage;
  pal::Lock* lock;
  // Changed under the lock only; read without it to skip an empty shelf.
  std::atomic<std::uint32_t> used;
  // Read without the lock by a take that finds the shelf empty, to see whether to grow it.
  std::atomic<bool> overflowed;
  std::uint32_t room;
  // Batches put since one was last taken.
  std::uint32_t putsSinceTake;
};
Shelf shelves[kClasses];
Batch shelved[kClasses][kMostBatches];

// A damaged link ends the walk at the Block that holds it (thread_cache.h), and so does the
// batch's count: a Block freed twice, its check broken in between, may close the links into a
// ring whose every pair holds.
void freeInHeap(Heap& heap, Batch batch) {
  std::uint32_t left = batch.count;
  for (auto* block = static_cast<CachedBlock*>(batch.head); block != nullptr && left != 0; --left) {
    CachedBlock* next = block->next;
    if (!linkHolds(block)) [[unlikely]] {
      noteDamage();
      next = nullptr;
    }
    heap.deallocate(block);
    block = next;
  }
}

}  // namespace

void depotPut(std::size_t sizeClass, Batch batch) {
  Shelf& shelf = shelves[sizeClass];
  Batch* slots = shelved[sizeClass];
  // Batches to free in the engine, outside the shelf's lock: this one, or the idle half.
  Batch leaving[kMostLeaving + 1];
  std::uint32_t leavingCount = 0;
  pal::lockEnter(shelf.lock);
  std::uint32_t used = shelf.used.load(std::memory_order_relaxed);
  const std::uint32_t least = shelfBatches(sizeClass);
  shelf.putsSinceTake += 1;
  if (used < shelf.room) {
    slots[used] = batch;
    shelf.used.store(used + 1, std::memory_order_relaxed);
  } else if (shelf.putsSinceTake <= 2 * shelf.room || shelf.room == least) {
    shelf.overflowed.store(true, std::memory_order_relaxed);
    leaving[leavingCount++] = batch;
  } else {
    // Twice its room put since the last take: the room halves, the oldest batches (at the
    // bottom) stay and the newest leave with this one.
    shelf.putsSinceTake = 0;
    shelf.room = shelf.room / 2 > least ? shelf.room / 2 : least;
    while (used > shelf.room && leavingCount < kMostLeaving)
      leaving[leavingCount++] = slots[--used];
    leaving[leavingCount++] = batch;
    shelf.used.store(used, std::memory_order_relaxed);
  }
  pal::lockLeave(shelf.lock);
  if (leavingCount == 0) return;
  Heap* heap = processHeap();
  HeapLockGuard guard(*heap);
  std::size_t blocks = 0;
  for (std::uint32_t index = 0; index < leavingCount; ++index) {
    freeInHeap(*heap, leaving[index]);
    blocks += leaving[index].count;
  }
  noteHeapTraffic(*heap, blocks * payloadOfClass(sizeClass));
}

Batch depotTake(std::size_t sizeClass) {
  Shelf& shelf = shelves[sizeClass];
  // Read without the lock first: an empty shelf, the common case of a thread that allocates more
  // than it frees, costs no lock unless the shelf overflowed since. A batch put a moment later is
  // only found next time.
  if (shelf.used.load(std::memory_order_relaxed) == 0 &&
      !shelf.overflowed.load(std::memory_order_relaxed)) {
    return {nullptr, 0};
  }
  pal::lockEnter(shelf.lock);
  Batch batch{nullptr, 0};
  if (const std::uint32_t used = shelf.used.load(std::memory_order_relaxed); used != 0) {
    batch = shelved[sizeClass][used - 1];
    shelf.used.store(used - 1, std::memory_order_relaxed);
    shelf.putsSinceTake = 0;
  } else if (shelf.overflowed.load(std::memory_order_relaxed)) {
    // Empty, and asked for, after Blocks of the class went to the engine for want of room.
    const std::uint32_t most = mostShelfBatches(sizeClass);
    shelf.room = shelf.room * 2 < most ? shelf.room * 2 : most;
    shelf.overflowed.store(false, std::memory_order_relaxed);
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
  for (std::size_t sizeClass = 0; sizeClass < kClasses; ++sizeClass) {
    Shelf& shelf = shelves[sizeClass];
    shelf.lock = pal::lockCreateIn(shelf.lockStorage);
    shelf.room = sizeClass >= kFirstClass ? shelfBatches(sizeClass) : 0;
  }
}

}  // namespace velk::shim
