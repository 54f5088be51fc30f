#include "process_heap.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <sys/random.h>

#include <atomic>
#include <new>

#include "arenas.h"
#include "depot.h"
#include "pal/pal.h"
#include "thread_cache.h"

namespace velk::shim {

RealFunctions real{};
namespace {
constinit const PayloadMap noRecord;
}
namespace detail {
std::atomic<Heap*> readyHeap{nullptr};
std::atomic<const PayloadMap*> readyRecord{&noRecord};
}  // namespace detail

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

// The C library's lock over its list of FILEs (recursive), or null where the library has none.
struct StdioListLock {
  void (*lock)();
  void (*unlock)();
  void (*reset)();
};
StdioListLock stdioList{};

// The C library's record of whether the process ever had a second thread, or null.
const char* singleThreaded;
// Whether the prepare handler took the locks, for the two handlers after fork. Only ever turns
// from false to true, when the process gets its second thread.
std::atomic<bool> lockedForFork{false};

// fork() copies the heap lock in whatever state another thread left it: hold it across the fork,
// so that the child starts with a heap no operation is halfway through. The C library's fork
// takes the stdio list lock only after every prepare handler has run, while a thread that holds
// the list lock (fflush(NULL)) may wait for a FILE whose owner waits in realloc for the heap lock;
// holding the heap lock by then would close that circle. So the list lock comes first, as the
// C library's own malloc has it.
//
// A process that never had a second thread takes nothing, as the C library's malloc does: no
// other thread can be inside the heap, and a fork from a signal handler that interrupted malloc
// would wait for itself.
//
// The depot's shelves and the arenas are copied the same way: their locks are taken too, none of
// them ever held together with the heap lock, or with one another, by anyone else.
//
// The handlers were registered once the heap was built, perhaps by another thread: what the
// building wrote is read after the heap's publication.
void lockBeforeFork() {
  Heap* heap = heapIfBuilt();
  const bool threaded = singleThreaded == nullptr || *singleThreaded == 0;
  lockedForFork.store(threaded, std::memory_order_relaxed);
  if (!threaded) return;
  if (stdioList.lock != nullptr) stdioList.lock();
  depotLockAll();
  heap->lock();
  arenasLockAll();
}
void unlockInParent() {
  if (!lockedForFork.load(std::memory_order_relaxed)) return;
  arenasUnlockAll();
  builtHeap().unlock();
  depotUnlockAll();
  if (stdioList.unlock != nullptr) stdioList.unlock();
}
// The child has one thread, ours; the lock it holds may be reset rather than released (the
// C library resets it too, but need not have by the time this runs).
void unlockInChild() {
  forgetOtherThreadsGrowth();
  if (!lockedForFork.load(std::memory_order_relaxed)) return;
  arenasUnlockAll();
  builtHeap().unlock();
  depotUnlockAll();
  if (stdioList.reset != nullptr) stdioList.reset();
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
  // The lock lives inside the Heap: creating it on the C library's heap would call malloc. Its
  // memory is data only, as the C library's heap is: nothing a program keeps there may run.
  new (heapStorage)
      Heap(systemAddressSpace(pal::Access::kData), LockPlacement::Inside, freeElsewhere);
  prepareThreadCaches();
  prepareDepot();
  // Without randomness, an address the system placed at random will do.
  if (getrandom(&cacheKey, sizeof cacheKey, GRND_NONBLOCK) != sizeof cacheKey) {
    cacheKey = reinterpret_cast<Word>(&cacheKey) * static_cast<Word>(0x9E3779B97F4A7C15ull);
  }
  real.free = lookUp<void (*)(void*)>("free");
  real.realloc = lookUp<void* (*)(void*, std::size_t)>("realloc");
  real.mallocUsableSize = lookUp<std::size_t (*)(void*)>("malloc_usable_size");
  // All three or none: the handlers pair them.
  const StdioListLock found{lookUp<void (*)()>("_IO_list_lock"),
                            lookUp<void (*)()>("_IO_list_unlock"),
                            lookUp<void (*)()>("_IO_list_resetlock")};
  if (found.lock != nullptr && found.unlock != nullptr && found.reset != nullptr) {
    stdioList = found;
  }
  singleThreaded = lookUp<const char*>("__libc_single_threaded");
  buildingOnThisThread = false;
  heapState.store(kReady, std::memory_order_release);
  detail::readyHeap.store(&builtHeap(), std::memory_order_release);
  detail::readyRecord.store(&builtHeap().payloadMap(), std::memory_order_release);
  // Registration may allocate; the heap is ready for that now.
  pthread_atfork(lockBeforeFork, unlockInParent, unlockInChild);
  return &builtHeap();
}

}  // namespace

bool processEverThreaded() {
  return singleThreaded == nullptr || *singleThreaded == 0;
}

Heap* processHeap() {
  if (Heap* heap = heapIfBuilt()) [[likely]]
    return heap;
  return build();
}

namespace {

// The main heap's traffic (an arena keeps its own).
IdleTraffic mainTraffic;

constexpr std::size_t kLeastPassTraffic = std::size_t{16} << 20;
// A pass costs a system call for every idle Block and, for every page given back that the program
// then wants again, a page fault: on virtual machines each takes microseconds, as long as writing
// hundreds of pages. Passes at most this often (in nanoseconds) keep that cost a small fraction of
// any run, and give back only what lay idle for at least this long.
constexpr std::uint64_t kLeastPassInterval = 250'000'000;
// Only Blocks this large give pages back: the pass visits every Block of these bins, and a Block
// of a few pages gives back little for its system call.
constexpr std::size_t kLeastIdleBlock = std::size_t{64} << 10;

}  // namespace

bool noteHeapTraffic(Heap& heap, std::size_t bytes) {
  IdleTraffic* arena = arenaTraffic(&heap);
  IdleTraffic& traffic = arena != nullptr ? *arena : mainTraffic;
  const std::size_t size = heap.stats().totalSize;
  // Only the main heap's growth concerns the depot, whose Blocks are the main heap's.
  const bool grew = size != traffic.sizeLastSeen && arena == nullptr;
  traffic.sizeLastSeen = size;
  traffic.sincePass += bytes;
  const std::size_t eighth = size / 8;
  if (traffic.sincePass < (eighth > kLeastPassTraffic ? eighth : kLeastPassTraffic)) return grew;
  traffic.sincePass = 0;
  const std::uint64_t now = pal::monotonicNanoseconds();
  if (now - traffic.lastPassAt < kLeastPassInterval) return grew;
  traffic.lastPassAt = now;
  heap.discardIdlePages(kLeastIdleBlock);
  return grew;
}

std::size_t trimHeap(Heap& heap) {
  HeapLockGuard guard(heap);
  // A pass gives back the Blocks that the pass before it marked and that are free still: the
  // second of two passes in a row, every free Block.
  heap.discardIdlePages(0);
  return heap.discardIdlePages(0);
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
