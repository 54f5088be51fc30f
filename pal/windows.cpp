// The platform layer on Windows: VirtualAlloc for address space, critical sections, thread ids.
#include <windows.h>

#include <atomic>

#include "pal/lock_turns.h"
#include "pal/native_lock.h"
#include "pal/pal.h"

namespace velk::pal {

void* reserve(std::size_t size) {
  // Windows places every allocation on a 64 KiB boundary (its allocation granularity).
  return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
}

bool queryRegion(std::uintptr_t address, Region& region) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof info) == 0) return false;
  region = {reinterpret_cast<std::uintptr_t>(info.BaseAddress), info.RegionSize};
  return true;
}

bool release(std::uintptr_t base) {
  return VirtualFree(reinterpret_cast<void*>(base), 0, MEM_RELEASE) != 0;
}

// MEM_RESET tells the system the pages' contents no longer matter, and unlocking pages that were
// never locked takes them out of the working set at once (it reports failure, having done so).
// Unlike a decommit and recommit, the range never stops being usable, even for a moment.
bool discard(void* base, std::size_t size) {
  if (VirtualAlloc(base, size, MEM_RESET, PAGE_READWRITE) == nullptr) return false;
  VirtualUnlock(base, size);
  return true;
}

void* mapRecords(std::size_t size) {
  // From the top of the address space down, while segments come from the bottom up: records
  // placed between segments would keep touching ones from being joined. Committed pages cost
  // nothing until they are touched.
  return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE | MEM_TOP_DOWN, PAGE_READWRITE);
}

void unmapRecords(void* base, std::size_t) {
  VirtualFree(base, 0, MEM_RELEASE);
}

std::size_t pageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}

std::uint32_t currentThreadId() {
  return GetCurrentThreadId();
}

std::uint64_t monotonicNanoseconds() {
  static const std::uint64_t perSecond = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<std::uint64_t>(frequency.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const auto ticks = static_cast<std::uint64_t>(now.QuadPart);
  return ticks / perSecond * 1'000'000'000u + ticks % perSecond * 1'000'000'000u / perSecond;
}

// The contended critical section. A section queues the threads that wait in EnterCriticalSection
// and hands itself to the first of them at each leave: while any thread is queued, every leave
// gives the heap to another thread by way of a kernel wake, and threads that all queue at once
// never get out of that (on wine two threads ran at a third of one thread's speed, four at less).
// So a waiter takes turns with a running holder (pal/lock_turns.h): it watches the owner, takes the
// section with TryEnterCriticalSection only when it stays free, and queues only once it has
// waited a whole turn. At most the threads due after a turn are ever queued, and the section then
// hands itself to each of them in turn.
namespace {

using namespace turns;

// The owner is a word of the section's own, written by whoever enters and leaves it: read
// without a lock, it only says whether the section looked held a moment ago.
bool isHeld(const CRITICAL_SECTION& lock) {
  return std::atomic_ref(const_cast<HANDLE&>(lock.OwningThread)).load(std::memory_order_relaxed) !=
         nullptr;
}

// Spins this many rounds inside EnterCriticalSection before the kernel wait, once a waiter is due:
// the section may well come free within a few microseconds. Windows ignores it on one processor.
constexpr DWORD kSpinCount = 256;

}  // namespace

void nativeLockWait(NativeLock& lock) {
  const std::uint64_t arrived = monotonicNanoseconds();
  // A holder about to leave: wait for the release, then take the section if the holder does not
  // take it again at once.
  bool released = false;
  for (int spin = 0; spin < kSpins && !released; ++spin) {
    pause();
    released = !isHeld(lock);
  }
  if (released && staysFree(lock, isHeld, kSettleNanoseconds) && TryEnterCriticalSection(&lock))
    return;
  // Defer to the holder for a turn. A look at the owner every few microseconds, with the processor
  // given to any other thread ready on it in between, keeps the owner's line mostly in the
  // holder's cache; a holder that has left for good is found within one look.
  while (monotonicNanoseconds() - arrived < kTurnNanoseconds) {
    if (!isHeld(lock) && staysFree(lock, isHeld, kLeftNanoseconds) &&
        TryEnterCriticalSection(&lock)) {
      return;
    }
    SwitchToThread();
    for (int spin = 0; spin < kSpins; ++spin) pause();
  }
  EnterCriticalSection(&lock);
}

void nativeLockInit(NativeLock& lock) {
  // Cannot fail on any Windows this library runs on.
  InitializeCriticalSectionAndSpinCount(&lock, kSpinCount);
}
void nativeLockDestroy(NativeLock& lock) {
  DeleteCriticalSection(&lock);
}

}  // namespace velk::pal
