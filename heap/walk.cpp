#include "heap/walk.h"

namespace velk {

void Heap::walk(HeapVisitor& visitor) {
  HeapLockGuard guard(*this);
  repairSegments();
  for (int index = 0; index < segmentCount_; ++index) {
    const Segment& segment = segments_[index];
    if (segment.base == 0) continue;
    visitor.segment(segment, static_cast<std::size_t>(index));
    // The system's regions tell where joined ranges meet; the heap itself keeps no record.
    for (std::uintptr_t address = segment.base; address < segment.end();) {
      pal::Region region{};
      if (!addressSpace_.queryRegion(address, region) || region.size == 0 ||
          region.base != address) {
        break;
      }
      address += region.size;
      if (address < segment.end()) visitor.joinedBoundary(address);
    }
    for (const Block* block = segment.firstBlock(); block != nullptr; block = segment.after(block)) {
      const BlockKind kind = block->isAllocated()                 ? BlockKind::kAllocated
                             : block->units() >= kLeastFiledUnits ? BlockKind::kFree
                                                                  : BlockKind::kFragment;
      visitor.block({reinterpret_cast<std::uintptr_t>(block), block->payloadBytes(), kind});
    }
  }
}

}  // namespace velk
