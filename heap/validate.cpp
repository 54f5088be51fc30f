// The heap's self-check: walks every segment physically and every bin by its links, and holds
// what it finds against the invariants of heap/block.h and against the counters.
#include <algorithm>
#include <vector>

#include "heap/heap.h"

namespace velk {
namespace {

class Violations {
 public:
  explicit Violations(void (*describe)(const char*)) : describe_(describe) {}
  // Counts a violation when `holds` is false; returns `holds` so callers can stop a walk.
  bool expect(bool holds, const char* what) {
    if (!holds) {
      ++count_;
      if (describe_ != nullptr) describe_(what);
    }
    return holds;
  }
  std::size_t count() const { return count_; }

 private:
  void (*describe_)(const char*);
  std::size_t count_ = 0;
};

std::uintptr_t addressOf(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer);
}

}  // namespace

std::size_t Heap::validate(void (*describe)(const char*)) const {
  Violations check(describe);
  if (!check.expect(segmentCount_ >= 0 && segmentCount_ <= static_cast<int>(kMaxSegments),
                    "segment count out of range")) {
    return check.count();
  }

  std::size_t segmentBytes = 0;
  for (int index = 0; index < segmentCount_; ++index) {
    const Segment& segment = segments_[index];
    segmentBytes += segment.size;
    check.expect(segment.base != 0 && segment.base % PayloadMap::kGranule == 0,
                 "segment base misaligned");
    check.expect(segment.size % segmentGranularity_ == 0, "segment size not whole granules");
    for (int other = 0; other < index; ++other) {
      const Segment& earlier = segments_[other];
      check.expect(segment.end() < earlier.base || earlier.end() < segment.base,
                   "two segments touch or overlap");
    }
  }
  check.expect(segmentBytes == stats_.totalSize, "total size differs from the segments");

  // The physical walk, by the headers, each held against the record: a payload begins where a
  // header says a Block does, allocated exactly when the header says so.
  std::vector<const Block*> filed;
  std::size_t allocatedBlocks = 0;
  std::size_t allocatedBytes = 0;
  std::size_t filedBytes = 0;
  for (int index = 0; index < segmentCount_; ++index) {
    const Segment& segment = segments_[index];
    const std::uintptr_t endMarker = segment.end() - kUnit;
    const Block* before = nullptr;
    std::uintptr_t at = segment.base;
    while (at != endMarker) {
      const Block* block = Block::at(at);
      const unsigned state = payloads_.stateOf(at + kHeaderSize);
      if (!check.expect(state != PayloadMap::kNothing,
                        "header size disagrees with the record (no Block begins there)")) {
        break;
      }
      check.expect(block->prevBlock == before, "prevBlock does not point back");
      if (!check.expect(block->units() <= (endMarker - at - kHeaderSize) / kUnit,
                        "Block runs past its segment")) {
        break;
      }
      check.expect(block->isAllocated() == (state == PayloadMap::kAllocated),
                   "allocated flag disagrees with the record");
      if (block->isAllocated()) {
        ++allocatedBlocks;
        allocatedBytes += block->payloadBytes();
      } else {
        check.expect(before == nullptr || before->isAllocated(), "two free Blocks touch");
        if (block->units() >= kLeastFiledUnits) {
          filed.push_back(block);
          filedBytes += block->payloadBytes();
        }
      }
      before = block;
      at += kHeaderSize + block->payloadBytes();
    }
    check.expect(*segment.endMarker() == kEndMarker, "end marker overwritten");
    check.expect(at != endMarker || segment.last == before,
                 "the segment's last Block is not the one the walk ends with");
  }

  // The bins, by their links.
  std::sort(filed.begin(), filed.end(),
            [](const Block* a, const Block* b) { return addressOf(a) < addressOf(b); });
  std::size_t binnedBlocks = 0;
  for (std::size_t sizeClass = 0; sizeClass < kNumBins; ++sizeClass) {
    const Bin& bin = bins_[sizeClass];
    const bool bitSet = (binBitmap_[sizeClass / 32] >> (sizeClass % 32) & 1u) != 0;
    check.expect(bitSet == (bin.count != 0), "bitmap bit disagrees with the bin");
    check.expect((bin.head == nullptr) == (bin.count == 0), "bin head disagrees with its count");
    std::size_t listed = 0;
    const Block* previous = nullptr;
    for (const Block* block = bin.head; block != nullptr; block = block->nextFree) {
      if (!check.expect(listed <= filed.size(), "bin list runs in a circle")) break;
      const bool known = std::binary_search(
          filed.begin(), filed.end(), block,
          [](const Block* a, const Block* b) { return addressOf(a) < addressOf(b); });
      if (!check.expect(known, "bin link leads to something that is not a filed free Block")) break;
      check.expect(classOf(block->payloadBytes()) == sizeClass, "Block filed in the wrong bin");
      check.expect(block->prevFree == previous, "prevFree does not point back");
      previous = block;
      ++listed;
    }
    check.expect(previous == bin.tail, "bin tail is not the end of its list");
    check.expect(listed == bin.count, "bin count differs from its list");
    binnedBlocks += listed;
  }
  for (std::size_t word = 0; word < kBitmapWords; ++word) {
    check.expect(((occupiedWords_ >> word & 1u) != 0) == (binBitmap_[word] != 0),
                 "occupied-word summary disagrees with the bitmap");
  }
  for (std::size_t sizeClass = kNumBins; sizeClass < 32 * kBitmapWords; ++sizeClass) {
    check.expect((binBitmap_[sizeClass / 32] >> (sizeClass % 32) & 1u) == 0,
                 "bitmap bit set beyond the last class");
  }
  check.expect(binnedBlocks == filed.size(), "a free Block is missing from the bins");

  check.expect(stats_.freeBlocks == filed.size(), "free blocks counter differs from the walk");
  check.expect(stats_.totalFree == filedBytes, "total free counter differs from the walk");
  check.expect(stats_.allocBlocks == allocatedBlocks, "alloc blocks counter differs from the walk");
  check.expect(stats_.totalAlloc == allocatedBytes, "total alloc counter differs from the walk");
  // Marks made and undone balance the allocated Blocks: no mark outlives its Block.
  check.expect(payloads_.marked() == allocatedBlocks, "payload map marks more than the payloads");
  check.expect(stats_.peakAlloc >= allocatedBytes + kHeaderSize * allocatedBlocks,
               "peak below the current allocation");
  return check.count();
}

}  // namespace velk
