// An address space for tests: hands out ranges of one reserved arena at chosen offsets (touching
// or apart), refuses on demand, answers region queries (or fails them on demand) and records
// every release.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "heap/address_space.h"

namespace velk::testing {

class FakeAddressSpace final : public AddressSpace {
 public:
  static constexpr std::size_t kGranule = 0x10000;
  // 64-bit tests can afford arenas far larger than any segment they make; 32-bit ones cannot.
  static constexpr std::size_t kDefaultArena =
      sizeof(void*) == 8 ? std::size_t{1} << 33 : 0x40100000;

  static constexpr std::size_t kSmallestArena = std::size_t{1} << 28;

  // Reserves the arena, or the largest power-of-two fraction of it the process can still give.
  explicit FakeAddressSpace(std::size_t arenaSize = kDefaultArena);
  ~FakeAddressSpace();
  FakeAddressSpace(const FakeAddressSpace&) = delete;
  FakeAddressSpace& operator=(const FakeAddressSpace&) = delete;

  // Placement of the next ranges: at these arena offsets, in order. Without a plan, each range
  // goes one granule past the highest end so far, touching nothing.
  void placeNextAt(std::size_t offset) { planned_.push_back(offset); }
  std::size_t plannedPlacements() const { return planned_.size(); }
  // The next range starts exactly where the last one handed out ends.
  void placeNextTouchingLast();
  // The next range ends exactly where the last one handed out starts.
  void placeNextBelowLast(std::size_t size);
  // Refusals: the next `count` requests, or every request from the k-th on (1-based), or all.
  void refuseNext(std::size_t count) { refuseCount_ = count; }
  void refuseFromRequest(std::size_t k) { refuseFrom_ = k; }
  void refuseAll(bool refuse) { refuseAll_ = refuse; }
  // Region queries at `address` fail, or report a size of 0.
  void failQueryAt(std::uintptr_t address) { failedQueries_.push_back(address); }
  void reportZeroSizeAt(std::uintptr_t address) { zeroSizeQueries_.push_back(address); }
  void setPageSize(std::size_t pageSize) { pageSize_ = pageSize; }

  std::uintptr_t arenaBase() const { return arena_; }
  std::size_t arenaSize() const { return arenaSize_; }
  std::size_t requests() const { return requests_; }
  const std::vector<pal::Region>& handedOut() const { return handedOut_; }
  const std::vector<std::uintptr_t>& releases() const { return releases_; }
  std::size_t liveBytes() const;

  void* reserve(std::size_t size) override;
  bool queryRegion(std::uintptr_t address, pal::Region& region) override;
  void release(std::uintptr_t base) override;
  std::size_t pageSize() override { return pageSize_; }

 private:
  bool contains(const std::vector<std::uintptr_t>& addresses, std::uintptr_t address) const;

  std::uintptr_t arena_ = 0;
  std::uintptr_t mapping_ = 0;
  std::size_t arenaSize_;
  std::size_t pageSize_ = 4096;
  std::deque<std::size_t> planned_;
  std::size_t requests_ = 0;
  std::size_t refuseCount_ = 0;
  std::size_t refuseFrom_ = 0;
  bool refuseAll_ = false;
  std::vector<std::uintptr_t> failedQueries_;
  std::vector<std::uintptr_t> zeroSizeQueries_;
  std::vector<pal::Region> handedOut_;  // live ranges; a released one has size 0
  std::vector<std::uintptr_t> releases_;
  std::size_t highestEnd_ = 0;  // arena offset
};

}  // namespace velk::testing
