// The platform layer on Windows: VirtualAlloc for address space, critical sections, thread ids.
#include <windows.h>

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

void nativeLockInit(NativeLock& lock) {
  InitializeCriticalSection(&lock);
}
void nativeLockDestroy(NativeLock& lock) {
  DeleteCriticalSection(&lock);
}

}  // namespace velk::pal
