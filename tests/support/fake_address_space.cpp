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

// The arena is reserved without backing: a range becomes usable when it is handed out and its
// pages are dropped again when it is released, so tests can make many large segments cheaply.
// On Linux its start is aligned to the granule inside a slightly larger mapping.
std::uintptr_t reserveArena(std::size_t size, std::uintptr_t& mapping) {
#ifdef _WIN32
  mapping =
      reinterpret_cast<std::uintptr_t>(VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS));
  return mapping;
#else
  void* base = mmap(nullptr, size + FakeAddressSpace::kGranule, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  mapping = base == MAP_FAILED ? 0 : reinterpret_cast<std::uintptr_t>(base);
  return mapping == 0
             ? 0
             : (mapping + FakeAddressSpace::kGranule - 1) & ~(FakeAddressSpace::kGranule - 1);
#endif
}

}  // namespace

FakeAddressSpace::FakeAddressSpace(std::size_t arenaSize) : arenaSize_(arenaSize) {
  // A crowded 32-bit process may not have the whole arena in one piece; take what it has.
  while ((arena_ = reserveArena(arenaSize_, mapping_)) == 0 && arenaSize_ > (1u << 28)) {
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

std::size_t FakeAddressSpace::liveBytes() const {
  std::size_t bytes = 0;
  for (const pal::Region& region : handedOut_) bytes += region.size;
  return bytes;
}

bool FakeAddressSpace::isFree(std::size_t offset, std::size_t size) const {
  if (size > arenaSize_ || offset > arenaSize_ - size) return false;
  return std::none_of(handedOut_.begin(), handedOut_.end(), [&](const pal::Region& range) {
    return range.size != 0 && arena_ + offset < range.base + range.size &&
           range.base < arena_ + offset + size;
  });
}

void* FakeAddressSpace::reserve(std::size_t size) {
  ++requests_;
  const bool refused = refuseAll_ || refuseCount_ > 0;
  if (refuseCount_ > 0) --refuseCount_;
  std::size_t offset = highestEnd_ == 0 ? 0 : highestEnd_ + kGranule;
  const pal::Region last = handedOut_.empty() ? pal::Region{arena_, 0} : handedOut_.back();
  std::size_t planned = last.base - arena_ + last.size;
  if (placement_ == Placement::AtOffset) planned = placedAt_ / kGranule * kGranule;
  if (placement_ == Placement::BelowLast) planned = last.base - arena_ - size;
  if (placement_ != Placement::Apart && isFree(planned, size)) offset = planned;
  placement_ = Placement::Apart;
  if (refused || !isFree(offset, size)) return nullptr;
  const std::uintptr_t base = arena_ + offset;
#ifdef _WIN32
  VirtualAlloc(reinterpret_cast<void*>(base), size, MEM_COMMIT, PAGE_READWRITE);
#endif
  handedOut_.push_back({base, size});
  highestEnd_ = std::max(highestEnd_, offset + size);
  return reinterpret_cast<void*>(base);
}

bool FakeAddressSpace::queryRegion(std::uintptr_t address, pal::Region& region) {
  const auto lie = lies_.find(address);
  if (lie != lies_.end() && lie->second.first == Lie::Fail) return false;
  for (const pal::Region& range : handedOut_) {
    if (range.size != 0 && address - range.base < range.size) {
      region = {address, range.base + range.size - address};
      if (lie != lies_.end() && lie->second.first == Lie::ZeroSize) region.size = 0;
      if (lie != lies_.end()) region.base += static_cast<std::uintptr_t>(lie->second.second);
      return true;
    }
  }
  return false;
}

void FakeAddressSpace::release(std::uintptr_t base) {
  releases_.push_back(base);
  for (pal::Region& range : handedOut_) {
    if (range.size == 0 || range.base != base) continue;
#ifdef _WIN32
    VirtualFree(reinterpret_cast<void*>(range.base), range.size, MEM_DECOMMIT);
#else
    madvise(reinterpret_cast<void*>(range.base), range.size, MADV_DONTNEED);
#endif
    range.size = 0;
  }
}

void FakeAddressSpace::discard(std::uintptr_t base, std::size_t size) {
  discards_.push_back({base, size});
  pal::discard(reinterpret_cast<void*>(base), size);
}

}  // namespace velk::testing
