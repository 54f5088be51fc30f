// Segments: ranges of address space taken from the system, joined when they touch, and given
// back only when the Heap is torn down.
#include "heap/heap.h"

namespace velk {

std::size_t Heap::roundToGranularity(std::size_t size) const {
  return (size + segmentGranularity_ - 1) / segmentGranularity_ * segmentGranularity_;
}

bool Heap::addSegment(std::size_t size, std::size_t align) {
  if (segmentCount_ >= static_cast<int>(kMaxSegments)) return false;
  // A request that does not fit the address range cannot be met; nothing may wrap.
  const std::size_t most = ~std::size_t{0} - (segmentGranularity_ - 1);
  if (size > most || align > most - size || kSegmentOverhead > most - size - align) return false;
  std::size_t request = size + align + kSegmentOverhead;
  if (request <= kMinSegmentSize) request = kMinSegmentSize;
  request = roundToGranularity(request);

  void* base = addressSpace_.reserve(request);
  if (base == nullptr) return false;
  if (!payloads_.cover(reinterpret_cast<std::uintptr_t>(base), request)) {
    addressSpace_.release(reinterpret_cast<std::uintptr_t>(base));
    return false;
  }
  Segment& segment = segments_[segmentCount_++];
  // One free Block spanning the segment: header + payload + end marker = request.
  Block* block = Block::at(reinterpret_cast<std::uintptr_t>(base));
  segment = {reinterpret_cast<std::uintptr_t>(base), request, block};
  stats_.totalSize += request;

  block->sizeAndFlag = (request - kHeaderSize - kUnit) / kUnit;
  block->prevBlock = nullptr;
  *segment.endMarker() = kEndMarker;
  payloads_.setState(reinterpret_cast<std::uintptr_t>(block->payload()), PayloadMap::kStart);
  insertFree(block);
  mergeSegments();
  return true;
}

// Joins every pair of segments that touch, pass after pass, until a pass joins nothing. The
// joined segment takes the earlier slot; the lower segment's end marker becomes the last payload
// unit of its last Block, and that Block absorbs the upper segment's first Block when both are
// free, so no two free Blocks touch across the former boundary.
void Heap::mergeSegments() {
  bool joinedAny = true;
  while (joinedAny) {
    joinedAny = false;
    for (int upperIndex = 1; upperIndex < segmentCount_; ++upperIndex) {
      const Segment later = segments_[upperIndex];
      int earlierIndex = 0;
      while (earlierIndex < upperIndex && later.end() != segments_[earlierIndex].base &&
             segments_[earlierIndex].end() != later.base) {
        ++earlierIndex;
      }
      if (earlierIndex == upperIndex) continue;
      const Segment earlier = segments_[earlierIndex];
      const Segment& lower = later.base < earlier.base ? later : earlier;
      const Segment& upper = later.base < earlier.base ? earlier : later;

      // The lower segment's last Block, as its entry names it; the two Blocks that meet are
      // checked before they are changed.
      Block* last = lower.last;
      Block* first = upper.firstBlock();
      Block* joinedLast = upper.last;
      if (!blockTrue(last) || !blockTrue(first)) repair();
      first->prevBlock = last;
      if (last->isAllocated()) {
        giveUnitToAllocated(last);
      } else {
        removeFree(last);
        last->sizeAndFlag += 1;
        insertFree(last);
        if (!first->isAllocated()) {
          Block* afterFirst = upper.after(first);
          removeFree(last);
          removeFree(first);
          payloads_.setState(reinterpret_cast<std::uintptr_t>(first->payload()),
                             PayloadMap::kNothing);
          last->sizeAndFlag = last->units() + first->units() + 2;
          if (afterFirst != nullptr) afterFirst->prevBlock = last;
          if (joinedLast == first) joinedLast = last;
          insertFree(last);
        }
      }

      segments_[earlierIndex] = {lower.base, upper.end() - lower.base, joinedLast};
      for (int index = upperIndex; index + 1 < segmentCount_; ++index) {
        segments_[index] = segments_[index + 1];
      }
      --segmentCount_;
      joinedAny = true;
      // The entry that moved into this slot is looked at in the next pass.
    }
  }
}

const Segment* Heap::findSegment(std::uintptr_t address) const {
  for (int index = 0; index < segmentCount_; ++index) {
    if (segments_[index].contains(address)) return &segments_[index];
  }
  return nullptr;
}

// A joined segment consists of several system regions; each is released on its own. The walk
// stops at the first region the system cannot describe, or that does not start where the previous
// one ended, rather than release memory the heap does not own.
void Heap::releaseSegment(std::uintptr_t base, std::size_t size) {
  std::size_t remaining = roundToGranularity(size);
  std::uintptr_t address = base;
  while (remaining != 0) {
    pal::Region region{};
    if (!addressSpace_.queryRegion(address, region) || region.size == 0 || region.base != address) {
      return;
    }
    addressSpace_.release(address);
    if (region.size >= remaining) return;
    address += region.size;
    remaining -= region.size;
  }
}

void Heap::releaseAllSegments() {
  for (int index = 0; index < segmentCount_; ++index) {
    if (segments_[index].base != 0) releaseSegment(segments_[index].base, segments_[index].size);
  }
  payloads_.releaseAll();
}

}  // namespace velk
