// The platform layer on Windows: VirtualAlloc for address space, critical sections, thread ids.
#include <windows.h>

#include "pal/native_lock.h"
#include "pal/pal.h"

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
// saved. A round is a pause, about 40 ns on current cores, so the spin lasts about ten
// microseconds: longer than the Linux lock's, whose waiters have cheaper ways to wait than the
// kernel round trip, and short enough that a core spinning for a descheduled holder is not wasted
// for long. Windows ignores the count on one processor.
constexpr DWORD kSpinCount = 256;

void nativeLockInit(NativeLock& lock) {
  // Cannot fail on any Windows this library runs on.
  InitializeCriticalSectionAndSpinCount(&lock, kSpinCount);
}
void nativeLockDestroy(NativeLock& lock) {
  DeleteCriticalSection(&lock);
}

}  // namespace velk::pal
