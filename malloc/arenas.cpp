#include "arenas.h"

#include <sched.h>

#include <atomic>
#include <new>

#include "pal/pal.h"

namespace velk::shim {
namespace {

// Arenas at most. Each keeps free memory of its own, and beyond a handful of threads making large
// requests at once, the requests themselves (their page faults, the programs' use of the memory)
// take far longer than the turns at a lock.
constexpr std::size_t kMostArenas = 8;

struct alignas(64) Arena {
  alignas(Heap) unsigned char storage[sizeof(Heap)];
  IdleTraffic traffic;
};
Arena arenas[kMostArenas];
// Arenas [0, built) are ready; they are built in order, under `building`.
std::atomic<std::size_t> built{0};
std::atomic_flag building = ATOMIC_FLAG_INIT;
// Threads given an arena so far, and how many arenas they are spread over (0 until counted).
std::atomic<std::size_t> given{0};
std::atomic<std::size_t> arenaCount{0};
// The heap for the calling thread's requests above kLeastArenaRequest, null while it is not
// decided; until then the thread counts its requests above the line, and the refills of its lists
// below it (from the depot or the heap), which stand for its small objects.
__thread Heap* threadHeap;
__thread std::uint32_t largeRequests;
__thread std::uint32_t smallRequests;
// A thread's heap is decided at its kDecidingRequest'th request above the line: an arena when the
// process has another thread and the large requests outnumber the small ones. A thread whose
// large requests are few among many small ones keeps the main heap: an arena's free memory would
// serve them alone, and with little traffic lie idle, to be given back and faulted in again.
constexpr std::uint32_t kDecidingRequest = 16;

Heap& heapOf(Arena& arena) {
  return *std::launder(reinterpret_cast<Heap*>(arena.storage));
}

void takeBuilding() {
  while (building.test_and_set(std::memory_order_acquire)) sched_yield();
}

// One arena for every processor the process may run on, up to kMostArenas.
std::size_t arenasToUse() {
  std::size_t count = arenaCount.load(std::memory_order_relaxed);
  if (count != 0) [[likely]]
    return count;
  cpu_set_t processors;
  CPU_ZERO(&processors);
  count = 1;
  if (sched_getaffinity(0, sizeof processors, &processors) == 0) {
    count = static_cast<std::size_t>(CPU_COUNT(&processors));
  }
  count = count < 1 ? 1 : count > kMostArenas ? kMostArenas : count;
  arenaCount.store(count, std::memory_order_relaxed);
  return count;
}

// Arena `index`, built now when it is not yet, with every arena before it.
Heap& arenaAt(std::size_t index) {
  if (index >= built.load(std::memory_order_acquire)) {
    takeBuilding();
    for (std::size_t next = built.load(std::memory_order_relaxed); next <= index; ++next) {
      // Pointers an arena finds outside its segments are never passed to it: every free looks
      // up the heap that holds the pointer first.
      new (arenas[next].storage)
          Heap(systemAddressSpace(pal::Access::kData), LockPlacement::Inside, [](void*) {});
      built.store(next + 1, std::memory_order_release);
    }
    building.clear(std::memory_order_release);
  }
  return heapOf(arenas[index]);
}

}  // namespace

Heap* lockHeapFor(std::size_t bytes) {
  Heap* heap = bytes > kLeastArenaRequest ? threadHeap : nullptr;
  if (heap == nullptr) [[unlikely]] {
    heap = processHeap();
    if (heap == nullptr) return nullptr;
    if (bytes > kLeastArenaRequest && ++largeRequests == kDecidingRequest) {
      if (processEverThreaded() && smallRequests < largeRequests) {
        heap = &arenaAt(given.fetch_add(1, std::memory_order_relaxed) % arenasToUse());
      }
      threadHeap = heap;
    }
  }
  heap->lock();
  return heap;
}

void noteRefill(std::size_t payloadBytes) {
  if (payloadBytes <= kLeastArenaRequest && threadHeap == nullptr) smallRequests += 1;
}

Holder holderOf(const void* address) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  Heap* main = heapIfBuilt();
  if (main == nullptr) return {nullptr, nullptr};
  if (const Word* bits = main->payloadMap().granuleBits(at)) [[likely]]
    return {main, bits};
  const std::size_t count = built.load(std::memory_order_acquire);
  for (std::size_t index = 0; index < count; ++index) {
    Heap& arena = heapOf(arenas[index]);
    if (const Word* bits = arena.payloadMap().granuleBits(at)) return {&arena, bits};
  }
  return {nullptr, nullptr};
}

IdleTraffic* arenaTraffic(const Heap* heap) {
  const auto at = reinterpret_cast<std::uintptr_t>(heap);
  const auto first = reinterpret_cast<std::uintptr_t>(arenas);
  if (at - first >= sizeof arenas) return nullptr;
  return &arenas[(at - first) / sizeof(Arena)].traffic;
}

namespace {

// The sum of `each(arena)` over the arenas built so far.
template <typename Each>
std::uint64_t sumOverArenas(Each each) {
  std::uint64_t sum = 0;
  const std::size_t count = built.load(std::memory_order_acquire);
  for (std::size_t index = 0; index < count; ++index) sum += each(heapOf(arenas[index]));
  return sum;
}

}  // namespace

std::size_t trimArenas() {
  return static_cast<std::size_t>(sumOverArenas(trimHeap));
}

std::uint64_t arenaDamageFound() {
  return sumOverArenas([](const Heap& arena) { return arena.damageFound(); });
}

void arenasLockAll() {
  takeBuilding();
  const std::size_t count = built.load(std::memory_order_relaxed);
  for (std::size_t index = 0; index < count; ++index) heapOf(arenas[index]).lock();
}

void arenasUnlockAll() {
  const std::size_t count = built.load(std::memory_order_relaxed);
  for (std::size_t index = 0; index < count; ++index) heapOf(arenas[index]).unlock();
  building.clear(std::memory_order_release);
}

}  // namespace velk::shim
