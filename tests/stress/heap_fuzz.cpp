// libFuzzer target: decodes its input into a run of heap operations over the fake address space
// and holds the heap to its invariants after every one of them.
//
// Input: one byte that picks the page size, then operations of one opcode byte and a few argument
// bytes each (missing bytes read as 0). Operations: allocate any size and alignment (0, huge,
// around the class bounds and the limits, not powers of two, above 1 MiB); free live Blocks,
// pointers freed before, pointers offset into or in front of a payload, runtime-heap pointers
// and null; size queries on all of these; refusals of the address space; segment placements that
// touch the last segment, lie below it or at a chosen offset.
//
// After every operation `validate()` must find nothing, every live payload keeps its pattern, and
// a pointer in a segment has a non-zero size exactly when it is the payload of a live Block.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "heap/heap.h"
#include "tests/stress/payload_pattern.h"
#include "tests/support/fake_address_space.h"

namespace {

using velk::Heap;
using velk::HeapStats;
using velk::kHeaderSize;
using velk::kMaxAlign;
using velk::kMaxRequestSize;
using velk::kUnit;
using velk::testing::FakeAddressSpace;

// Small enough that a run cannot exhaust the machine; big enough, in 64-bit builds, for Blocks in
// the catch-all class. The fake maps it lazily, so only the pages the heap and the patterns touch
// cost memory. A 32-bit process (the replay runs there too) has room for less.
constexpr std::size_t kArenaBytes = sizeof(void*) == 8 ? std::size_t{2} << 30 : 0x20000000;
constexpr std::size_t kMaxOperations = 512;
// The pattern of a live payload: from its id, with the top bit of every byte clear.
constexpr velk::stress::PayloadPattern kPattern{37u, 11u, 0x7Fu, 0x10000, 0x1000};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "heap_fuzz: %s\n", what);
  std::abort();
}

void check(bool holds, const char* what) {
  if (!holds) fail(what);
}

void describeViolation(const char* violation) {
  std::fprintf(stderr, "heap_fuzz: invariant broken: %s\n", violation);
}

std::uintptr_t addressOf(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer);
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return position_ >= size_; }
  std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | byte() << 8); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(u16() | std::uint32_t{u16()} << 16); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

struct LiveBlock {
  std::size_t size;
  std::uint32_t id;
};

void fillPattern(std::uintptr_t payload, const LiveBlock& block) {
  kPattern.fill(reinterpret_cast<unsigned char*>(payload), block.size, block.id);
}

void checkPattern(std::uintptr_t payload, const LiveBlock& block) {
  check(kPattern.holds(reinterpret_cast<const unsigned char*>(payload), block.size, block.id),
        "payload pattern overwritten");
}

// Segment placements chosen by the input are applied only when the range they give cannot
// overlap a live one: an overlapping range would be a fault of the test, not of the heap.
class PlacedAddressSpace final : public velk::AddressSpace {
 public:
  enum class Placement { Default, TouchingLast, BelowLast, AtOffset };

  explicit PlacedAddressSpace(FakeAddressSpace& fake) : fake_(fake) {}

  void plan(Placement placement, std::size_t offset) {
    placement_ = placement;
    offset_ = offset;
  }

  void* reserve(std::size_t size) override {
    const Placement placement = placement_;
    placement_ = Placement::Default;
    const auto& ranges = fake_.handedOut();
    if (placement != Placement::Default && !ranges.empty()) {
      const std::uintptr_t lastBase = ranges.back().base - fake_.arenaBase();
      const std::size_t lastSize = ranges.back().size;
      std::size_t offset = offset_ / FakeAddressSpace::kGranule * FakeAddressSpace::kGranule;
      if (placement == Placement::TouchingLast) offset = lastBase + lastSize;
      if (placement == Placement::BelowLast) offset = lastBase - size;
      if (placement == Placement::BelowLast && lastBase < size) {
        // Nowhere to go below.
      } else if (fits(offset, size)) {
        if (placement == Placement::TouchingLast) {
          fake_.placeNextTouchingLast();
        } else if (placement == Placement::BelowLast) {
          fake_.placeNextBelowLast(size);
        } else {
          fake_.placeNextAt(offset);
        }
      }
    }
    return fake_.reserve(size);
  }
  bool queryRegion(std::uintptr_t address, velk::pal::Region& region) override {
    return fake_.queryRegion(address, region);
  }
  void release(std::uintptr_t base) override { fake_.release(base); }
  std::size_t pageSize() override { return fake_.pageSize(); }

 private:
  bool fits(std::size_t offset, std::size_t size) const {
    if (size > kArenaBytes || offset > kArenaBytes - size) return false;
    const std::uintptr_t base = fake_.arenaBase() + offset;
    for (const velk::pal::Region& range : fake_.handedOut()) {
      if (range.size != 0 && base < range.base + range.size && range.base < base + size) {
        return false;
      }
    }
    return true;
  }

  FakeAddressSpace& fake_;
  Placement placement_ = Placement::Default;
  std::size_t offset_ = 0;
};

// Totals over every run, printed when the fuzzer exits.
struct Totals {
  std::size_t runs = 0;
  std::size_t operations = 0;
  ~Totals() { std::fprintf(stderr, "heap_fuzz: %zu operations in %zu runs\n", operations, runs); }
} totals;

std::size_t foreignFrees = 0;
void countForeignFree(void* pointer) {
  ++foreignFrees;
  std::free(pointer);
}

std::size_t decodeSize(Input& input) {
  static constexpr std::size_t kSpecial[] = {
      0,
      1,
      3,
      4,
      5,
      7,
      8,
      9,
      15,
      16,
      17,
      0x1100000 - 40,  // just fills the least segment
      0x1400004,       // between the least segment and the catch-all class
      (std::size_t{1} << 30) - 16,
      std::size_t{1} << 30,
      (std::size_t{1} << 30) + 8,
      0xFFF00000,
      0xFFF00001,
      kMaxRequestSize - 1,
      kMaxRequestSize,
      kMaxRequestSize + 1,
      ~std::size_t{0},
  };
  switch (input.byte() % 8) {
    case 0:
      return input.byte();
    case 1:
      return input.u16() % 4096;
    case 2:
      return std::size_t{input.u16()} * 16;
    case 3:
      return input.u32() % (std::size_t{64} << 20);
    case 4: {
      // Around a class bound, where rounding up and down part ways.
      const std::size_t bound = velk::kClassBound[input.u16() % velk::kNumBins];
      const auto delta = static_cast<std::int8_t>(input.byte());
      return delta < 0 && bound < static_cast<std::size_t>(-delta)
                 ? 0
                 : static_cast<std::size_t>(static_cast<std::ptrdiff_t>(bound) + delta);
    }
    case 5:
      return kSpecial[input.byte() % std::size(kSpecial)];
    case 6:
      return input.u32();
    default:
      return input.u16() % 512;
  }
}

std::size_t decodeAlign(Input& input) {
  static constexpr std::size_t kAligns[] = {
      0, 1, 2, 3, 4, 8, 16, 32, 64, 128, 4096, 65536, 24, kMaxAlign, kMaxAlign + 1, 0x200000};
  const std::uint8_t choice = input.byte();
  if (choice % 17 == 16) return input.u32();
  return kAligns[choice % 17 % std::size(kAligns)];
}

class Run {
 public:
  explicit Run(std::size_t pageSize) : fake_(kArenaBytes), placed_(fake_) {
    fake_.setPageSize(pageSize);
    heap_ = std::make_unique<Heap>(placed_, velk::LockPlacement::RuntimeHeap, countForeignFree);
  }

  ~Run() {
    for (void* pointer : foreign_) std::free(pointer);
  }

  void step(Input& input) {
    switch (input.byte() % 17) {
      case 0:
      case 1:
      case 2:
      case 3: {
        const std::size_t size = decodeSize(input);
        allocate(size, decodeAlign(input));
        break;
      }
      case 4:
      case 5:
        if (!live_.empty()) freeLive(pick(live_, input.u16()));
        break;
      case 6:
        freeInvalid(stalePointer(input));
        break;
      case 7:
        freeInvalid(offsetPointer(input));
        break;
      case 8:
        freeForeign(input);
        break;
      case 9:
        querySizes(input);
        break;
      case 10:
        fake_.refuseNext(input.byte() % 4);
        break;
      case 11:
        fake_.refuseAll(input.byte() % 4 == 0);
        break;
      case 12:
        placed_.plan(PlacedAddressSpace::Placement::AtOffset,
                     std::size_t{input.u16()} * FakeAddressSpace::kGranule % kArenaBytes);
        break;
      case 13:
        placed_.plan(PlacedAddressSpace::Placement::TouchingLast, 0);
        break;
      case 14:
        placed_.plan(PlacedAddressSpace::Placement::BelowLast, 0);
        break;
      case 15:
        if (!live_.empty()) {
          const std::uintptr_t payload = pick(live_, input.u16());
          resize(payload, decodeSize(input));
        }
        break;
      default:
        freeNull();
        break;
    }
    validate();
  }

  // Every live payload still holds its pattern; freeing them all leaves each segment one free
  // Block; teardown gives every range back.
  void finish() {
    fake_.refuseAll(false);
    for (const auto& [payload, block] : live_) checkPattern(payload, block);
    while (!live_.empty()) {
      freeLive(live_.begin()->first);
      validate();
    }
    const HeapStats& stats = heap_->stats();
    check(stats.allocBlocks == 0 && stats.totalAlloc == 0,
          "allocated bytes left after freeing all");
    check(stats.freeBlocks == static_cast<std::size_t>(heap_->segmentCount()),
          "a segment is not one free Block after freeing all");
    heap_.reset();
    check(fake_.liveBytes() == 0, "teardown left a range unreleased");
  }

 private:
  template <typename Map>
  static std::uintptr_t pick(const Map& map, std::uint16_t choice) {
    auto it = map.begin();
    std::advance(it, choice % map.size());
    return it->first;
  }

  void validate() {
    if (heap_->validate(describeViolation) != 0) fail("validate() found violations");
  }

  void allocate(std::size_t size, std::size_t align) {
    const std::uint64_t allocsBefore = heap_->stats().numAllocs;
    void* pointer = heap_->allocate(size, align);
    const bool accepted = size <= kMaxRequestSize && align <= kMaxAlign;
    check(heap_->stats().numAllocs == allocsBefore + (accepted ? 1 : 0),
          "numAllocs miscounted a request");
    if (pointer == nullptr) return;
    check(accepted, "a request beyond the limits was served");

    const std::uintptr_t payload = addressOf(pointer);
    const std::size_t served = align <= kUnit ? kUnit : std::bit_ceil(align);
    check(payload % served == 0, "payload not aligned as asked");
    const velk::Segment* segment = heap_->findSegment(payload);
    check(segment != nullptr && size <= segment->end() - kUnit - payload,
          "payload outside its segment");
    check(static_cast<std::size_t>(heap_->blockSize(pointer)) >= std::max(size, kUnit),
          "blockSize below the size asked for");
    // No live payload may overlap the new one.
    const std::size_t extent = std::max<std::size_t>(size, 1);
    auto next = live_.lower_bound(payload);
    check(next == live_.end() || next->first >= payload + extent, "payload overlaps a later one");
    if (next != live_.begin()) {
      auto before = std::prev(next);
      check(before->first + std::max<std::size_t>(before->second.size, 1) <= payload,
            "payload overlaps an earlier one");
    }
    const LiveBlock block{size, nextId_++};
    fillPattern(payload, block);
    live_.emplace(payload, block);
    stale_.erase(std::remove(stale_.begin(), stale_.end(), payload), stale_.end());
  }

  void freeLive(std::uintptr_t payload) {
    const auto found = live_.find(payload);
    checkPattern(payload, found->second);
    live_.erase(found);
    const HeapStats before = heap_->stats();
    heap_->deallocate(reinterpret_cast<void*>(payload));
    check(heap_->stats().allocBlocks == before.allocBlocks - 1 &&
              heap_->stats().numFrees == before.numFrees + 1,
          "freeing a live Block was not counted");
    if (stale_.size() < 256) stale_.push_back(payload);
  }

  // In place or not at all: a Block that cannot grow where it stands is left as it was. The head
  // of the payload, which always carries the pattern, must survive either way.
  void resize(std::uintptr_t payload, std::size_t size) {
    LiveBlock& block = live_.at(payload);
    auto* pointer = reinterpret_cast<void*>(payload);
    const std::ptrdiff_t sizeBefore = heap_->blockSize(pointer);
    const HeapStats before = heap_->stats();
    if (!heap_->resizeInPlace(pointer, size)) {
      const HeapStats& after = heap_->stats();
      check(heap_->blockSize(pointer) == sizeBefore && after.totalAlloc == before.totalAlloc &&
                after.freeBlocks == before.freeBlocks && after.totalFree == before.totalFree,
            "a refused resize changed the heap");
      return;
    }
    check(size <= kMaxRequestSize, "resized beyond the largest request");
    check(static_cast<std::size_t>(heap_->blockSize(pointer)) >= std::max(size, kUnit),
          "blockSize below the size resized to");
    check(heap_->stats().allocBlocks == before.allocBlocks, "resizing changed the Block count");
    const std::size_t kept = std::min({block.size, size, kPattern.edgeBytes});
    check(kPattern.prefixHolds(reinterpret_cast<const unsigned char*>(payload), kept, block.id),
          "resizing lost the payload");
    const auto next = live_.upper_bound(payload);
    check(next == live_.end() || payload + size <= next->first, "resized into a later payload");
    block.size = size;
    fillPattern(payload, block);
  }

  // Inside a segment but not the payload of a live Block: ignored, nothing changes.
  void freeInvalid(std::uintptr_t address) {
    if (address == 0 || heap_->findSegment(address) == nullptr) return;
    if (live_.count(address) != 0) {
      freeLive(address);
      return;
    }
    const HeapStats before = heap_->stats();
    check(heap_->blockSize(reinterpret_cast<void*>(address)) == 0,
          "blockSize answered for a pointer that is no live payload");
    check(!heap_->resizeInPlace(reinterpret_cast<void*>(address), kUnit),
          "resized a pointer that is no live payload");
    heap_->deallocate(reinterpret_cast<void*>(address));
    const HeapStats& after = heap_->stats();
    check(after.allocBlocks == before.allocBlocks && after.totalAlloc == before.totalAlloc &&
              after.freeBlocks == before.freeBlocks && after.totalFree == before.totalFree &&
              after.numFrees == before.numFrees,
          "freeing an invalid pointer changed the heap");
  }

  std::uintptr_t stalePointer(Input& input) {
    const std::uint16_t choice = input.u16();
    return stale_.empty() ? 0 : stale_[choice % stale_.size()];
  }

  // Into the payload, unaligned or aligned, at the header or just before it.
  std::uintptr_t offsetPointer(Input& input) {
    const std::uint16_t choice = input.u16();
    const std::uint16_t offset = input.u16();
    if (live_.empty()) return 0;
    const std::uintptr_t payload = pick(live_, choice);
    const std::size_t size = live_.at(payload).size;
    switch (offset % 4) {
      case 0:
        return payload - kHeaderSize;
      case 1:
        return payload - kHeaderSize - kUnit * (offset / 4 % 4);
      case 2:
        return payload + 1 + (size > 1 ? offset % (size - 1) : 0);
      default:
        return payload + kUnit * (size / kUnit > 0 ? offset % (size / kUnit) + 1 : 1);
    }
  }

  // A pointer from the runtime library's heap goes back there, and nothing is counted.
  void freeForeign(Input& input) {
    void* pointer = std::malloc(std::size_t{input.byte()} + 1);
    if (pointer == nullptr) return;
    check(heap_->findSegment(addressOf(pointer)) == nullptr, "a runtime pointer inside a segment");
    check(heap_->blockSize(pointer) == 0, "blockSize answered for a runtime pointer");
    const std::size_t foreignBefore = foreignFrees;
    const std::uint64_t freesBefore = heap_->stats().numFrees;
    heap_->deallocate(pointer);
    check(foreignFrees == foreignBefore + 1, "a runtime pointer was not handed to free");
    check(heap_->stats().numFrees == freesBefore, "a runtime pointer was counted as a free");
    // Kept allocated a while so that later runtime pointers are new ones, then given back.
    if (input.byte() % 2 == 0) foreign_.push_back(std::malloc(16));
  }

  void freeNull() {
    const std::uint64_t freesBefore = heap_->stats().numFrees;
    heap_->deallocate(nullptr);
    check(heap_->blockSize(nullptr) == 0, "blockSize of null is not 0");
    check(heap_->stats().numFrees == freesBefore, "freeing null was counted");
  }

  void querySizes(Input& input) {
    if (!live_.empty()) {
      const std::uintptr_t payload = pick(live_, input.u16());
      check(static_cast<std::size_t>(heap_->blockSize(reinterpret_cast<void*>(payload))) >=
                std::max(live_.at(payload).size, kUnit),
            "blockSize of a live payload below its size");
    }
    for (const std::uintptr_t address : {stalePointer(input), offsetPointer(input)}) {
      if (address == 0 || heap_->findSegment(address) == nullptr) continue;
      const bool isLive = live_.count(address) != 0;
      check((heap_->blockSize(reinterpret_cast<void*>(address)) != 0) == isLive,
            "blockSize disagrees with whether a pointer is a live payload");
    }
  }

  FakeAddressSpace fake_;
  PlacedAddressSpace placed_;
  std::unique_ptr<Heap> heap_;
  std::map<std::uintptr_t, LiveBlock> live_;
  std::vector<std::uintptr_t> stale_;
  std::vector<void*> foreign_;
  std::uint32_t nextId_ = 1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  static constexpr std::size_t kPageSizes[] = {4096, 0x10000, 0x20000, 16384};
  Run run(kPageSizes[input.byte() % std::size(kPageSizes)]);
  ++totals.runs;
  for (std::size_t operation = 0; operation < kMaxOperations && !input.empty(); ++operation) {
    run.step(input);
    ++totals.operations;
  }
  run.finish();
  return 0;
}
