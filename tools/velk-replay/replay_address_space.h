// The address space of a replay: segments come out of one arena reserved up front, placed where
// the traced run had its own, as far as the trace tells. The engine's choices depend on where
// segments lie (which touch and join, which Block is lower), so a segment laid at the traced
// run's place, moved by one fixed distance, makes the same choices the library made.
//
// The trace does not name segments, only the payloads served from them. When an allocation needs
// a new segment, the payload the traced run got tells where its segment was: one whose first
// Block starts at the granule below the payload, or, when the payload lies in a segment already
// placed, one that begins where that segment ends (it was joined to it). A segment that cannot go
// there goes one granule past every other, touching none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "heap/address_space.h"

namespace velk::replay {

class ReplayAddressSpace final : public AddressSpace {
 public:
  static constexpr std::size_t kGranule = 0x10000;

  ReplayAddressSpace();
  ~ReplayAddressSpace();
  ReplayAddressSpace(const ReplayAddressSpace&) = delete;
  ReplayAddressSpace& operator=(const ReplayAddressSpace&) = delete;

  bool ready() const { return arena_ != 0; }
  std::size_t arenaSize() const { return arenaSize_; }

  // The payload the traced run got from the call being replayed (0 when unknown): where a segment
  // made during this call goes.
  void setTracedPayload(std::uint64_t payload) { tracedPayload_ = payload; }
  // Every request is refused while set: the traced run's system refused this call's segment.
  void refuseRequests(bool refuse) { refuse_ = refuse; }

  // Where the replay's heap has the traced address `traced`, if it lies in a segment placed at
  // the traced run's place; 0 otherwise.
  std::uintptr_t replayAddressOf(std::uint64_t traced) const;
  std::size_t rangesPlacedAsTraced() const;
  std::size_t rangeCount() const { return ranges_.size(); }

  void* reserve(std::size_t size) override;
  bool queryRegion(std::uintptr_t address, pal::Region& region) override;
  void release(std::uintptr_t base) override;
  void discard(std::uintptr_t base, std::size_t size) override {
    pal::discard(reinterpret_cast<void*>(base), size);
  }
  std::size_t pageSize() override { return 4096; }

 private:
  struct Range {
    std::uintptr_t base;  // in the replay
    std::size_t size;
    std::uint64_t tracedBase;  // where the traced run had it; 0 when unknown
    bool live;
  };

  bool isFree(std::uintptr_t base, std::size_t size) const;
  std::uintptr_t tracedPlace(std::size_t size) const;
  std::uintptr_t placeApart(std::size_t size) const;

  std::uintptr_t mapping_ = 0;
  std::size_t mappingSize_ = 0;
  std::uintptr_t arena_ = 0;
  std::size_t arenaSize_ = 0;
  // Replay address minus traced address, fixed by the first segment.
  std::uint64_t distance_ = 0;
  bool distanceKnown_ = false;
  std::uint64_t tracedPayload_ = 0;
  bool refuse_ = false;
  std::vector<Range> ranges_;
};

}  // namespace velk::replay
