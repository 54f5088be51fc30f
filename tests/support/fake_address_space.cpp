#include "tests/support/fake_address_space.h"

#include <algorithm>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace velk::testing {
namespace {

// The arena is reserved without backing; a range is made usable when it is handed out and its
// pages are dropped again when it is released, so tests can make many large segments cheaply.
// Its start is aligned to the granule inside a slightly larger mapping, all of which is unmapped
// again: a 32-bit test process cannot afford to lose address space to leftovers.
std::uintptr_t reserveArena(std::size_t size, std::uintptr_t& mapping) {
#ifdef _WIN32
  mapping =
      reinterpret_cast<std::uintptr_t>(VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS));
  return mapping;
#else
  void* base = mmap(nullptr, size + FakeAddressSpace::kGranule, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) return 0;
  mapping = reinterpret_cast<std::uintptr_t>(base);
  return (mapping + FakeAddressSpace::kGranule - 1) & ~(FakeAddressSpace::kGranule - 1);
#endif
}

void makeUsable(std::uintptr_t base, std::size_t size) {
#ifdef _WIN32
  VirtualAlloc(reinterpret_cast<void*>(base), size, MEM_COMMIT, PAGE_READWRITE);
#else
  (void)base;
  (void)size;
#endif
}

void dropPages(std::uintptr_t base, std::size_t size) {
#ifdef _WIN32
  VirtualFree(reinterpret_cast<void*>(base), size, MEM_DECOMMIT);
#else
  madvise(reinterpret_cast<void*>(base), size, MADV_DONTNEED);
#endif
}

}  // namespace

FakeAddressSpace::FakeAddressSpace(std::size_t arenaSize) : arenaSize_(arenaSize) {
  // A crowded 32-bit process may not have the whole arena in one piece; take what it has.
  for (arena_ = reserveArena(arenaSize_, mapping_); arena_ == 0 && arenaSize_ > kSmallestArena;
       arena_ = reserveArena(arenaSize_, mapping_)) {
    arenaSize_ /= 2;
  }
  if (arena_ == 0) std::abort();
}

FakeAddressSpace::~FakeAddressSpace() {
#ifdef _WIN32
  VirtualFree(reinterpret_cast<void*>(mapping_), 0, MEM_RELEASE);
#else
  munmap(reinterpret_cast<void*>(mapping_), arenaSize_ + kGranule);
#endif
}

void FakeAddressSpace::placeNextTouchingLast() {
  if (handedOut_.empty()) return;
  const pal::Region& last = handedOut_.back();
  planned_.push_back(last.base - arena_ + last.size);
}

void FakeAddressSpace::placeNextBelowLast(std::size_t size) {
  if (handedOut_.empty()) return;
  planned_.push_back(handedOut_.back().base - arena_ - size);
}

std::size_t FakeAddressSpace::liveBytes() const {
  std::size_t bytes = 0;
  for (const pal::Region& region : handedOut_) bytes += region.size;
  return bytes;
}

void* FakeAddressSpace::reserve(std::size_t size) {
  ++requests_;
  const bool refused =
      refuseAll_ || refuseCount_ > 0 || (refuseFrom_ != 0 && requests_ >= refuseFrom_);
  if (refuseCount_ > 0) --refuseCount_;
  std::size_t offset = highestEnd_ == 0 ? 0 : highestEnd_ + kGranule;
  if (!planned_.empty()) {
    offset = planned_.front();
    planned_.pop_front();
  }
  if (refused || size > arenaSize_ || offset > arenaSize_ - size) return nullptr;
  const std::uintptr_t base = arena_ + offset;
  makeUsable(base, size);
  handedOut_.push_back({base, size});
  highestEnd_ = std::max(highestEnd_, offset + size);
  return reinterpret_cast<void*>(base);
}

bool FakeAddressSpace::contains(const std::vector<std::uintptr_t>& addresses,
                                std::uintptr_t address) const {
  return std::find(addresses.begin(), addresses.end(), address) != addresses.end();
}

bool FakeAddressSpace::queryRegion(std::uintptr_t address, pal::Region& region) {
  if (contains(failedQueries_, address)) return false;
  if (contains(zeroSizeQueries_, address)) {
    region = {address, 0};
    return true;
  }
  for (const pal::Region& range : handedOut_) {
    if (range.size != 0 && address - range.base < range.size) {
      region = {address, range.base + range.size - address};
      return true;
    }
  }
  return false;
}

void FakeAddressSpace::release(std::uintptr_t base) {
  releases_.push_back(base);
  for (pal::Region& range : handedOut_) {
    if (range.size != 0 && range.base == base) {
      dropPages(range.base, range.size);
      range.size = 0;
    }
  }
}

}  // namespace velk::testing
