#include "thread_cache.h"

#include <pthread.h>

namespace velk::shim {

__thread ThreadCache threadCache;

namespace {

pthread_key_t exitKey;
bool exitKeyMade;

// An over-aligned address carries the payload it was cut from in front of it.
void* payloadBehind(void* address) {
  const Block* tag = Block::ofPayload(address);
  return tag->sizeAndFlag == kEndMarker ? static_cast<void*>(tag->prevBlock) : address;
}

void push(CacheList& cached, void* payload) {
  auto* block = static_cast<CachedBlock*>(payload);
  block->next = cached.head;
  cached.head = block;
  cached.count += 1;
}

// The heap lock is held.
void giveBack(Heap& heap, CacheList& cached, std::uint32_t count) {
  for (; count != 0 && cached.head != nullptr; --count) {
    CachedBlock* block = cached.head;
    cached.head = block->next;
    cached.count -= 1;
    heap.deallocate(block);
  }
}

// The depot: a few batches of Blocks per list that one thread's overflow left for another
// thread's refill, so that Blocks handed from a producing to a consuming thread need not go back
// through the bins. Batches are chains already linked through `next`. Guarded by the heap lock;
// bounded to kDepotBatches half-lists per list, beyond which Blocks go back to the heap.
constexpr std::uint32_t kDepotBatches = 4;
struct Batch {
  CachedBlock* head;
  std::uint32_t count;
};
struct DepotShelf {
  Batch batches[kDepotBatches];
  std::uint32_t used;
};
DepotShelf depot[kCachedLists];

// Cuts the first `count` Blocks off a list, which holds more than that.
Batch cut(CacheList& cached, std::uint32_t count) {
  Batch batch{cached.head, count};
  CachedBlock* last = cached.head;
  for (std::uint32_t index = 1; index < count; ++index) last = last->next;
  cached.head = last->next;
  cached.count -= count;
  last->next = nullptr;
  return batch;
}

// The heap lock is held.
void shelveOrGiveBack(Heap& heap, std::size_t list, CacheList& cached, std::uint32_t count) {
  DepotShelf& shelf = depot[list];
  if (shelf.used < kDepotBatches) {
    shelf.batches[shelf.used++] = cut(cached, count);
    return;
  }
  giveBack(heap, cached, count);
}

// The heap lock is held: frees what the cache keeps no room for, and trims overfull lists.
void settleLocked(Heap& heap, ThreadCache& cache, void* const* forHeap, std::uint32_t forHeapCount,
                  bool overfull) {
  for (std::uint32_t index = 0; index < forHeapCount; ++index) heap.deallocate(forHeap[index]);
  if (!overfull) return;
  for (std::size_t list = 1; list < kCachedLists; ++list) {
    CacheList& cached = cache.lists[list];
    if (cached.count > listLimit(list))
      shelveOrGiveBack(heap, list, cached, cached.count - listLimit(list) / 2);
  }
}

// Sorts the noted frees onto their lists; what cannot be cached, and the older half of any list
// that ran over its limit, goes back to the heap in one hold of the lock.
// `lockedHeap` is the heap when the caller holds its lock already.
void settlePending(ThreadCache& cache, Heap* lockedHeap = nullptr) {
  const std::uint32_t count = cache.pendingCount;
  cache.pendingCount = 0;
  for (std::uint32_t index = 0; index < count; ++index) {
    __builtin_prefetch(Block::ofPayload(cache.pending[index]));
  }
  void* forHeap[kPendingFrees];
  std::uint32_t forHeapCount = 0;
  bool overfull = false;
  for (std::uint32_t index = 0; index < count; ++index) {
    void* payload = payloadBehind(cache.pending[index]);
    const Block* block = Block::ofPayload(payload);
    const std::size_t list = listOfPayload(block->payloadBytes());
    if (list != 0 && block->isAllocated() &&
        reinterpret_cast<std::uintptr_t>(payload) % kMallocAlign == 0) {
      push(cache.lists[list], payload);
      overfull |= cache.lists[list].count > listLimit(list);
    } else {
      forHeap[forHeapCount++] = payload;
    }
  }
  if (forHeapCount == 0 && !overfull) return;
  Heap* heap = lockedHeap != nullptr ? lockedHeap : processHeap();
  if (lockedHeap == nullptr) heap->lock();
  settleLocked(*heap, cache, forHeap, forHeapCount, overfull);
  if (lockedHeap == nullptr) heap->unlock();
}

// Runs when a thread that used its cache exits. Later calls from this thread (other keys'
// destructors) go straight to the heap.
void flushOnExit(void*) {
  ThreadCache& cache = threadCache;
  cache.state = CacheState::kExited;
  Heap* heap = processHeap();
  HeapLockGuard guard(*heap);
  for (std::uint32_t index = 0; index < cache.pendingCount; ++index) {
    heap->deallocate(payloadBehind(cache.pending[index]));
  }
  cache.pendingCount = 0;
  for (CacheList& cached : cache.lists) giveBack(*heap, cached, cached.count);
}

// A thread's first slow path registers the exit hook; without it the cache stays unused.
bool activate(ThreadCache& cache) {
  if (cache.state == CacheState::kActive) return true;
  if (cache.state != CacheState::kFresh || !exitKeyMade) return false;
  // Registering may allocate, and that allocation must not try to register again.
  cache.state = CacheState::kActivating;
  cache.state =
      pthread_setspecific(exitKey, &cache) == 0 ? CacheState::kActive : CacheState::kFresh;
  return cache.state == CacheState::kActive;
}

}  // namespace

void prepareThreadCaches() {
  exitKeyMade = pthread_key_create(&exitKey, flushOnExit) == 0;
}

void settleNow(Heap* lockedHeap) {
  if (threadCache.state == CacheState::kActive) settlePending(threadCache, lockedHeap);
}

void releaseToHeap(void* payload) {
  Heap* heap = processHeap();
  HeapLockGuard guard(*heap);
  heap->deallocate(payloadBehind(payload));
}

void releaseSlowly(void* payload) {
  ThreadCache& cache = threadCache;
  // Activation may allocate (thread-specific storage beyond the first keys): not under the lock.
  if (!activate(cache)) {
    releaseToHeap(payload);
    return;
  }
  settlePending(cache);
  cache.pending[cache.pendingCount++] = payload;
}

// Settles the noted frees, which may fill the list; otherwise takes a batch from the depot, or
// half a list's worth of Blocks from the heap in one hold of the lock, one for the caller and the
// rest cached. Carved one after another from the same free Block, they usually lie side by side.
void* refillAndTake(std::size_t list) {
  Heap* heap = processHeap();
  if (heap == nullptr) return bootstrapAllocate(payloadOfList(list));
  ThreadCache& cache = threadCache;
  const bool caching = activate(cache);
  CacheList& cached = cache.lists[list];
  if (caching && cache.pendingCount != 0) {
    settlePending(cache);
    if (CachedBlock* block = cached.head) {
      cached.head = block->next;
      cached.count -= 1;
      return block;
    }
  }
  const std::size_t payload = payloadOfList(list);
  HeapLockGuard guard(*heap);
  DepotShelf& shelf = depot[list];
  if (caching && shelf.used != 0) {
    const Batch batch = shelf.batches[--shelf.used];
    cached.head = batch.head->next;
    cached.count = batch.count - 1;
    return batch.head;
  }
  void* taken = heap->allocate(payload, kEngineAlign);
  if (taken == nullptr || !caching) return taken;
  for (std::uint32_t extra = listLimit(list) / 2; extra > 1; --extra) {
    void* block = heap->allocate(payload, kEngineAlign);
    if (block == nullptr) break;
    push(cached, block);
  }
  return taken;
}

}  // namespace velk::shim
