// How a waiter shares the heap's lock with its holder (the waits themselves are in pal/posix.cpp;
// Windows waits in its critical section).
//
// What makes a contended lock slow is less the waiting than the heap changing hands: an operation
// that follows another thread's starts with the heap's lines in the other core's cache and costs
// several times one that follows its own thread's. Two threads that spin and take the lock as soon
// as it is free hand it over on nearly every release, and together run at a fifth of the speed of
// one; a lock that queues its waiters and hands itself to the first of them at every leave does
// the same, with a kernel wake on top. So a waiter defers to a holder that is running: one that
// takes the lock again within kSettleNanoseconds of leaving it. It waits, and only after
// kTurnNanoseconds of waiting is it due, and takes the lock at the first moment it is free.
// Contending threads thus take turns of about kTurnNanoseconds, and within a turn the holder enters
// and leaves on the inline path, without a system call. A holder that keeps the lock for long, or
// leaves it and does not come back, is not running in that sense: its waiters take the lock as
// soon as they see it stay free.
#pragma once

#include <cstdint>

#include "pal/pal.h"

namespace velk::pal::turns {

// How many times a waiter looks at the lock, a pause apart, before it decides: a pause takes
// about 40 ns on current cores, so a few microseconds, several heap operations, and short enough
// not to waste a core for long when the holder has been descheduled.
inline constexpr int kSpins = 64;
// A holder running a loop of allocations takes the lock again within a few hundred nanoseconds;
// a waiter that has just arrived takes a lock free for longer than this, and a holder that comes
// back less often shares the heap with it operation by operation.
inline constexpr std::uint64_t kSettleNanoseconds = 2'000;
// A waiter that already defers to a running holder takes the lock at a glance only when it stays
// free this long: longer than the page faults and interrupts that hold up a running holder now and
// then, each of which would otherwise cost a turn.
inline constexpr std::uint64_t kLeftNanoseconds = 20'000;
// How long a waiter defers to a running holder. Handing the heap over costs its new holder up to a
// couple of hundred microseconds of operations that find the heap's lines in the old holder's
// cache (two threads of velk-host's small workload); a turn ten times as long keeps that near 10%.
inline constexpr std::uint64_t kTurnNanoseconds = 2'000'000;

inline void pause() {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#endif
}

// Whether `lock`, seen free, stays free for `span` nanoseconds (isHeld(lock) stays false): its
// holder has not come back.
template <typename Lock, typename IsHeld>
bool staysFree(const Lock& lock, IsHeld isHeld, std::uint64_t span) {
  const std::uint64_t until = monotonicNanoseconds() + span;
  do {
    pause();
    if (isHeld(lock)) return false;
  } while (monotonicNanoseconds() < until);
  return true;
}

// A waiter's first look, at a holder about to leave: waits up to kSpins pauses for the release,
// then takes the lock with `take` if the holder does not take it again within a settle. Whether it
// saw the release at all is left in `released`.
template <typename Lock, typename IsHeld, typename Take>
bool takeOnRelease(Lock& lock, IsHeld isHeld, Take take, bool& released) {
  released = false;
  for (int spin = 0; spin < kSpins && !released; ++spin) {
    pause();
    released = !isHeld(lock);
  }
  return released && staysFree(lock, isHeld, kSettleNanoseconds) && take(lock);
}

}  // namespace velk::pal::turns
