// The platform layer on Windows: VirtualAlloc for address space, critical sections, thread ids.
#include <windows.h>

#include <algorithm>

#include "pal/native_lock.h"
#include "pal/pal.h"
#include "pal/turns.h"

namespace velk::pal {

void* reserve(std::size_t size, Access access) {
  // Windows places every allocation on a 64 KiB boundary (its allocation granularity).
  return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE,
                      access == Access::kExecutable ? PAGE_EXECUTE_READWRITE : PAGE_READWRITE);
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

// Only the malloc front end asks, and it is built for Linux alone; a caller here writes instead.
bool residentPages(const void*, std::size_t, unsigned char*) {
  return false;
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

// A thread that finds the critical section held spins this many rounds before it waits in the
// kernel: a heap operation holds the lock for well under a microsecond, so a holder that is
// running usually leaves within the spin, and the wait and the wake of a kernel round trip are
// saved. Windows ignores the count on one processor.
constexpr DWORD kSpinCount = 256;

void nativeLockInit(NativeLock& lock) {
  // Cannot fail on any Windows this library runs on.
  InitializeCriticalSectionAndSpinCount(&lock.section, kSpinCount);
  lock.held.store(0, std::memory_order_relaxed);
}
void nativeLockDestroy(NativeLock& lock) {
  DeleteCriticalSection(&lock.section);
}

// The contended lock: turns (pal/turns.h) on a critical section.
//
// A waiter that does not defer waits in the critical section itself, which wakes it when the
// holder leaves. One that defers must wait outside it: a thread waiting in the section is woken,
// or handed the section, at every leave, and that costs the holder a system call per operation and
// the heap a change of hands. So it sleeps in glances, and after each one watches the lock again,
// as it did when it arrived (turns::watch); once it is due it waits in the section, where the next
// leave lets it in.
namespace {

// A holder that takes the lock again within this long of leaving it is running; a waiter defers
// only when it saw no longer gap all through a watch.
constexpr std::uint64_t kGapNanoseconds = 1'000;
constexpr std::uint64_t kWatchNanoseconds = 20'000;
// Windows sleeps in ticks of its timer, 15.6 ms unless a program asks for finer ones; a
// high-resolution waitable timer (Windows 10 1803 on) keeps a glance near its length anyway.
// Elsewhere a glance lasts a tick, and a turn as long.
constexpr std::uint64_t kGlanceNanoseconds = 500'000;
constexpr DWORD kHighResolutionTimer = 0x2;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION

class Glances {
 public:
  Glances()
      : timer_(CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS)) {
    if (timer_ == nullptr) timer_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  }
  ~Glances() {
    if (timer_ != nullptr) CloseHandle(timer_);
  }
  Glances(const Glances&) = delete;
  Glances& operator=(const Glances&) = delete;

  void sleep(std::uint64_t nanoseconds) {
    LARGE_INTEGER due;  // negative: relative, in units of 100 ns
    due.QuadPart = -static_cast<LONGLONG>(nanoseconds / 100);
    if (timer_ != nullptr && SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE))
      WaitForSingleObject(timer_, INFINITE);
    else
      Sleep(static_cast<DWORD>((nanoseconds + 999'999) / 1'000'000));
  }

 private:
  HANDLE timer_;
};

}  // namespace

void nativeLockWait(NativeLock& lock) {
  using turns::Watched;
  const auto watch = [&lock] {
    return turns::watch(lock.held, kWatchNanoseconds, kGapNanoseconds,
                        [&lock] { return TryEnterCriticalSection(&lock.section) != 0; });
  };
  const std::uint64_t arrived = monotonicNanoseconds();
  Watched watched = watch();
  if (watched == Watched::kTaken) return;
  if (watched == Watched::kRunning) {
    Glances glances;
    for (;;) {
      const std::uint64_t waited = monotonicNanoseconds() - arrived;
      if (waited >= turns::kTurnNanoseconds) break;
      glances.sleep(std::min(turns::kTurnNanoseconds - waited, kGlanceNanoseconds));
      watched = watch();
      if (watched == Watched::kTaken) return;
      if (watched == Watched::kHeldLong) break;
    }
  }
  EnterCriticalSection(&lock.section);
}

}  // namespace velk::pal
