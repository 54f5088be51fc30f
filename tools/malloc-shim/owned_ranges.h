// Which addresses belong to the shim's heap, answerable without the heap lock. The heap's own
// segment table may only be read under the lock, but free() has to tell its own pointers from
// the C library's before it decides whether to take the lock at all.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "heap/address_space.h"

namespace velk::shim {

// The system's address space, recording every range it hands out in a page map of 64 KiB
// granules (segments are multiples of 64 KiB at multiples of 64 KiB). Ranges are only ever added:
// the shim's heap lives until the process ends.
class RecordingAddressSpace final : public AddressSpace {
 public:
  void* reserve(std::size_t size) override;
  bool queryRegion(std::uintptr_t address, pal::Region& region) override;
  void release(std::uintptr_t base) override;
  std::size_t pageSize() override;
};

RecordingAddressSpace& recordingAddressSpace();

namespace detail {
inline constexpr unsigned kGranuleBits = 16;
// One leaf covers 4 GiB; the top table covers a 48-bit address space (one entry in 32-bit).
inline constexpr unsigned kLeafBits = 32 - kGranuleBits;
inline constexpr std::size_t kLeafWords = (std::size_t{1} << kLeafBits) / 64;
inline constexpr std::size_t kTopEntries = sizeof(void*) == 8 ? std::size_t{1} << 16 : 1;
using Leaf = std::atomic<std::uint64_t>[kLeafWords];
extern std::atomic<Leaf*> leaves[kTopEntries];
}  // namespace detail

// True when `address` lies in a range the heap took from the system. Lock-free; a range is
// recorded before the heap hands out any address in it.
inline bool isOwned(const void* address) {
  const auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(address));
  const std::uint64_t top = value >> 32;
  if (top >= detail::kTopEntries) return false;
  detail::Leaf* leaf = detail::leaves[top].load(std::memory_order_acquire);
  if (leaf == nullptr) return false;
  const std::uint64_t granule = (value & 0xFFFFFFFFu) >> detail::kGranuleBits;
  return ((*leaf)[granule / 64].load(std::memory_order_relaxed) >> (granule % 64) & 1u) != 0;
}

}  // namespace velk::shim
