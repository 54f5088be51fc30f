// The platform layer on Linux: mmap for address space, a futex lock, gettid.
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "pal/native_lock.h"
#include "pal/pal.h"

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

long futex(std::atomic<std::uint32_t>& word, int operation, std::uint32_t value) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), operation, value, nullptr,
                 nullptr, 0);
}

}  // namespace

void* reserve(std::size_t size) {
  if (size == 0 || size > SIZE_MAX - kReserveAlignment) return nullptr;
  void* base = mapAligned(size, PROT_READ | PROT_WRITE | PROT_EXEC);
  // Hardened kernels refuse writable executable memory; the heap itself never executes it.
  if (base == nullptr && (errno == EACCES || errno == EPERM))
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

// Records are mapped apart from the segments. The kernel places each mapping right below the one
// before, so a records mapping made for one segment would sit between it and the next, and
// segments that would have touched, and been joined, never would. Records go upward from a hint
// far from where mappings are placed: 32 TiB in a 64-bit address space; in a 32-bit one, 16 MiB,
// below the program and its data, where the kernel places nothing on its own. Where the system
// does not take the hint, anywhere.
void* mapRecords(std::size_t size) {
  static std::atomic<std::uintptr_t> hint{sizeof(void*) == 8 ? std::uintptr_t{1} << 45
                                                             : std::uintptr_t{1} << 24};
  const std::uintptr_t wanted = hint.load(std::memory_order_relaxed);
  void* base = mmap(reinterpret_cast<void*>(wanted), size, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  if (wanted != 0 && reinterpret_cast<std::uintptr_t>(base) == wanted) {
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(base) + size;
    hint.store((end + kReserveAlignment - 1) & ~(kReserveAlignment - 1), std::memory_order_relaxed);
  }
  return base;
}

void unmapRecords(void* base, std::size_t size) {
  munmap(base, size);
}

std::size_t pageSize() {
  static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

std::uint32_t currentThreadId() {
  return static_cast<std::uint32_t>(syscall(SYS_gettid));
}

void nativeLockInit(NativeLock& lock) {
  lock.store(0, std::memory_order_relaxed);
}

// Marks the lock as having waiters and sleeps until the holder wakes us. Whoever takes the lock
// from here on marks it 2, since other sleepers may remain.
void nativeLockWait(NativeLock& lock, std::uint32_t seen) {
  std::uint32_t state = seen == 2 ? 2 : lock.exchange(2, std::memory_order_acquire);
  while (state != 0) {
    futex(lock, FUTEX_WAIT_PRIVATE, 2);
    state = lock.exchange(2, std::memory_order_acquire);
  }
}

void nativeLockWake(NativeLock& lock) {
  futex(lock, FUTEX_WAKE_PRIVATE, 1);
}

void nativeLockDestroy(NativeLock&) {}

}  // namespace velk::pal
