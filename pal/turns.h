// Taking turns at a contended lock, common to every system; pal/posix.cpp and pal/windows.cpp
// put it on their own ways to sleep and wake.
//
// What makes a contended lock slow is less the waiting than the heap changing hands: an operation
// that follows another thread's starts with the heap's lines in the other core's cache and costs
// several times one that follows its own thread's. Two threads that take the lock as soon as it is
// free, or that are handed it on every release, together run at a fifth to a third of the speed of
// one. So a waiter defers to a holder that is running: one that takes the lock again within a
// moment of leaving it all through a watch (below). It sleeps, and only after kTurnNanoseconds of
// waiting is it due, and takes the lock at the first moment it is free. Contending threads thus
// take turns of about kTurnNanoseconds, and within a turn the holder enters and leaves on the
// inline path, without a system call. A holder that keeps the lock for long, or leaves it and does
// not come back, is not running in that sense: its waiters take the lock as soon as they see it
// stay free.
#pragma once

#include <atomic>
#include <cstdint>

#include "pal/pal.h"

namespace velk::pal::turns {

// How many times a waiter looks at the lock, a pause apart, before it decides: a pause takes
// about 40 ns on current cores, so a few microseconds, several heap operations, and short enough
// not to waste a core for long when the holder has been descheduled.
constexpr int kSpins = 64;
// How long a waiter defers to a running holder. Handing the heap over costs its new holder up to a
// couple of hundred microseconds of operations that find the heap's lines in the old holder's
// cache (two threads of velk-host's small workload); a turn ten times as long keeps that near 10%.
constexpr std::uint64_t kTurnNanoseconds = 2'000'000;

inline void pause() {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#endif
}

// Watches `busy` (0 while the lock is free) for kSpins pauses; true once it was seen free: the
// holder is about to leave, or has left.
inline bool sawRelease(const std::atomic<std::uint32_t>& busy) {
  for (int spin = 0; spin < kSpins; ++spin) {
    pause();
    if (busy.load(std::memory_order_relaxed) == 0) return true;
  }
  return false;
}

// Whether the lock, seen free, stays free for `span` nanoseconds: its holder has not come back.
inline bool staysFree(const std::atomic<std::uint32_t>& busy, std::uint64_t span) {
  const std::uint64_t until = monotonicNanoseconds() + span;
  do {
    pause();
    if (busy.load(std::memory_order_relaxed) != 0) return false;
  } while (monotonicNanoseconds() < until);
  return true;
}

enum class Watched { kTaken, kHeldLong, kRunning };

// Watches the lock through `busy` for `span` nanoseconds: takes it (`take()` true) in a gap of
// `gap` nanoseconds (a holder that takes the lock again sooner after leaving it is running); or
// finds its holder keeping it through a whole spin, a long operation; or finds the holder coming
// back quickly all through the watch. Whether the holder is running is judged over a watch rather
// than at one release: a host that does work of its own between its calls (fills what it
// allocated, reads what it frees) often makes two calls in a row, a free and an allocation, and
// then works; a waiter that took the short gap between the two for a running holder would defer
// while the lock stood free for most of the time.
template <class Take>
Watched watch(const std::atomic<std::uint32_t>& busy, std::uint64_t span, std::uint64_t gap,
              Take take) {
  const std::uint64_t until = monotonicNanoseconds() + span;
  do {
    if (!sawRelease(busy)) return Watched::kHeldLong;
    if (staysFree(busy, gap) && take()) return Watched::kTaken;
  } while (monotonicNanoseconds() < until);
  return Watched::kRunning;
}

}  // namespace velk::pal::turns
