#include "process_heap.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <new>

#include "owned_ranges.h"
#include "thread_cache.h"

namespace velk::shim {

RealFunctions real{};

namespace {

enum HeapState : int { kAbsent, kBuilding, kReady };

alignas(Heap) unsigned char heapStorage[sizeof(Heap)];
std::atomic<int> heapState{kAbsent};
__thread bool buildingOnThisThread;

// dlsym may allocate while it looks the C library's functions up; those few bytes come from here.
constexpr std::size_t kBootstrapBytes = 16384;
alignas(kMallocAlign) unsigned char bootstrap[kBootstrapBytes];
std::atomic<std::size_t> bootstrapUsed{0};

Heap& builtHeap() {
  return *std::launder(reinterpret_cast<Heap*>(heapStorage));
}

void freeElsewhere(void* pointer) {
  if (real.free != nullptr) real.free(pointer);
  // Before the lookup nothing foreign can have reached us; leaking is the safe answer anyway.
}

// fork() copies the lock in whatever state another thread left it: hold it across the fork so
// that the child starts with a heap no operation is halfway through.
void lockBeforeFork() {
  builtHeap().lock();
}
void unlockAfterFork() {
  builtHeap().unlock();
}

template <typename Function>
Function lookUp(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

Heap* build() {
  int expected = kAbsent;
  if (!heapState.compare_exchange_strong(expected, kBuilding, std::memory_order_acq_rel)) {
    while (heapState.load(std::memory_order_acquire) != kReady) {
      if (buildingOnThisThread) return nullptr;
      sched_yield();
    }
    return &builtHeap();
  }
  buildingOnThisThread = true;
  // The lock lives inside the Heap: creating it on the C library's heap would call malloc.
  new (heapStorage) Heap(recordingAddressSpace(), LockPlacement::Inside, freeElsewhere);
  prepareThreadCaches();
  real.free = lookUp<void (*)(void*)>("free");
  real.realloc = lookUp<void* (*)(void*, std::size_t)>("realloc");
  real.mallocUsableSize = lookUp<std::size_t (*)(void*)>("malloc_usable_size");
  buildingOnThisThread = false;
  heapState.store(kReady, std::memory_order_release);
  // Registration may allocate; the heap is ready for that now.
  pthread_atfork(lockBeforeFork, unlockAfterFork, unlockAfterFork);
  return &builtHeap();
}

}  // namespace

Heap* processHeap() {
  if (heapState.load(std::memory_order_acquire) == kReady) [[likely]]
    return &builtHeap();
  return build();
}

void* bootstrapAllocate(std::size_t bytes) {
  const std::size_t rounded = (bytes + kMallocAlign - 1) & ~(kMallocAlign - 1);
  const std::size_t offset = bootstrapUsed.fetch_add(rounded, std::memory_order_relaxed);
  if (rounded > kBootstrapBytes || offset > kBootstrapBytes - rounded) return nullptr;
  return bootstrap + offset;
}

bool isBootstrap(const void* pointer) {
  const auto* byte = static_cast<const unsigned char*>(pointer);
  return byte >= bootstrap && byte < bootstrap + kBootstrapBytes;
}

}  // namespace velk::shim
