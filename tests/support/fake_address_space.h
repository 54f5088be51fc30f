// An address space for tests: hands out ranges of one reserved arena where a test places them
// (touching the last range, below it, or at an offset), refuses on demand, answers region
// queries (or lies about them on demand) and records every release.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "heap/address_space.h"

namespace velk::testing {

class FakeAddressSpace final : public AddressSpace {
 public:
  static constexpr std::size_t kGranule = 0x10000;
  // 64-bit tests can afford arenas far larger than any segment they make; 32-bit ones cannot.
  static constexpr std::size_t kDefaultArena =
      sizeof(void*) == 8 ? std::size_t{1} << 33 : 0x40100000;

  // Reserves the arena, or the largest power-of-two fraction of it (down to 256 MiB) the process
  // can still give.
  explicit FakeAddressSpace(std::size_t arenaSize = kDefaultArena);
  ~FakeAddressSpace();
  FakeAddressSpace(const FakeAddressSpace&) = delete;
  FakeAddressSpace& operator=(const FakeAddressSpace&) = delete;

  // Where the next range goes. A placement that would overlap a live range or leave the arena is
  // dropped; without one, a range goes a granule past the highest end so far, touching nothing.
  enum class Placement { Apart, AtOffset, TouchingLast, BelowLast };
  void placeNext(Placement placement, std::size_t offset = 0) {
    placement_ = placement;
    placedAt_ = offset;
  }
  // Refusals: the next `count` requests, or all.
  void refuseNext(std::size_t count) { refuseCount_ = count; }
  void refuseAll(bool refuse) { refuseAll_ = refuse; }
  // Region queries at `address` fail, or report a size of 0, or a base that is off by `shift`.
  enum class Lie { Fail, ZeroSize, ShiftedBase };
  void lieAt(std::uintptr_t address, Lie lie, std::ptrdiff_t shift = 0) {
    lies_[address] = {lie, shift};
  }
  void setPageSize(std::size_t pageSize) { pageSize_ = pageSize; }

  std::uintptr_t arenaBase() const { return arena_; }
  std::size_t arenaSize() const { return arenaSize_; }
  std::size_t requests() const { return requests_; }
  // Every range handed out, in order; a released one has size 0.
  const std::vector<pal::Region>& handedOut() const { return handedOut_; }
  const std::vector<std::uintptr_t>& releases() const { return releases_; }
  // Every range discarded, in order; the pages are given back to the system for real.
  const std::vector<pal::Region>& discards() const { return discards_; }
  std::size_t liveBytes() const;

  void* reserve(std::size_t size) override;
  bool queryRegion(std::uintptr_t address, pal::Region& region) override;
  void release(std::uintptr_t base) override;
  void discard(std::uintptr_t base, std::size_t size) override;
  std::size_t pageSize() override { return pageSize_; }

 private:
  bool isFree(std::size_t offset, std::size_t size) const;

  std::uintptr_t arena_ = 0;
  std::uintptr_t mapping_ = 0;
  std::size_t arenaSize_;
  std::size_t pageSize_ = 4096;
  Placement placement_ = Placement::Apart;
  std::size_t placedAt_ = 0;
  std::size_t requests_ = 0;
  std::size_t refuseCount_ = 0;
  bool refuseAll_ = false;
  std::map<std::uintptr_t, std::pair<Lie, std::ptrdiff_t>> lies_;
  std::vector<pal::Region> handedOut_;
  std::vector<std::uintptr_t> releases_;
  std::vector<pal::Region> discards_;
  std::size_t highestEnd_ = 0;  // arena offset
};

}  // namespace velk::testing
