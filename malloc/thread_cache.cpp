#include "thread_cache.h"

#include <pthread.h>

#include "arenas.h"
#include "depot.h"
#include "runs.h"

namespace velk::shim {

std::atomic<std::size_t> listDamageFound{0};

__thread ThreadCache threadCache;
Word cacheKey;

namespace {

// How many Blocks a refill carves out of the engine at once: 8 KiB worth, at most a batch. Larger
// Blocks come one at a time, from the hole that fits them best, where a batch would need one
// Block big enough for all of them and leave the holes unused.
constexpr std::uint32_t carveOfClass(std::size_t sizeClass) {
  const std::size_t byBytes = 8192 / footprintOfClass(sizeClass);
  const std::uint32_t batch = batchOfClass(sizeClass);
  return byBytes < 1 ? 1 : byBytes > batch ? batch : static_cast<std::uint32_t>(byBytes);
}

// What the lists of one thread may grow beyond one batch each, together. Only Blocks a thread
// freed and has not yet allocated again are held against it, and a list grows only when it ran
// dry, so the budget fills only where a thread's use of many sizes swings: 2 threads each keeping
// 16 MiB of objects of every size up to 32 KiB refill a list on 7% of their mallocs with 4 MiB,
// on 1.5% with this. A 32-bit process, with a few GiB for everything and perhaps hundreds of
// threads, keeps to 4 MiB.
constexpr std::size_t kGrowthBudget = std::size_t{sizeof(void*) == 8 ? 16 : 4} << 20;
// What the lists of all threads may grow, together: a process of many threads keeps to this
// whatever each of them does. Changed by each thread for itself: when its lists grow, when they
// give back half, and when it exits.
constexpr std::size_t kProcessGrowthBudget = 4 * kGrowthBudget;
std::atomic<std::size_t> processGrownBytes{0};

// The most Blocks a list may grow to, at least one batch and at most 16,384: Blocks of up to
// 4 KiB as many as the whole budget holds, so that a thread that makes and drops ten thousand
// small objects at a time (a parse tree, a batch of rows) keeps them all; larger ones 1 MiB of
// them, so that the budget spreads over the many sizes of large buffers a thread may churn.
// 10,000 allocations of 1 KiB, then their frees, cost a quarter of the instructions they did with
// 1 MiB for every list (each round trip of the rest went through the depot and the engine).
constexpr std::uint32_t mostOfClass(std::size_t sizeClass) {
  const std::size_t footprint = footprintOfClass(sizeClass);
  const std::size_t most =
      footprint <= kLargestBurstFootprint ? kGrowthBudget : std::size_t{1} << 20;
  const std::size_t byBytes = most / footprint;
  const std::size_t least = batchOfClass(sizeClass);
  return static_cast<std::uint32_t>(byBytes < least ? least : byBytes > 16384 ? 16384 : byBytes);
}

// How many growths a spent budget refuses before every list gives back half. Rarely: giving back
// is work in the depot and the heap, and a thread whose lists together want more than the budget
// (random sizes up to 32 KiB) would otherwise spend its time giving back and growing again, and
// scatter its Blocks doing so.
constexpr std::uint32_t kRefusalsBeforeShrinking = 16384;

pthread_key_t exitKey;
bool exitKeyMade;

using State = ThreadCache::State;

void push(CacheList& list, CachedBlock* block, std::size_t sizeClass) {
  link(block, list.head, sizeClass);
  list.head = block;
  list.count += 1;
}

// Cuts the first `count` Blocks off a list that holds at least that many. A damaged link on the
// way ends the batch at the Block that holds it and empties the list: what lay behind is lost. So
// does a list that ends before its count: a Block freed twice, its check broken in between, lies
// on it twice, and a cut that took it once may have ended the list behind it.
Batch cut(CacheList& list, std::uint32_t count, std::size_t sizeClass) {
  CachedBlock* first = list.head;
  if (first == nullptr) [[unlikely]] {
    noteDamage();
    list.count = 0;
    return {nullptr, 0};
  }
  CachedBlock* last = first;
  std::uint32_t taken = 1;
  for (;; ++taken) {
    if (!linkHolds(last, sizeClass) || (last->next == nullptr && taken != count)) [[unlikely]] {
      noteDamage();
      list.head = nullptr;
      list.count = 0;
      break;
    }
    if (taken == count) {
      list.head = last->next;
      list.count -= count;
      break;
    }
    last = last->next;
  }
  link(last, nullptr, sizeClass);
  return {first, taken};
}

// Passes everything beyond `keep` Blocks on to the depot, a batch at a time.
void trim(std::size_t sizeClass, CacheList& list, std::uint32_t keep) {
  while (list.count > keep) {
    const std::uint32_t excess = list.count - keep;
    const std::uint32_t batch = batchOfClass(sizeClass);
    const Batch cutOff = cut(list, excess < batch ? excess : batch, sizeClass);
    if (cutOff.count != 0) depotPut(sizeClass, cutOff);
  }
}

// Lets a list that ran dry hold twice as many Blocks, within the thread's budget. A spent budget
// refuses; only after many refusals does every list's limit halve (down to one batch), so that
// what a thread no longer uses gives way to what it does.
void grow(ThreadCache& cache, std::size_t sizeClass) {
  CacheList& list = cache.lists[sizeClass];
  const std::uint32_t most = mostOfClass(sizeClass);
  if (list.limit >= most) return;
  const std::uint32_t wanted = list.limit * 2 < most ? list.limit * 2 : most;
  const std::size_t cost = (wanted - list.limit) * footprintOfClass(sizeClass);
  const auto withinBudgets = [&] {
    return cache.grownBytes + cost <= kGrowthBudget &&
           processGrownBytes.load(std::memory_order_relaxed) + cost <= kProcessGrowthBudget;
  };
  if (!withinBudgets()) {
    if (++cache.refusedGrowths < kRefusalsBeforeShrinking) return;
    cache.refusedGrowths = 0;
    const std::size_t before = cache.grownBytes;
    cache.grownBytes = 0;
    for (std::size_t other = kFirstClass; other < kClasses; ++other) {
      CacheList& shrinking = cache.lists[other];
      if (shrinking.limit == 0) continue;  // not open
      const std::uint32_t batch = batchOfClass(other);
      shrinking.limit = shrinking.limit / 2 > batch ? shrinking.limit / 2 : batch;
      trim(other, shrinking, shrinking.limit);
      cache.grownBytes += (shrinking.limit - batch) * footprintOfClass(other);
    }
    processGrownBytes.fetch_sub(before - cache.grownBytes, std::memory_order_relaxed);
    if (!withinBudgets()) return;
  }
  cache.grownBytes += cost;
  processGrownBytes.fetch_add(cost, std::memory_order_relaxed);
  list.limit = wanted;
}

// Sends a Block this thread will not take up itself towards the depot, a batch at a time. The
// batch keeps the order of the frees, which is most often the order in which the thread that
// takes it next made them: a burst freed in the order of its making goes out again in that order,
// address after address, and whatever reads the new objects in turn reads memory in order.
[[gnu::always_inline]] inline void sendAway(ThreadCache& cache, std::size_t sizeClass,
                                            CachedBlock* block) {
  Batch& outgoing = cache.outgoing[sizeClass];
  CachedBlock** last = cache.outgoingLast[sizeClass];
  const std::uint32_t count = outgoing.count;
  link(block, nullptr, sizeClass);
  if (count == 0) [[unlikely]] {
    outgoing.head = block;
  } else {
    link(last[(count - 1) % kLookAhead], block, sizeClass);
  }
  if (sizeClass >= kFirstClassAhead) {
    aheadOf(block) = nullptr;
    if (count >= kLookAhead) aheadOf(last[count % kLookAhead]) = block;
  }
  last[count % kLookAhead] = block;
  outgoing.count = count + 1;
  if (count + 1 == batchOfClass(sizeClass)) [[unlikely]] {
    const Batch full = outgoing;
    outgoing = {nullptr, 0};
    depotPut(sizeClass, full);
  }
}

// Runs when a thread that used its cache exits: its Blocks go to the depot for the threads that
// stay, each list whole as one batch. Cutting it into batches would walk every link, and the
// lines of a long list freed long ago are out of the caches: exiting threads spent their last
// moments waiting on them. The thread that takes such a batch checks its links as it takes them,
// as it does any batch's, and passes on what it does not need as it frees. Later calls from this
// thread (other keys' destructors) go straight to the heap.
void flushOnExit(void*) {
  ThreadCache& cache = threadCache;
  cache.state = State::kExited;
  processGrownBytes.fetch_sub(cache.grownBytes, std::memory_order_relaxed);
  cache.grownBytes = 0;
  for (std::size_t sizeClass = kFirstClass; sizeClass < kClasses; ++sizeClass) {
    CacheList& list = cache.lists[sizeClass];
    list.limit = 0;
    if (list.count != 0) depotPut(sizeClass, {list.head, list.count});
    list.head = nullptr;
    list.count = 0;
    if (cache.outgoing[sizeClass].count != 0) depotPut(sizeClass, cache.outgoing[sizeClass]);
    cache.outgoing[sizeClass] = {nullptr, 0};
  }
}

// A thread's first slow path registers the exit hook; without it the cache stays unused.
bool activate(ThreadCache& cache) {
  if (cache.state == State::kActive) return true;
  if (cache.state != State::kFresh || !exitKeyMade) return false;
  // Registering may allocate, and that allocation must not try to register again.
  cache.state = State::kActivating;
  cache.state = pthread_setspecific(exitKey, &cache) == 0 ? State::kActive : State::kFresh;
  return cache.state == State::kActive;
}

}  // namespace

void forgetOtherThreadsGrowth() {
  processGrownBytes.store(threadCache.grownBytes, std::memory_order_relaxed);
}

void prepareThreadCaches() {
  exitKeyMade = pthread_key_create(&exitKey, flushOnExit) == 0;
}

// Carves `carve` Blocks of `sizeClass` side by side out of the heap in one hold of the lock, each
// payload aligned to `align` (which the class's footprint is a multiple of; every slot of a run
// keeps it); one Block for the caller, the rest put on `list`, the lowest address to go out first.
// A slot class whose run the heap cannot give serves the caller one Block of its own size, which
// goes back to the heap when freed.
void* carveAndTake(CacheList& list, std::size_t sizeClass, std::size_t align, std::uint32_t carve) {
  const std::size_t payload = payloadOfClass(sizeClass);
  void* carved[64];
  Heap* heap = lockHeapFor(payload);
  const std::size_t got = isSlotClass(sizeClass)
                              ? takeSlots(*heap, sizeClass, carved, carve)
                              : heap->allocateBatch(payload, align, carved, carve);
  void* alone = got == 0 && isSlotClass(sizeClass) ? heap->allocate(payload, align) : nullptr;
  const bool grew = noteHeapTraffic(*heap, got * payload);
  heap->unlock();
  if (grew) depotGiveBack();
  if (alone != nullptr) {
    static_cast<CachedBlock*>(alone)->check = 0;
    return alone;
  }
  if (got == 0) return nullptr;
  for (std::size_t index = got - 1; index > 0; --index) {
    push(list, static_cast<CachedBlock*>(carved[index]), sizeClass);
  }
  static_cast<CachedBlock*>(carved[0])->check = 0;
  return carved[0];
}

// Opens the list of `sizeClass` at its first refill, else lets it grow; returns how many Blocks
// to carve. A class's first refill carves a quarter as many: many threads use many sizes only a
// few times (at start, now and then), and Blocks carved for them would stay in their lists unused.
std::uint32_t openOrGrow(ThreadCache& cache, std::size_t sizeClass) {
  CacheList& list = cache.lists[sizeClass];
  const std::uint32_t carve = carveOfClass(sizeClass);
  if (list.limit == 0) {
    list.limit = batchOfClass(sizeClass);
    return carve < 4 ? 1 : carve / 4;
  }
  grow(cache, sizeClass);
  return carve;
}

void* refillAlignedAndTake(std::size_t sizeClass, std::size_t align) {
  if (processHeap() == nullptr) return nullptr;
  ThreadCache& cache = threadCache;
  if (!activate(cache)) return nullptr;
  noteRefill(payloadOfClass(sizeClass));
  CacheList& list = cache.lists[sizeClass];
  // The list is opened, or grows, only when it is empty: a list whose first Block is not aligned
  // has not run dry.
  const std::uint32_t carve =
      list.limit == 0 || list.head == nullptr ? openOrGrow(cache, sizeClass) : 0;
  // An empty list takes a batch from the depot first: Blocks that aligned requests of a class
  // made and freed are mostly aligned still. Else, or when the batch's first is not, a batch is
  // carved on top of what the list holds, if the class's footprint keeps the alignment.
  if (list.head == nullptr) {
    const Batch batch = depotTake(sizeClass);
    list.head = static_cast<CachedBlock*>(batch.head);
    list.count = batch.count;
    if (void* taken = takeAligned(sizeClass, align)) return taken;
  }
  if (footprintOfClass(sizeClass) % align != 0) return nullptr;
  return carveAndTake(list, sizeClass, align, carve != 0 ? carve : carveOfClass(sizeClass));
}

// Takes a batch from the depot, or carves one out of the heap in one hold of the lock; one Block
// for the caller, the rest cached. Carved side by side, a batch's Blocks share lines and pages.
// The first refill of a class opens its list.
void* refillAndTake(std::size_t sizeClass) {
  const std::size_t payload = payloadOfClass(sizeClass);
  if (processHeap() == nullptr) return bootstrapAllocate(payload);
  noteRefill(payload);
  ThreadCache& cache = threadCache;
  if (!activate(cache)) {
    Heap* heap = lockHeapFor(payload);
    void* taken = heap->allocate(payload, kEngineAlign);
    heap->unlock();
    return taken;
  }
  CacheList& list = cache.lists[sizeClass];
  const std::uint32_t carve = openOrGrow(cache, sizeClass);
  Batch batch = depotTake(sizeClass);
  if (batch.head == nullptr) return carveAndTake(list, sizeClass, kEngineAlign, carve);
  // The batch becomes the list; its links are checked as they are taken. A batch whose first link
  // is damaged is dropped, and the next one looked for.
  list.head = static_cast<CachedBlock*>(batch.head);
  list.count = batch.count;
  if (void* taken = takeCached(sizeClass)) [[likely]]
    return taken;
  return refillAndTake(sizeClass);
}

namespace {

// keepOrPass for a thread whose cache is not active yet (its first free) or no longer (it is
// exiting): the cache is opened if it can be, else the Block goes straight to the heap.
[[gnu::noinline]] void keepInactive(CachedBlock* block, std::size_t sizeClass) {
  ThreadCache& cache = threadCache;
  if (activate(cache)) return keepOrPass(block, sizeClass);
  if (isSlotClass(sizeClass)) {
    Heap& heap = *heapIfBuilt();
    HeapLockGuard guard(heap);
    returnSlot(heap, block, sizeClass);
  } else if (Heap* heap = holderOf(block).heap) {
    HeapLockGuard guard(*heap);
    heap->deallocate(block);
  }
}

// keepOrPass for an open list at its limit: a batch goes on to the depot first.
[[gnu::noinline]] void keepOverLimit(CacheList& list, CachedBlock* block, std::size_t sizeClass) {
  const Batch cutOff = cut(list, batchOfClass(sizeClass), sizeClass);
  if (cutOff.count != 0) depotPut(sizeClass, cutOff);
  push(list, block, sizeClass);
}

}  // namespace

// Every path ends in its last call, so that a consumer's free, which comes here every time,
// needs no stack frame.
void keepOrPass(void* payload, std::size_t sizeClass) {
  // A whole pair is a cached Block freed a second time, left where it is. (A live payload that
  // happens to hold one cannot be told from it; at worst it is never reused.)
  auto* block = static_cast<CachedBlock*>(payload);
  if (linkHolds(block, sizeClass)) return;
  ThreadCache& cache = threadCache;
  if (cache.state != State::kActive) [[unlikely]]
    return keepInactive(block, sizeClass);
  CacheList& list = cache.lists[sizeClass];
  // A class this thread has not allocated yet: the Block was made by another thread, so it goes
  // back by way of the depot rather than under this thread's objects (which would put two
  // threads' objects on one cache line). A consumer's every free comes here.
  cache.freesForOthers = list.limit == 0;
  if (list.limit == 0) [[likely]]
    return sendAway(cache, sizeClass, block);
  if (list.count >= list.limit) return keepOverLimit(list, block, sizeClass);
  push(list, block, sizeClass);
}

}  // namespace velk::shim

extern "C" __attribute__((visibility("default"))) std::size_t velk_malloc_damage_found() {
  const velk::Heap* heap = velk::shim::heapIfBuilt();
  const std::uint64_t inHeaps =
      heap != nullptr ? heap->damageFound() + velk::shim::arenaDamageFound() : 0;
  return velk::shim::listDamageFound.load(std::memory_order_relaxed) +
         static_cast<std::size_t>(inHeaps);
}
