// The per-thread front cache: Blocks of each class (size_classes.h) that a thread freed or took
// in a batch, kept on a thread-local list so that the next malloc of that class takes neither a
// lock nor a bin search. A cached Block is still an allocated Block to the heap, so every heap
// figure stays exact. Slots of the smallest classes (runs.h) are cached the same way, and called
// Blocks here too: what is said of links and checks holds for them alike.
//
// A list holds at most `limit` Blocks. Limits start at one batch and double each time the list
// runs dry and must be refilled, so a thread that allocates thousands of one size before freeing
// them caches thousands, up to a budget for the thread; a list that runs over passes a batch to
// the depot (depot.h). (A thread that exits leaves each list whole, as one batch: the thread that
// takes it may hold more than its limit for a while, and passes a batch on at each free until it
// is back within it.) A Block freed by a thread other than the one that made it joins the
// freeing thread's list like any other: a remote free costs what a local one does. Only a thread
// that has never allocated from the class gathers such Blocks for the depot instead, so that its
// own objects do not come to share cache lines with another thread's; it keeps them in the order
// it freed them and gives each a look-ahead hint (below).
//
// A cached Block holds the list's link in its first unit and, in its second, a check derived from
// the link, the Block's own address, its class and cacheKey (linkCheck). A program that writes into
// a payload after freeing it (any bytes, anywhere) can break the pair, never forge it: a link is
// followed only after its check holds, so a damaged one is seen before it is used, counted in
// velk_malloc_damage_found, and the list ends there. The Block that held it and the Blocks behind
// it stay allocated Blocks that no one will hand out, never handed out twice: a broken pair may
// also be a Block freed a second time after a write broke its check, whose first free put it on the
// list already (and perhaps in front of this very take), so it is not handed out either. malloc
// clears the check, so a free that finds the pair whole is freeing a Block that is cached already:
// it is ignored, as the heap ignores a Block freed twice.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "depot.h"
#include "size_classes.h"

// How much damage the shim found and survived: in its own lists (a link and its check that
// disagree, where a program wrote into a payload after freeing it), and in the heap (headers and
// links put right from its record, where a program wrote past a payload or into a freed one; the
// arenas counted with it).
// Exported under this C name for a debugger, a test (dlsym), or any reader of the process.
extern "C" std::size_t velk_malloc_damage_found();

namespace velk::shim {

// Damage found in the lists (velk_malloc_damage_found adds the heap's).
extern std::atomic<std::size_t> listDamageFound;

struct CachedBlock {
  CachedBlock* next;
  Word check;
};

// A batch that one thread gathers for another (the Blocks it frees of a class it does not
// allocate) also keeps, in the third unit of every Block that has one, the address of the Block
// kLookAhead places further down the chain. The thread that takes the batch starts that Block's
// line on its way as it takes this one: its links were written on another processor, and a chain
// walked one link at a time waits for each. The address is a hint and nothing more: it is only
// ever prefetched, never followed, so a program that writes over it after a free changes what is
// prefetched and nothing else. Classes whose payload holds only the link and its check keep none.
inline constexpr std::uint32_t kLookAhead = 4;
inline constexpr std::size_t kFirstClassAhead = [] {
  std::size_t sizeClass = kFirstClass;
  while (payloadOfClass(sizeClass) < 3 * sizeof(Word)) ++sizeClass;
  return sizeClass;
}();
inline const void*& aheadOf(CachedBlock* block) {
  return *reinterpret_cast<const void**>(reinterpret_cast<Word*>(block) + 2);
}

// Random, chosen once per process while the heap is built.
extern Word cacheKey;

// The check a cached Block of `sizeClass` keeps beside its link: the link, the Block's address,
// the class and the secret key, combined. Three instructions on every take and free. Bytes
// written over the pair can only make it whole again by writing the key, which nothing outside
// the process's memory shows. The class is part of it because memory is recycled: a Block handed
// out twice (freed twice, its check broken in between) may go back to the heap while a list still
// links to it, and be carved again at the same address as a Block of another class, whose own
// list writes a whole pair there. Followed from the first list, that pair would hand out a small
// Block as a large one; bound to the class, it does not hold there.
inline Word linkCheck(const CachedBlock* next, const CachedBlock* block, std::size_t sizeClass) {
  return reinterpret_cast<Word>(next) ^ reinterpret_cast<Word>(block) ^ cacheKey ^ sizeClass;
}
// Whether `block`, reached by a link of a list of `sizeClass` that held, holds a link that can be
// followed.
inline bool linkHolds(const CachedBlock* block, std::size_t sizeClass) {
  return block->check == linkCheck(block->next, block, sizeClass);
}
// Makes `block` a link of a list of `sizeClass` to `next`.
inline void link(CachedBlock* block, CachedBlock* next, std::size_t sizeClass) {
  block->next = next;
  block->check = linkCheck(next, block, sizeClass);
}
inline void noteDamage() {
  listDamageFound.fetch_add(1, std::memory_order_relaxed);
}

struct CacheList {
  CachedBlock* head;
  std::uint32_t count;
  // 0 until the thread first allocates from the class, and again once it exits: every free then
  // takes the slow path.
  std::uint32_t limit;
};

struct ThreadCache {
  CacheList lists[kClasses];
  // Blocks of classes the thread has not allocated, gathered for the depot, and the last
  // kLookAhead of each (by count modulo kLookAhead), to which sendAway gives their hints.
  Batch outgoing[kClasses];
  CachedBlock* outgoingLast[kClasses][kLookAhead];
  // Bytes of list limits above one batch each, held to kGrowthBudget, and the growths refused
  // since the lists last gave back.
  std::size_t grownBytes;
  std::uint32_t refusedGrowths;
  // Whether the last free that the thread's lists did not take went towards the depot: a
  // consumer's, of a Block another thread made and wrote last.
  bool freesForOthers;
  enum class State : std::uint8_t { kFresh, kActivating, kActive, kExited } state;
};

extern __thread ThreadCache threadCache;

// Slow paths: a list that is empty, over its limit, or not open yet.
void* refillAndTake(std::size_t sizeClass);
// takeAligned's: the list of `sizeClass` opened (or grown, when empty) and refilled, and one of its
// Blocks aligned to `align` for the caller. The refill is a batch from the depot when the list is
// empty, else or then, if the class's footprint is a multiple of `align`, a batch carved with every
// payload aligned. Null where that finds none, or the thread's lists cannot be used: the caller
// then asks the heap for one Block of the class, aligned, which goes to the list when freed.
void* refillAlignedAndTake(std::size_t sizeClass, std::size_t align);
void keepOrPass(void* payload, std::size_t sizeClass);
// In a child of fork, where only the calling thread goes on: the others' lists are gone, and so
// is what they held of the process's budget.
void forgetOtherThreadsGrowth();
// Creates the key whose destructor hands a thread's Blocks on when it exits; called once while
// the heap is being built.
void prepareThreadCaches();

// The take of a Block whose link is damaged: counted, the list emptied, and null (the caller
// refills). Inline, so that the fast path calls nothing and needs no stack frame.
inline void* takeDamaged(CacheList& list) {
  noteDamage();
  list.head = nullptr;
  list.count = 0;
  return nullptr;
}

// The fast halves: a Block of the class from the thread's list, or null.
inline void* takeCached(std::size_t sizeClass) {
  CacheList& list = threadCache.lists[sizeClass];
  CachedBlock* block = list.head;
  if (block == nullptr) [[unlikely]]
    return nullptr;
  CachedBlock* next = block->next;
  if (block->check != linkCheck(next, block, sizeClass)) [[unlikely]]
    return takeDamaged(list);
  list.head = next;
  list.count -= 1;
  block->check = 0;
  // The next take reads that Block's link, which another thread may have written last (a batch
  // freed by a consumer): its line starts on its way now, while the caller fills this one, and so
  // does the line of the Block kLookAhead takes ahead when this one holds a hint.
  __builtin_prefetch(next, 1);
  if (sizeClass >= kFirstClassAhead) __builtin_prefetch(aheadOf(block), 1);
  return block;
}

// A Block of `sizeClass` whose payload is aligned to `align`, if the thread's list has one in
// front (a Block freed by a request like this one, or carved for one), else null.
inline void* takeAligned(std::size_t sizeClass, std::size_t align) {
  const CachedBlock* head = threadCache.lists[sizeClass].head;
  if (head == nullptr || (reinterpret_cast<std::uintptr_t>(head) & (align - 1)) != 0)
    return nullptr;
  return takeCached(sizeClass);
}

// Puts `payload`, an allocated payload whose Block belongs to `sizeClass`, on the thread's list;
// false when the slow path must decide.
inline bool keepCached(void* payload, std::size_t sizeClass) {
  auto* block = static_cast<CachedBlock*>(payload);
  CacheList& list = threadCache.lists[sizeClass];
  if (list.count >= list.limit || linkHolds(block, sizeClass)) [[unlikely]]
    return false;
  CachedBlock* head = list.head;
  const Word check = linkCheck(head, block, sizeClass);  // before the stores: one load of the key
  block->next = head;
  block->check = check;
  list.head = block;
  list.count += 1;
  return true;
}

}  // namespace velk::shim
