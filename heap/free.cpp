// Freeing and size queries: boundary-tag merging with free neighbours, and the constant-time
// check that a pointer really is the payload of an allocated Block.
#include "heap/heap.h"

namespace velk {

static std::uintptr_t addressOf(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer);
}

// Rejects, without touching anything, pointers that were freed already, point into a payload or
// at a header, or whose surroundings do not describe a consistent chain of Blocks.
Block* Heap::allocatedBlockOf(const Segment& segment, void* payload) const {
  const std::uintptr_t address = addressOf(payload);
  const std::uintptr_t endMarker = segment.end() - kUnit;
  if (address % kUnit != 0 || address - segment.base < kHeaderSize || address > endMarker) {
    return nullptr;
  }
  Block* block = Block::ofPayload(payload);
  if (!block->isAllocated() || block->isEndMarker()) return nullptr;
  if (block->units() > (endMarker - address) / kUnit) return nullptr;

  const std::uintptr_t blockAddress = addressOf(block);
  const Block* before = block->prevBlock;
  if (blockAddress == segment.base) {
    if (before != nullptr) return nullptr;
  } else {
    const std::uintptr_t beforeAddress = addressOf(before);
    if (before == nullptr || beforeAddress % kUnit != 0 || beforeAddress < segment.base ||
        blockAddress - beforeAddress < kHeaderSize ||
        before->units() != (blockAddress - beforeAddress - kHeaderSize) / kUnit) {
      return nullptr;
    }
  }

  const Block* following = block->following();
  if (addressOf(following) == endMarker) return following->isEndMarker() ? block : nullptr;
  return following->prevBlock == block ? block : nullptr;
}

void Heap::deallocate(void* payload) {
  if (payload == nullptr) return;
  const Segment* segment = findSegment(addressOf(payload));
  if (segment == nullptr) {
    foreignFree_(payload);
    return;
  }
  Block* block = allocatedBlockOf(*segment, payload);
  if (block == nullptr) return;

  stats_.numFrees += 1;
  stats_.allocBlocks -= 1;
  Block* before = block->prevBlock;
  Block* next = block->successor();
  block->sizeAndFlag &= kSizeMask;
  stats_.totalAlloc -= block->payloadBytes();

  // Fragments in front are free Blocks too and are absorbed like any other.
  if (before != nullptr && !before->isAllocated()) {
    removeFree(before);
    before->sizeAndFlag = before->units() + block->units() + 2;
    if (next != nullptr) next->prevBlock = before;
    block = before;
  }
  if (next != nullptr && !next->isAllocated()) {
    Block* afterNext = next->successor();
    removeFree(next);
    block->sizeAndFlag = block->units() + next->units() + 2;
    if (afterNext != nullptr) afterNext->prevBlock = block;
  }
  insertFree(block);
}

std::ptrdiff_t Heap::blockSize(void* payload) {
  HeapLockGuard guard(*this);
  if (payload == nullptr) return 0;
  const Segment* segment = findSegment(addressOf(payload));
  if (segment == nullptr) return 0;
  const Block* block = allocatedBlockOf(*segment, payload);
  // Counted in the address width: a 32-bit heap reports Blocks of 2 GiB or more as negative.
  return block != nullptr ? static_cast<std::ptrdiff_t>(block->payloadBytes()) : 0;
}

}  // namespace velk
