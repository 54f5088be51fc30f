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
// A futex word: 0 free, 1 held, 2 held and a thread may sleep on it. Uncontended, entering is one
// compare-and-swap and leaving one exchange. Leaving must be an exchange, not a plain store: only
// the old value tells whether a sleeper may need waking. The two other words serve only the
// contended halves (pal/posix.cpp, where the whole protocol is set out).
struct NativeLock {
  std::atomic<std::uint32_t> word;
  // Threads from the moment they decide to sleep until they are awake again.
  std::atomic<std::uint32_t> sleepers;
  // When a leave last woke a sleeper, in microseconds of the monotonic clock (never 0), or 0 once
  // the woken thread is awake: while it is on its way, leaves wake no one else.
  std::atomic<std::uint32_t> wokenAt;
};

// The contended halves, out of line.
void nativeLockWait(NativeLock& lock);
void nativeLockWake(NativeLock& lock);

inline void nativeLockEnter(NativeLock& lock) {
  std::uint32_t seen = 0;
  if (!lock.word.compare_exchange_strong(seen, 1, std::memory_order_acquire)) [[unlikely]] {
    nativeLockWait(lock);
  }
}
// The exchange acquires as well as releases, so that a leave that finds the word marked reads
// `sleepers` as the marking thread left it; on x86 every exchange is a full barrier, and this
// costs nothing.
inline void nativeLockLeave(NativeLock& lock) {
  if (lock.word.exchange(0, std::memory_order_acq_rel) == 2) [[unlikely]]
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
