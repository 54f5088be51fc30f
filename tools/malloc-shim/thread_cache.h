// The per-thread front cache: small Blocks a thread freed, kept on thread-local lists by size so
// that the next malloc of that size takes neither the heap lock nor a bin search. A cached Block
// is still an allocated Block to the heap, so every heap figure stays exact; each list is bounded,
// overflows go back to the heap in batches, and a thread's Blocks go back when it exits.
//
// free() does not even read the Block's header: that read is a cache miss whenever the program
// frees memory it has not touched lately, and everything after it would wait for it. The pointer
// is only noted; every kPendingFrees frees the headers of the noted Blocks are read together (the
// misses overlap) and the Blocks are sorted onto their lists. Any malloc that misses its list
// settles the noted frees first, so no Block waits while the heap is asked for more.
#pragma once

#include <cstddef>
#include <cstdint>

#include "heap/block.h"
#include "process_heap.h"

namespace velk::shim {

// Lists by payload in steps of kMallocAlign: list i holds Blocks of at least i * 16 payload bytes
// beyond the header slack, so it serves every request that requestSize() maps to i.
inline constexpr std::size_t kCachedLists = 65;
inline constexpr std::size_t kLargestCachedRequest = (kCachedLists - 1) * kMallocAlign;
inline constexpr std::uint32_t kPendingFrees = 32;

constexpr std::size_t listOfRequest(std::size_t bytes) {
  const std::size_t list = requestSize(bytes) / kMallocAlign;
  return list == 0 ? 1 : list;
}
constexpr std::size_t payloadOfList(std::size_t list) {
  return list * kMallocAlign + kHeaderSlack;
}
// The list a freed Block of `payloadBytes` can go to, or 0 when it is not cached.
constexpr std::size_t listOfPayload(std::size_t payloadBytes) {
  if (payloadBytes < payloadOfList(1)) return 0;
  const std::size_t list = (payloadBytes - kHeaderSlack) / kMallocAlign;
  return list < kCachedLists ? list : 0;
}
// At most 8 KiB per list, and between 8 and 64 Blocks: a thread caches half a megabyte at most.
constexpr std::uint32_t listLimit(std::size_t list) {
  const std::size_t byBytes = 8192 / payloadOfList(list);
  return static_cast<std::uint32_t>(byBytes < 8 ? 8 : byBytes > 64 ? 64 : byBytes);
}

struct CachedBlock {
  CachedBlock* next;
};

struct CacheList {
  CachedBlock* head;
  std::uint32_t count;
};

enum class CacheState : std::uint8_t { kFresh, kActivating, kActive, kExited };

struct ThreadCache {
  CacheState state;
  std::uint32_t pendingCount;
  void* pending[kPendingFrees];
  CacheList lists[kCachedLists];
};

extern __thread ThreadCache threadCache;

// Slow paths.
void* refillAndTake(std::size_t list);
void releaseSlowly(void* payload);
// Frees one payload of the heap (or an over-aligned address in one) under the heap lock.
void releaseToHeap(void* payload);
void settleNow(Heap* lockedHeap);
// Creates the key whose destructor hands a thread's Blocks back; called once while the heap is
// being built.
void prepareThreadCaches();

inline void* cacheAllocate(std::size_t bytes) {
  const std::size_t list = listOfRequest(bytes);
  CacheList& cached = threadCache.lists[list];
  if (CachedBlock* block = cached.head) [[likely]] {
    cached.head = block->next;
    cached.count -= 1;
    return block;
  }
  return refillAndTake(list);
}

// Called before the heap is asked for memory, so that no noted free waits while it grows;
// `lockedHeap` is the heap when the caller holds its lock, else null.
inline void settleNotedFrees(Heap* lockedHeap) {
  if (threadCache.pendingCount != 0) settleNow(lockedHeap);
}

// `payload` lies in the heap: a payload it made or an over-aligned address inside one.
inline void cacheRelease(void* payload) {
  ThreadCache& cache = threadCache;
  if (cache.state == CacheState::kActive && cache.pendingCount < kPendingFrees) [[likely]] {
    cache.pending[cache.pendingCount++] = payload;
    return;
  }
  releaseSlowly(payload);
}

}  // namespace velk::shim
