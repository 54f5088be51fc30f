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
#endif

#include <atomic>
#include <cstdint>

namespace velk::pal {

#ifdef _WIN32
// A critical section, and beside it a word its holder keeps at 1 from entering to leaving: the
// section's own fields are the system's to lay out, so a waiter watches this word to see the lock
// come free. Uncontended, entering is one try of the section.
struct NativeLock {
  CRITICAL_SECTION section;
  std::atomic<std::uint32_t> held;
};

// The contended half, out of line (pal/windows.cpp): returns with the section entered.
void nativeLockWait(NativeLock& lock);

inline void nativeLockEnter(NativeLock& lock) {
  if (!TryEnterCriticalSection(&lock.section)) [[unlikely]]
    nativeLockWait(lock);
  lock.held.store(1, std::memory_order_relaxed);
}
inline void nativeLockLeave(NativeLock& lock) {
  lock.held.store(0, std::memory_order_relaxed);
  LeaveCriticalSection(&lock.section);
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
