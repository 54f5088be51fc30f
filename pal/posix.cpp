// The platform layer on Linux: mmap for address space, a futex lock, gettid.
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "pal/native_lock.h"
#include "pal/pal.h"
#include "pal/turns.h"

namespace velk::pal {
namespace {

constexpr std::size_t kReserveAlignment = 0x10000;

// Linux cannot say where one mapping ends and the next begins once the kernel has merged them, so
// every range handed out is recorded here until it is given back. The heap holds at most 256
// segments, each made of a few ranges; the table leaves room for several heaps in one process.
constexpr std::size_t kMaxRanges = 4096;
Region ranges[kMaxRanges];
std::atomic_flag rangesBusy = ATOMIC_FLAG_INIT;

class RangesGuard {
 public:
  RangesGuard() {
    while (rangesBusy.test_and_set(std::memory_order_acquire)) sched_yield();
  }
  ~RangesGuard() { rangesBusy.clear(std::memory_order_release); }
};

bool recordRange(std::uintptr_t base, std::size_t size) {
  RangesGuard guard;
  for (Region& range : ranges) {
    if (range.size == 0) {
      range = {base, size};
      return true;
    }
  }
  return false;
}

void* mapAligned(std::size_t size, int protection) {
  // The kernel usually places a mapping right below the previous one; when that is already
  // aligned, taking it as it is lets the heap join it with its neighbour.
  void* exact = mmap(nullptr, size, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (exact == MAP_FAILED) return nullptr;
  if (reinterpret_cast<std::uintptr_t>(exact) % kReserveAlignment == 0) return exact;
  munmap(exact, size);

  const std::size_t mapped = size + kReserveAlignment;
  void* raw = mmap(nullptr, mapped, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kReserveAlignment - 1) & ~(kReserveAlignment - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const std::uintptr_t tail = aligned + size;
  if (start + mapped > tail) munmap(reinterpret_cast<void*>(tail), start + mapped - tail);
  return reinterpret_cast<void*>(aligned);
}

// A 32-bit build whose time_t is 64-bit must use the system call that reads such a timespec.
#if defined(SYS_futex_time64)
constexpr long kFutexCall = sizeof(time_t) > sizeof(long) ? SYS_futex_time64 : SYS_futex;
#else
constexpr long kFutexCall = SYS_futex;
#endif

// Sleeps while `word` holds `value`, for at most `timeout` nanoseconds; returns at once when it
// does not hold it.
void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t value, std::uint64_t timeout) {
  timespec limit;
  limit.tv_sec = static_cast<time_t>(timeout / 1'000'000'000u);
  limit.tv_nsec = static_cast<long>(timeout % 1'000'000'000u);
  syscall(kFutexCall, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, value, &limit,
          nullptr, 0);
}

// Wakes one thread sleeping on `word`; false when none slept.
bool futexWakeOne(std::atomic<std::uint32_t>& word) {
  return syscall(kFutexCall, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1,
                 nullptr, nullptr, 0) > 0;
}

}  // namespace

void* reserve(std::size_t size, Access access) {
  if (size == 0 || size > SIZE_MAX - kReserveAlignment) return nullptr;
  const bool executable = access == Access::kExecutable;
  void* base = mapAligned(size, PROT_READ | PROT_WRITE | (executable ? PROT_EXEC : 0));
  // Hardened kernels refuse writable executable memory; the heap itself never executes it.
  if (base == nullptr && executable && (errno == EACCES || errno == EPERM))
    base = mapAligned(size, PROT_READ | PROT_WRITE);
  if (base == nullptr) return nullptr;
  if (!recordRange(reinterpret_cast<std::uintptr_t>(base), size)) {
    munmap(base, size);
    return nullptr;
  }
  return base;
}

bool queryRegion(std::uintptr_t address, Region& region) {
  RangesGuard guard;
  for (const Region& range : ranges) {
    if (range.size != 0 && address >= range.base && address - range.base < range.size) {
      const std::uintptr_t page = address & ~(pageSize() - 1);
      region = {page, range.base + range.size - page};
      return true;
    }
  }
  return false;
}

bool release(std::uintptr_t base) {
  Region found{0, 0};
  {
    RangesGuard guard;
    for (Region& range : ranges) {
      if (range.size != 0 && range.base == base) {
        found = range;
        range = {0, 0};
        break;
      }
    }
  }
  return found.size != 0 && munmap(reinterpret_cast<void*>(found.base), found.size) == 0;
}

// MADV_DONTNEED rather than MADV_FREE: the pages leave the process at once (MADV_FREE leaves
// them counted until the system runs short), and the next touch finds zeros.
bool discard(void* base, std::size_t size) {
  return madvise(base, size, MADV_DONTNEED) == 0;
}

bool residentPages(const void* base, std::size_t size, unsigned char* resident) {
  return mincore(const_cast<void*>(base), size, resident) == 0;
}

// Records are mapped apart from the segments. The kernel places each mapping right below the one
// before, so a records mapping made for one segment would sit between it and the next, and
// segments that would have touched, and been joined, never would. Records go upward from a hint
// far from where mappings are placed: 32 TiB in a 64-bit address space; in a 32-bit one, 16 MiB,
// below the program and its data, where the kernel places nothing on its own. Where the system
// does not take the hint, anywhere. The newest records, unmapped, give their place back to the
// next ones, so that a heap made and unmade again and again reuses one range.
namespace {

std::atomic<std::uintptr_t> recordsHint{sizeof(void*) == 8 ? std::uintptr_t{1} << 45
                                                           : std::uintptr_t{1} << 24};

std::uintptr_t recordsEnd(std::uintptr_t base, std::size_t size) {
  return (base + size + kReserveAlignment - 1) & ~(kReserveAlignment - 1);
}

}  // namespace

void* mapRecords(std::size_t size) {
  const std::uintptr_t wanted = recordsHint.load(std::memory_order_relaxed);
  void* base = mmap(reinterpret_cast<void*>(wanted), size, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  if (wanted != 0 && reinterpret_cast<std::uintptr_t>(base) == wanted) {
    recordsHint.store(recordsEnd(wanted, size), std::memory_order_relaxed);
  }
  return base;
}

void unmapRecords(void* base, std::size_t size) {
  munmap(base, size);
  const auto start = reinterpret_cast<std::uintptr_t>(base);
  std::uintptr_t newestEnd = recordsEnd(start, size);
  recordsHint.compare_exchange_strong(newestEnd, start, std::memory_order_relaxed);
}

std::uint64_t monotonicNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

std::size_t pageSize() {
  static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

std::uint32_t currentThreadId() {
  return static_cast<std::uint32_t>(syscall(SYS_gettid));
}

void nativeLockInit(NativeLock& lock) {
  lock.word.store(0, std::memory_order_relaxed);
  lock.sleepers.store(0, std::memory_order_relaxed);
  lock.wokenAt.store(0, std::memory_order_relaxed);
}

// The contended lock: turns (pal/turns.h) on a futex word.
//
// The words (pal/native_lock.h) and what moves them:
// - `word`: 0 free, 1 held, 2 held and marked by a thread before it slept on it. Any thread takes
//   a free lock: 0 -> 1 inline; 0 -> 2 here when others sleep, so that its leave looks for them.
//   Only a sleeper marks (1 -> 2), and only a leave clears (-> 0).
// - `sleepers`: raised before a thread marks the word or sleeps, lowered once it is awake.
// - `wokenAt`: set by the leave that wakes a sleeper, cleared by any sleeper that wakes up.
//
// Every sleep ends within a glance (kGlanceNanoseconds, growing through a turn, never past its
// end), woken or not, so a wake-up that is never sent delays a waiter by at most a glance and never
// strands it; after a turn a waiter is due, sleeps in glances of kGlanceNanoseconds, and takes the
// lock the first time it finds it free. Wakes are what make a waiter prompt: a thread that marked
// the word counted itself in `sleepers` first, and the leave that clears the mark reads `sleepers`
// after synchronising with the mark, so it finds the sleeper and wakes one thread, unless one it
// woke less than a turn ago is still on its way. The kernel puts a thread to sleep only while the
// word holds the value the thread last saw, so a leave between that look and the sleep is not
// missed either: the sleep does not begin.
namespace {

using turns::kTurnNanoseconds;

// A holder running a loop of allocations takes the lock again within a few hundred nanoseconds;
// a waiter that has just arrived takes the lock in the first gap this long that it sees in a watch
// of kWatchNanoseconds (turns::watch), and a holder that leaves such gaps shares the heap with it
// operation by operation. The watch is short, as it spins: a waiter that defers looks again after
// each glance, by the stricter rule below.
constexpr std::uint64_t kGapNanoseconds = 2'000;
constexpr std::uint64_t kWatchNanoseconds = 5'000;
// A waiter that already defers to a running holder takes the lock at a glance only when it stays
// free this long: longer than the page faults and interrupts that hold up a running holder now and
// then, each of which would otherwise cost a turn.
constexpr std::uint64_t kLeftNanoseconds = 20'000;

// A waiter that defers sleeps in glances, the first this long and each one after twice the one
// before: a holder that stops coming back, say because it now waits for the waiter itself, is
// found free within one glance, without a wake. The first glances catch a holder whose run of
// operations was short; a holder still coming back after them is running a long one, and waking
// every 100 microseconds for the rest of the turn would cost the processors it shares with its
// waiters a tenth of their time (four threads of velk-host's small workload on two processors).
constexpr std::uint64_t kGlanceNanoseconds = 100'000;

// Takes the lock if it is free, marked when other threads sleep on it.
bool take(NativeLock& lock) {
  std::uint32_t free = 0;
  const std::uint32_t held = lock.sleepers.load(std::memory_order_relaxed) != 0 ? 2 : 1;
  return lock.word.load(std::memory_order_relaxed) == 0 &&
         lock.word.compare_exchange_strong(free, held, std::memory_order_acquire,
                                           std::memory_order_relaxed);
}

// Sleeps for at most `timeout` nanoseconds while the lock is held; with `mark`, marks it first so
// that its leave wakes a sleeper.
void sleepWhileHeld(NativeLock& lock, bool mark, std::uint64_t timeout) {
  lock.sleepers.fetch_add(1, std::memory_order_seq_cst);
  std::uint32_t seen = lock.word.load(std::memory_order_relaxed);
  if (mark && seen == 1 && lock.word.compare_exchange_strong(seen, 2, std::memory_order_seq_cst))
    seen = 2;
  if (seen != 0) futexWait(lock.word, seen, timeout);
  lock.sleepers.fetch_sub(1, std::memory_order_relaxed);
  lock.wokenAt.store(0, std::memory_order_relaxed);
}

}  // namespace

void nativeLockWait(NativeLock& lock) {
  using turns::Watched;
  const std::uint64_t arrived = monotonicNanoseconds();
  const Watched watched =
      turns::watch(lock.word, kWatchNanoseconds, kGapNanoseconds, [&lock] { return take(lock); });
  if (watched == Watched::kTaken) return;
  // A waiter that saw the lock kept through a whole spin marks the word, to be woken when the long
  // hold ends; one that saw the holder keep coming back sleeps unmarked, and the holder's turn
  // costs it no wake.
  bool mark = watched == Watched::kHeldLong;
  std::uint64_t glance = kGlanceNanoseconds;
  for (;;) {
    const std::uint64_t waited = monotonicNanoseconds() - arrived;
    if (waited >= kTurnNanoseconds) {
      for (int spin = 0; spin < turns::kSpins; ++spin) {
        if (take(lock)) return;
        turns::pause();
      }
      sleepWhileHeld(lock, true, kGlanceNanoseconds);
      continue;
    }
    if (lock.word.load(std::memory_order_relaxed) == 0 &&
        turns::staysFree(lock.word, kLeftNanoseconds) && take(lock)) {
      return;
    }
    sleepWhileHeld(lock, mark, std::min(kTurnNanoseconds - waited, glance));
    mark = false;
    glance *= 2;
  }
}

void nativeLockWake(NativeLock& lock) {
  // The leave's exchange read the mark with acquire: `sleepers` counts the thread that marked.
  if (lock.sleepers.load(std::memory_order_relaxed) == 0) return;
  const auto now = static_cast<std::uint32_t>(monotonicNanoseconds() / 1000) | 1;
  std::uint32_t woken = lock.wokenAt.load(std::memory_order_relaxed);
  if (woken != 0 && now - woken < kTurnNanoseconds / 1000) return;
  if (!lock.wokenAt.compare_exchange_strong(woken, now, std::memory_order_relaxed)) return;
  if (!futexWakeOne(lock.word)) {
    std::uint32_t mine = now;
    lock.wokenAt.compare_exchange_strong(mine, 0, std::memory_order_relaxed);
  }
}

void nativeLockDestroy(NativeLock&) {}

}  // namespace velk::pal
