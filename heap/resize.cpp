// Resizing an allocated Block where it stands: growing into the free Block that follows it, or
// giving its tail back. The counters move exactly as an allocation and a free of the difference
// would move them, except that the Block stays one allocated Block throughout.
#include "heap/heap.h"

namespace velk {

bool Heap::resizeInPlace(void* payload, std::size_t size) {
  if (payload == nullptr || size > kMaxRequestSize) return false;
  Block* block = allocatedBlockOf(payload);
  if (block == nullptr) return false;

  const std::size_t rsize = servedSize(size);
  const std::size_t formerBytes = block->payloadBytes();
  Block* next = block->successor();
  if (next != nullptr && !next->isAllocated() && !freeNeighbourTrue(next)) [[unlikely]] {
    repair();
    next = block->successor();
  }
  const bool nextFree = next != nullptr && !next->isAllocated();

  if (rsize > formerBytes) {
    if (!nextFree || formerBytes + kHeaderSize + next->payloadBytes() < rsize) return false;
    // Take the whole successor, then cut it back to the request like a carve does.
    Block* afterNext = next->successor();
    removeFree(next);
    payloads_.setState(reinterpret_cast<std::uintptr_t>(next->payload()), PayloadMap::kNothing);
    block->sizeAndFlag = block->units() + next->units() + 2;
    linkBehind(afterNext, block);
    split(block, rsize);
    block->sizeAndFlag |= kAllocatedBit;
    if (rsize > stats_.maxAllocBlockSize) stats_.maxAllocBlockSize = rsize;
    stats_.totalAlloc += block->payloadBytes() - formerBytes;
    notePeak();
    return true;
  }

  const std::size_t excess = formerBytes - rsize;
  if (nextFree && excess != 0) {
    // The tail joins the free successor, whose header moves down to the new end of the Block;
    // even a single unit can go, since no new header is needed.
    Block* afterNext = next->successor();
    const Word nextUnits = next->units();
    removeFree(next);
    payloads_.setState(reinterpret_cast<std::uintptr_t>(next->payload()), PayloadMap::kNothing);
    Block* rest = Block::at(block->address() + kHeaderSize + rsize);
    payloads_.setState(reinterpret_cast<std::uintptr_t>(rest->payload()), PayloadMap::kStart);
    rest->sizeAndFlag = excess / kUnit + nextUnits;
    rest->prevBlock = block;
    linkBehind(afterNext, rest);
    block->sizeAndFlag = (rsize / kUnit) | kAllocatedBit;
    insertFree(rest);
  } else if (excess >= kHeaderSize) {
    // The successor is allocated (or absent): the tail becomes a free Block of its own. split
    // works on an unflagged Block.
    block->sizeAndFlag &= kSizeMask;
    split(block, rsize);
    block->sizeAndFlag |= kAllocatedBit;
  }
  stats_.totalAlloc -= formerBytes - block->payloadBytes();
  return true;
}

}  // namespace velk
