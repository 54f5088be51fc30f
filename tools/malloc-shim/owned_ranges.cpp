#include "owned_ranges.h"

#include <sys/mman.h>

namespace velk::shim {
namespace detail {
std::atomic<Leaf*> leaves[kTopEntries];
}  // namespace detail

namespace {

constinit RecordingAddressSpace recordingSpace;

// Leaves come straight from the system: the shim cannot allocate from the heap it serves while
// that heap is growing.
detail::Leaf* leafFor(std::uint64_t top) {
  detail::Leaf* leaf = detail::leaves[top].load(std::memory_order_acquire);
  if (leaf != nullptr) return leaf;
  void* fresh = mmap(nullptr, sizeof(detail::Leaf), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (fresh == MAP_FAILED) return nullptr;
  leaf = static_cast<detail::Leaf*>(fresh);  // anonymous pages read as zero: no bit set
  detail::leaves[top].store(leaf, std::memory_order_release);
  return leaf;
}

// Every granule of the range, or none of them: false when a leaf cannot be had.
bool record(std::uintptr_t base, std::size_t size) {
  const auto first = static_cast<std::uint64_t>(base) >> detail::kGranuleBits;
  const auto end = (static_cast<std::uint64_t>(base) + size) >> detail::kGranuleBits;
  for (std::uint64_t granule = first; granule < end; ++granule) {
    const std::uint64_t top = granule >> detail::kLeafBits;
    if (top >= detail::kTopEntries || leafFor(top) == nullptr) return false;
  }
  for (std::uint64_t granule = first; granule < end; ++granule) {
    detail::Leaf& leaf = *detail::leaves[granule >> detail::kLeafBits].load();
    const std::uint64_t index = granule & ((std::uint64_t{1} << detail::kLeafBits) - 1);
    leaf[index / 64].fetch_or(std::uint64_t{1} << (index % 64), std::memory_order_release);
  }
  return true;
}

}  // namespace

// Called with the heap lock held, so ranges are recorded one at a time.
void* RecordingAddressSpace::reserve(std::size_t size) {
  void* base = systemAddressSpace().reserve(size);
  if (base == nullptr) return nullptr;
  if (!record(reinterpret_cast<std::uintptr_t>(base), size)) {
    systemAddressSpace().release(reinterpret_cast<std::uintptr_t>(base));
    return nullptr;
  }
  return base;
}

bool RecordingAddressSpace::queryRegion(std::uintptr_t address, pal::Region& region) {
  return systemAddressSpace().queryRegion(address, region);
}

// Only reached if the heap were torn down, which the shim never does. Giving a range back would
// leave its granules marked while the system hands the addresses to someone else, so the range
// stays with the heap.
void RecordingAddressSpace::release(std::uintptr_t) {}

std::size_t RecordingAddressSpace::pageSize() {
  return systemAddressSpace().pageSize();
}

RecordingAddressSpace& recordingAddressSpace() {
  return recordingSpace;
}

}  // namespace velk::shim
