// Statistics: the running counters, and a consistent snapshot that adds the figures only a walk
// of the heap can give.
#include "heap/heap.h"

namespace velk {

void Heap::resetStats() {
  stats_ = HeapStats{};
}

HeapStats& Heap::snapshotStats(HeapStats& out) {
  HeapLockGuard guard(*this);
  // The figures are those of the heap as the record has it: whatever a stray write changed is put
  // right first.
  repairSegments();
  HeapStats snapshot = stats_;
  snapshot.numSegments = static_cast<std::size_t>(segmentCount_);
  snapshot.largestFreeChain = 0;
  for (const Bin& bin : bins_) {
    if (bin.count > snapshot.largestFreeChain) snapshot.largestFreeChain = bin.count;
  }
  snapshot.maxAlloc = 0;
  snapshot.maxFree = 0;
  for (int index = 0; index < segmentCount_; ++index) {
    if (segments_[index].base == 0) continue;
    for (Block* block = segments_[index].firstBlock(); block != nullptr;
         block = segments_[index].after(block)) {
      std::size_t& largest = block->isAllocated() ? snapshot.maxAlloc : snapshot.maxFree;
      if (block->payloadBytes() > largest) largest = block->payloadBytes();
    }
  }
  out = snapshot;
  return out;
}

}  // namespace velk
