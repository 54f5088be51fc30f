// The per-thread front cache: Blocks of each class (size_classes.h) that a thread freed or took
// in a batch, kept on a thread-local list so that the next malloc of that class takes neither a
// lock nor a bin search. A cached Block is still an allocated Block to the heap, so every heap
// figure stays exact.
//
// A list holds at most `limit` Blocks. Limits start at one batch and double each time the list
// runs dry and must be refilled, so a thread that allocates thousands of one size before freeing
// them caches thousands, up to a budget for the thread; a list that runs over passes a batch to
// the depot (depot.h). A Block freed by a thread other than the one that made it joins the
// freeing thread's list like any other: a remote free costs what a local one does. Only a thread
// that has never allocated from the class gathers such Blocks for the depot instead, so that its
// own objects do not come to share cache lines with another thread's.
//
// A cached Block holds the list's link in its first unit and cacheKey in its second. malloc
// clears the key, so a free that finds it is freeing a Block that is cached already: it is
// ignored, as the heap ignores a Block freed twice.
#pragma once

#include <cstddef>
#include <cstdint>

#include "depot.h"
#include "size_classes.h"

namespace velk::shim {

struct CachedBlock {
  CachedBlock* next;
  Word key;
};

struct CacheList {
  CachedBlock* head;
  std::uint32_t count;
  // 0 until the thread first allocates from the class, and again once it exits: every free then
  // takes the slow path.
  std::uint32_t limit;
};

struct ThreadCache {
  CacheList lists[kClasses];
  // Blocks of classes the thread has not allocated, gathered for the depot.
  Batch outgoing[kClasses];
  // Bytes of list limits above one batch each, held to kGrowthBudget, and the growths refused
  // since the lists last gave back.
  std::size_t grownBytes;
  std::uint32_t refusedGrowths;
  enum class State : std::uint8_t { kFresh, kActivating, kActive, kExited } state;
};

extern __thread ThreadCache threadCache;
// Random, chosen once per process while the heap is built.
extern Word cacheKey;

// Slow paths: a list that is empty, over its limit, or not open yet.
void* refillAndTake(std::size_t sizeClass);
void keepOrPass(void* payload, std::size_t sizeClass);
// Creates the key whose destructor hands a thread's Blocks on when it exits; called once while
// the heap is being built.
void prepareThreadCaches();

// The fast halves: a Block of the class from the thread's list, or null.
inline void* takeCached(std::size_t sizeClass) {
  CacheList& list = threadCache.lists[sizeClass];
  CachedBlock* block = list.head;
  if (block == nullptr) [[unlikely]]
    return nullptr;
  list.head = block->next;
  list.count -= 1;
  block->key = 0;
  return block;
}

// Puts `payload`, an allocated payload whose Block belongs to `sizeClass`, on the thread's list;
// false when the slow path must decide.
inline bool keepCached(void* payload, std::size_t sizeClass) {
  auto* block = static_cast<CachedBlock*>(payload);
  CacheList& list = threadCache.lists[sizeClass];
  const Word key = cacheKey;
  if (list.count >= list.limit || block->key == key) [[unlikely]]
    return false;
  block->next = list.head;
  block->key = key;
  list.head = block;
  list.count += 1;
  return true;
}

}  // namespace velk::shim
