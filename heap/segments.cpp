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

  const Word units = (request - kHeaderSize - kUnit) / kUnit;
  block->sizeAndFlag = units;
  block->prevBlock = nullptr;
  *segment.endMarker() = kEndMarker;
  payloads_.setState(reinterpret_cast<std::uintptr_t>(block->payload()), PayloadMap::kStart);
  insertFree(block, units);
  mergeSegments();
  return true;
}

// Joins every pair of segments that touch, pass after pass, until a pass joins nothing. The
// joined segment takes the earlier slot.
void Heap::mergeSegments() {
  bool joinedAny = true;
  while (joinedAny) {
    joinedAny = false;
    for (int laterIndex = 1; laterIndex < segmentCount_; ++laterIndex) {
      const Segment& later = segments_[laterIndex];
      int earlierIndex = 0;
      while (earlierIndex < laterIndex && later.end() != segments_[earlierIndex].base &&
             segments_[earlierIndex].end() != later.base) {
        ++earlierIndex;
      }
      if (earlierIndex == laterIndex || !joinSegments(earlierIndex, laterIndex)) continue;
      joinedAny = true;
      // The entry that moved into this slot is looked at in the next pass.
    }
  }
}

// The lower segment's end marker becomes the last payload unit of its last Block, and that Block
// absorbs the upper segment's first Block when both are free, so no two free Blocks touch across
// the former boundary. False, with nothing changed, when the two Blocks that meet cannot be
// vouched for even after a repair: the segments then stay apart, which costs nothing but the
// join.
bool Heap::joinSegments(int earlierIndex, int laterIndex) {
  Seam seam;
  if (!readSeam(earlierIndex, laterIndex, seam)) {
    repair();
    if (!readSeam(earlierIndex, laterIndex, seam)) return false;
  }
  const Segment& earlier = segments_[earlierIndex];
  const Segment& later = segments_[laterIndex];
  const Segment lower = later.base < earlier.base ? later : earlier;
  const Segment upper = later.base < earlier.base ? earlier : later;
  Block* const last = lower.last;
  Block* const first = upper.firstBlock();
  Block* joinedLast = upper.last;
  first->prevBlock = last;
  if (seam.lastAllocated) {
    last->sizeAndFlag = (seam.lastUnits + 1) | kAllocatedBit;
    stats_.totalAlloc += kUnit;
    notePeak();
  } else {
    Word merged = seam.lastUnits + 1;
    if (!seam.firstAllocated) {
      merged += seam.firstUnits + 2;
      payloads_.setState(upper.base + kHeaderSize, PayloadMap::kNothing);
      if (seam.afterFirst != nullptr) seam.afterFirst->prevBlock = last;
      if (joinedLast == first) joinedLast = last;
    }
    // The filed ones leave their bins, the one in front first; the joined Block is filed.
    Vacancy& firstFree = seam.firstFree;
    const bool firstFiled = !seam.firstAllocated && seam.firstUnits >= kLeastFiledUnits;
    if (seam.lastUnits >= kLeastFiledUnits) {
      leave(seam.lastFree);
      // Both in one bin, side by side: the one in front left, and the links it held moved on.
      if (firstFiled && firstFree.nextFree == last) firstFree.nextFree = seam.lastFree.nextFree;
      if (firstFiled && firstFree.prevFree == last) firstFree.prevFree = seam.lastFree.prevFree;
    }
    if (firstFiled) leave(firstFree);
    last->sizeAndFlag = merged;
    insertFree(last, merged);
  }
  segments_[earlierIndex] = {lower.base, upper.end() - lower.base, joinedLast};
  for (int index = laterIndex; index + 1 < segmentCount_; ++index) {
    segments_[index] = segments_[index + 1];
  }
  --segmentCount_;
  return true;
}

// The two Blocks that meet where one segment ends and the other begins, as a join uses them: the
// last one's size from the segment table (it ends at the end marker) and its flag from the record,
// the first one's flag from the record, and the size and links of each free one read once and
// checked. Nothing is read back later: a program overrunning the last payload writes into the end
// marker and, once the segments touch, into the first Block's header.
bool Heap::readSeam(int earlierIndex, int laterIndex, Seam& seam) const {
  const Segment& earlier = segments_[earlierIndex];
  const Segment& later = segments_[laterIndex];
  const Segment& lower = later.base < earlier.base ? later : earlier;
  const Segment& upper = later.base < earlier.base ? earlier : later;
  Block* const last = lower.last;
  const std::uintptr_t lastPayload = reinterpret_cast<std::uintptr_t>(last->payload());
  seam.lastUnits = static_cast<Word>((lower.end() - kUnit - lastPayload) / kUnit);
  seam.lastAllocated = payloads_.stateOf(lastPayload) == PayloadMap::kAllocated;
  if (!seam.lastAllocated && !readFreeNeighbour(last, seam.lastUnits, seam.lastFree)) return false;
  Block* const first = upper.firstBlock();
  const std::uintptr_t firstPayload = upper.base + kHeaderSize;
  seam.firstAllocated = payloads_.stateOf(firstPayload) == PayloadMap::kAllocated;
  seam.afterFirst = nullptr;
  if (seam.firstAllocated) return true;
  seam.firstUnits = first->sizeAndFlag;
  if (!freeHeader(seam.firstUnits)) return false;
  Block* const next = Block::at(firstPayload + unitsToBytes(seam.firstUnits));
  bool endOfSegment;
  if (!successorTrue(payloads_.granuleBits(firstPayload), firstPayload, first, next, true,
                     &endOfSegment)) {
    return false;
  }
  seam.afterFirst = endOfSegment ? nullptr : next;
  return readFreeNeighbour(first, seam.firstUnits, seam.firstFree);
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
