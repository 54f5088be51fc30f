#include "depot.h"

#include <atomic>

#include "arenas.h"
#include "pal/pal.h"
#include "process_heap.h"
#include "runs.h"
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
// The room a shelf of Blocks up to 4 KiB may grow to: 32 MiB of them, at most 8,192 batches. A
// shelf grows while a burst of frees runs over it: a thread that drops a structure of a hundred
// thousand objects of one size (an interpreter's collection, a parse tree, a batch of rows) and
// then builds the next one takes them back from here, where through the heap each would be
// merged, filed, searched for and carved again, several times the cost of the free and the malloc
// themselves. Consumers that fall behind a producer free whole queues in one stretch the same way.
// Larger Blocks keep their first room: for them the heap's work is small beside the bytes, and
// shelves of buffers would hold many MiB apiece.
constexpr std::size_t kMostShelfBytes = std::size_t{32} << 20;
constexpr std::uint32_t kMostBatches = 8192;
// The most batches one put sends to the engine when a shelf's room halves; the rest beyond the
// room leave with later puts, or are taken.
constexpr std::uint32_t kMostLeaving = 128;
constexpr std::uint32_t mostShelfBatches(std::size_t sizeClass) {
  const std::size_t byBytes =
      kMostShelfBytes / (batchOfClass(sizeClass) * footprintOfClass(sizeClass));
  const std::uint32_t least = shelfBatches(sizeClass);
  if (footprintOfClass(sizeClass) > kLargestBurstFootprint) return least;
  return static_cast<std::uint32_t>(byBytes < least          ? least
                                    : byBytes > kMostBatches ? kMostBatches
                                                             : byBytes);
}

// A shelf's room follows what is put and taken. A batch that finds the shelf full doubles its
// room (up to the most) as long as no more than twice the room was put since anyone last took
// from it: a burst, whose Blocks the freeing thread or another will want again. A full shelf that
// has been given twice its room since the last take holds Blocks no one wants: its room halves
// (to no less than it started with) and the batches beyond go back to the engine, so that idle
// Blocks serve other sizes again. And whenever the heap has to grow, every shelf gives back what
// it holds and starts again from its first room (depotGiveBack): Blocks parked here never make the
// process take memory it already has.
//
// The shelves' locks and counts lie together, one cache line each, so that threads busy with
// different classes do not share one; their batches lie apart, touched only as they fill.
struct alignas(64) Shelf {
  pal::LockStorage lockStorage;
  pal::Lock* lock;
  // Changed under the lock only; read without it to skip an empty shelf.
  std::atomic<std::uint32_t> used;
  std::uint32_t room;
  // Batches put since one was last taken.
  std::uint32_t putsSinceTake;
};
Shelf shelves[kClasses];
Batch shelved[kClasses][kMostBatches];

// Frees the Blocks of `count` batches of `sizeClass` in the heap, or returns the slots to their
// runs, in one hold of its lock. A damaged link ends a batch's walk at the Block that holds it
// (thread_cache.h), and so does the batch's count: a Block freed twice, its check broken in
// between, may close the links into a ring whose every pair holds.
void freeInHeap(const Batch* batches, std::uint32_t count, std::size_t sizeClass) {
  if (count == 0) return;
  const std::size_t payload = payloadOfClass(sizeClass);
  // Blocks of classes above the arena line may come from any heap: each goes back to its own,
  // and the lock held changes when the heap does.
  const bool anyHeap = payload > kLeastArenaRequest;
  Heap* held = processHeap();
  held->lock();
  std::size_t blocks = 0;
  for (std::uint32_t index = 0; index < count; ++index) {
    std::uint32_t left = batches[index].count;
    for (auto* block = static_cast<CachedBlock*>(batches[index].head);
         block != nullptr && left != 0; --left) {
      CachedBlock* next = block->next;
      if (!linkHolds(block, sizeClass)) [[unlikely]] {
        noteDamage();
        next = nullptr;
      }
      Heap* heap = anyHeap ? holderOf(block).heap : held;
      if (heap != held && heap != nullptr) {
        noteHeapTraffic(*held, blocks * payload);
        held->unlock();
        blocks = 0;
        held = heap;
        held->lock();
      }
      if (isSlotClass(sizeClass)) {
        returnSlot(*held, block, sizeClass);
      } else if (heap != nullptr) {
        held->deallocate(block);
      }
      blocks += 1;
      block = next;
    }
  }
  noteHeapTraffic(*held, blocks * payload);
  held->unlock();
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
  const std::uint32_t most = mostShelfBatches(sizeClass);
  shelf.putsSinceTake += 1;
  const bool burst = shelf.putsSinceTake <= 2 * shelf.room;
  if (used == shelf.room && burst && shelf.room < most) {
    shelf.room = shelf.room * 2 < most ? shelf.room * 2 : most;
  }
  if (used < shelf.room) {
    slots[used] = batch;
    shelf.used.store(used + 1, std::memory_order_relaxed);
  } else if (burst || shelf.room == least) {
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
  freeInHeap(leaving, leavingCount, sizeClass);
}

Batch depotTake(std::size_t sizeClass) {
  Shelf& shelf = shelves[sizeClass];
  // Read without the lock first: an empty shelf, the common case of a thread that allocates more
  // than it frees, costs no lock. A batch put a moment later is only found next time.
  if (shelf.used.load(std::memory_order_relaxed) == 0) return {nullptr, 0};
  pal::lockEnter(shelf.lock);
  Batch batch{nullptr, 0};
  if (const std::uint32_t used = shelf.used.load(std::memory_order_relaxed); used != 0) {
    batch = shelved[sizeClass][used - 1];
    shelf.used.store(used - 1, std::memory_order_relaxed);
    shelf.putsSinceTake = 0;
  }
  pal::lockLeave(shelf.lock);
  return batch;
}

void depotGiveBack() {
  for (std::size_t sizeClass = kFirstClass; sizeClass < kClasses; ++sizeClass) {
    Shelf& shelf = shelves[sizeClass];
    if (shelf.used.load(std::memory_order_relaxed) == 0) continue;
    // A few at a time, each lock held alone: threads may put and take meanwhile.
    for (bool more = true; more;) {
      Batch leaving[kMostLeaving];
      std::uint32_t leavingCount = 0;
      pal::lockEnter(shelf.lock);
      std::uint32_t used = shelf.used.load(std::memory_order_relaxed);
      while (used != 0 && leavingCount < kMostLeaving)
        leaving[leavingCount++] = shelved[sizeClass][--used];
      shelf.used.store(used, std::memory_order_relaxed);
      shelf.room = shelfBatches(sizeClass);
      shelf.putsSinceTake = 0;
      more = used != 0;
      pal::lockLeave(shelf.lock);
      freeInHeap(leaving, leavingCount, sizeClass);
    }
  }
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
