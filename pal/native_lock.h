// The system's own lock type, seen only inside the platform layer.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <atomic>
#include <cstdint>
#endif

namespace velk::pal {

#ifdef _WIN32
using NativeLock = CRITICAL_SECTION;
#else
// A futex word: 0 unlocked, 1 locked, 2 locked with waiters. Uncontended enter and leave are one
// atomic operation each, cheaper than a pthread mutex.
using NativeLock = std::atomic<std::uint32_t>;
#endif

void nativeLockInit(NativeLock& lock);
void nativeLockEnter(NativeLock& lock);
void nativeLockLeave(NativeLock& lock);
void nativeLockDestroy(NativeLock& lock);

}  // namespace velk::pal
