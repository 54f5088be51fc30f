// Resizing an allocated Block where it stands: growing into the free Block that follows it, or
// giving its tail back. The counters move exactly as an allocation and a free of the difference
// would move them, except that the Block stays one allocated Block throughout.
#include "heap/heap.h"

namespace velk {

bool Heap::resizeInPlace(void* payload, std::size_t size) {
  if (payload == nullptr || size > kMaxRequestSize) return false;
  Word checkedUnits;
  Block* block = allocatedBlockOf(payload, checkedUnits);
  if (block == nullptr) return false;
  // The Block's size and the free Block behind it are read once and used as read, and no header
  // written here is read back: a program writing past a payload or into one it freed may write
  // into them at any moment, from another thread, even under the lock.
  const auto address = reinterpret_cast<std::uintptr_t>(payload);
  Word* const bits = payloads_.granuleBits(address);
  Word units;
  Vacancy next;
  Block* afterNext;
  if (!readBehindAllocated(bits, address, units, next, afterNext)) [[unlikely]] {
    // Put right from the record; a Block whose words still change under the lock stays as it is.
    repair();
    if (!readBehindAllocated(bits, address, units, next, afterNext)) return false;
  }

  const std::size_t rsize = servedSize(size);
  const std::size_t formerBytes = unitsToBytes(units);
  Block* const nextFree = next.block;  // leave() forgets it
  if (rsize > formerBytes) {
    if (nextFree == nullptr || formerBytes + kHeaderSize + unitsToBytes(next.units) < rsize)
      return false;
    // Take the whole successor, then cut it back to the request like a carve does.
    if (next.units >= kLeastFiledUnits) leave(next);
    payloads_.setState(reinterpret_cast<std::uintptr_t>(nextFree->payload()), PayloadMap::kNothing);
    linkBehind(afterNext, block);
    const Word kept = split(block, units + next.units + 2, afterNext, rsize);
    block->sizeAndFlag = kept | kAllocatedBit;
    if (rsize > stats_.maxAllocBlockSize) stats_.maxAllocBlockSize = rsize;
    stats_.totalAlloc += unitsToBytes(kept) - formerBytes;
    notePeak();
    return true;
  }

  const std::size_t excess = formerBytes - rsize;
  Word kept = units;
  if (nextFree != nullptr && excess != 0) {
    // The tail joins the free successor, whose header moves down to the new end of the Block;
    // even a single unit can go, since no new header is needed.
    if (next.units >= kLeastFiledUnits) leave(next);
    payloads_.setState(reinterpret_cast<std::uintptr_t>(nextFree->payload()), PayloadMap::kNothing);
    Block* rest = Block::at(block->address() + kHeaderSize + rsize);
    payloads_.setState(reinterpret_cast<std::uintptr_t>(rest->payload()), PayloadMap::kStart);
    const Word restUnits = excess / kUnit + next.units;
    rest->sizeAndFlag = restUnits;
    rest->prevBlock = block;
    linkBehind(afterNext, rest);
    kept = rsize / kUnit;
    insertFree(rest, restUnits);
  } else if (excess >= kHeaderSize) {
    // The successor is allocated (or absent): the tail becomes a free Block of its own.
    kept = split(block, units, afterNext, rsize);
  }
  block->sizeAndFlag = kept | kAllocatedBit;
  stats_.totalAlloc -= formerBytes - unitsToBytes(kept);
  return true;
}

}  // namespace velk
