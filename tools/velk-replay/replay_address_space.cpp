#include "replay_address_space.h"

#include <sys/mman.h>

namespace velk::replay {
namespace {

// Room for segments on either side of the first: the kernel places later mappings below earlier
// ones on 64-bit Linux, and Windows places them above in a 32-bit process.
constexpr std::size_t kLargestArena = sizeof(void*) == 8 ? std::size_t{1} << 38 : 0xC0000000u;
constexpr std::size_t kSmallestArena = 0x30000000;
constexpr std::size_t kArenaStep = sizeof(void*) == 8 ? kLargestArena / 2 : 0x10000000;

}  // namespace

ReplayAddressSpace::ReplayAddressSpace() {
  // Reserved without backing: only the pages the heap writes (headers and links) take memory.
  for (std::size_t size = kLargestArena; size >= kSmallestArena; size -= kArenaStep) {
    void* mapping = mmap(nullptr, size + kGranule, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED) continue;
    mapping_ = reinterpret_cast<std::uintptr_t>(mapping);
    mappingSize_ = size + kGranule;
    arena_ = (mapping_ + kGranule - 1) & ~(kGranule - 1);
    arenaSize_ = size;
    break;
  }
}

ReplayAddressSpace::~ReplayAddressSpace() {
  if (mapping_ != 0) munmap(reinterpret_cast<void*>(mapping_), mappingSize_);
}

bool ReplayAddressSpace::isFree(std::uintptr_t base, std::size_t size) const {
  if (base < arena_ || base - arena_ > arenaSize_ || size > arenaSize_ - (base - arena_)) {
    return false;
  }
  for (const Range& range : ranges_) {
    if (range.live && base < range.base + range.size && range.base < base + size) return false;
  }
  return true;
}

std::uintptr_t ReplayAddressSpace::tracedPlace(std::size_t size) const {
  const std::uint64_t payload = tracedPayload_;
  if (payload == 0) return 0;
  for (const Range& range : ranges_) {
    if (!range.live || range.tracedBase == 0 || payload - range.tracedBase >= range.size) {
      continue;
    }
    // The payload lies in a segment already placed: the new one was joined to its end, beyond
    // any range joined there before.
    std::uint64_t end = range.tracedBase + range.size;
    for (bool moved = true; moved;) {
      moved = false;
      for (const Range& other : ranges_) {
        if (other.live && other.tracedBase == end) {
          end += other.size;
          moved = true;
        }
      }
    }
    return static_cast<std::uintptr_t>(end);
  }
  (void)size;
  return static_cast<std::uintptr_t>((payload - 1) & ~std::uint64_t{kGranule - 1});
}

std::uintptr_t ReplayAddressSpace::placeApart(std::size_t size) const {
  std::uintptr_t lowest = 0;
  std::uintptr_t highestEnd = 0;
  for (const Range& range : ranges_) {
    if (!range.live) continue;
    if (lowest == 0 || range.base < lowest) lowest = range.base;
    if (range.base + range.size > highestEnd) highestEnd = range.base + range.size;
  }
  if (highestEnd == 0) {
    const std::uintptr_t first = arena_ + (arenaSize_ / (sizeof(void*) == 8 ? 2 : 4));
    return isFree(first, size) ? first : 0;
  }
  if (isFree(highestEnd + kGranule, size)) return highestEnd + kGranule;
  if (lowest - arena_ >= size + kGranule && isFree(lowest - kGranule - size, size)) {
    return lowest - kGranule - size;
  }
  return 0;
}

void* ReplayAddressSpace::reserve(std::size_t size) {
  if (refuse_ || arena_ == 0 || size == 0 || size % kGranule != 0) return nullptr;
  std::uint64_t traced = tracedPlace(size);
  std::uintptr_t base = 0;
  if (traced != 0) {
    if (!distanceKnown_) {
      base = placeApart(size);
      distance_ = base - traced;
      distanceKnown_ = base != 0;
    } else {
      base = static_cast<std::uintptr_t>(traced + distance_);
      if (!isFree(base, size)) base = 0;
    }
  }
  if (base == 0) {
    traced = 0;
    base = placeApart(size);
  }
  if (base == 0) return nullptr;
  ranges_.push_back({base, size, traced, true});
  return reinterpret_cast<void*>(base);
}

bool ReplayAddressSpace::queryRegion(std::uintptr_t address, pal::Region& region) {
  for (const Range& range : ranges_) {
    if (range.live && address - range.base < range.size) {
      region = {range.base, range.size};
      return true;
    }
  }
  return false;
}

void ReplayAddressSpace::release(std::uintptr_t base) {
  for (Range& range : ranges_) {
    if (range.live && range.base == base) {
      madvise(reinterpret_cast<void*>(base), range.size, MADV_DONTNEED);
      range.live = false;
      return;
    }
  }
}

std::uintptr_t ReplayAddressSpace::replayAddressOf(std::uint64_t traced) const {
  for (const Range& range : ranges_) {
    if (range.live && range.tracedBase != 0 && traced - range.tracedBase < range.size) {
      return static_cast<std::uintptr_t>(range.base + (traced - range.tracedBase));
    }
  }
  return 0;
}

std::size_t ReplayAddressSpace::rangesPlacedAsTraced() const {
  std::size_t placed = 0;
  for (const Range& range : ranges_) placed += range.tracedBase != 0 ? 1 : 0;
  return placed;
}

}  // namespace velk::replay
