// The system's own lock, and the uncontended path through it, inline so that taking and leaving
// a free lock costs the callers no calls of their own.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <atomic>
#include <cstdint>
#endif

namespace velk::pal {

#ifdef _WIN32
using NativeLock = CRITICAL_SECTION;

inline void nativeLockEnter(NativeLock& lock) {
  EnterCriticalSection(&lock);
}
inline void nativeLockLeave(NativeLock& lock) {
  LeaveCriticalSection(&lock);
}
#else
// A futex word: 0 unlocked, 1 locked, 2 locked with waiters. Uncontended, entering is one
// compare-and-swap and leaving one exchange. Leaving must be an exchange, not a plain store: only
// the old value tells whether a waiter sleeps and must be woken.
using NativeLock = std::atomic<std::uint32_t>;

// The contended halves, out of line: `seen` is the value the failed compare-and-swap found.
void nativeLockWait(NativeLock& lock, std::uint32_t seen);
void nativeLockWake(NativeLock& lock);

inline void nativeLockEnter(NativeLock& lock) {
  std::uint32_t seen = 0;
  if (!lock.compare_exchange_strong(seen, 1, std::memory_order_acquire)) [[unlikely]] {
    nativeLockWait(lock, seen);
  }
}
inline void nativeLockLeave(NativeLock& lock) {
  if (lock.exchange(0, std::memory_order_release) == 2) [[unlikely]]
    nativeLockWake(lock);
}
#endif

void nativeLockInit(NativeLock& lock);
void nativeLockDestroy(NativeLock& lock);

struct Lock {
  NativeLock native;
  bool storageFromRuntimeHeap;
};

inline void lockEnter(Lock* lock) {
  nativeLockEnter(lock->native);
}
inline void lockLeave(Lock* lock) {
  nativeLockLeave(lock->native);
}

}  // namespace velk::pal
