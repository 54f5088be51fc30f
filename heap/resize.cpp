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
  // The Block's size and the free Block behind it are read once and used as read: a program that
  // writes into a payload it freed twice may write into them at any moment, even under the lock.
  const auto address = reinterpret_cast<std::uintptr_t>(payload);
  Word* const bits = payloads_.granuleBits(address);
  Word units;
  Vacancy next;
  Block* afterNext = nullptr;
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
    block->sizeAndFlag = units + next.units + 2;
    linkBehind(afterNext, block);
    split(block, rsize);
    block->sizeAndFlag |= kAllocatedBit;
    if (rsize > stats_.maxAllocBlockSize) stats_.maxAllocBlockSize = rsize;
    stats_.totalAlloc += block->payloadBytes() - formerBytes;
    notePeak();
    return true;
  }

  const std::size_t excess = formerBytes - rsize;
  if (nextFree != nullptr && excess != 0) {
    // The tail joins the free successor, whose header moves down to the new end of the Block;
    // even a single unit can go, since no new header is needed.
    if (next.units >= kLeastFiledUnits) leave(next);
    payloads_.setState(reinterpret_cast<std::uintptr_t>(nextFree->payload()), PayloadMap::kNothing);
    Block* rest = Block::at(block->address() + kHeaderSize + rsize);
    payloads_.setState(reinterpret_cast<std::uintptr_t>(rest->payload()), PayloadMap::kStart);
    rest->sizeAndFlag = excess / kUnit + next.units;
    rest->prevBlock = block;
    linkBehind(afterNext, rest);
    block->sizeAndFlag = (rsize / kUnit) | kAllocatedBit;
    insertFree(rest);
  } else if (excess >= kHeaderSize) {
    // The successor is allocated (or absent): the tail becomes a free Block of its own. split
    // works on an unflagged Block.
    block->sizeAndFlag = units;
    split(block, rsize);
    block->sizeAndFlag |= kAllocatedBit;
  }
  stats_.totalAlloc -= formerBytes - block->payloadBytes();
  return true;
}

}  // namespace velk
