// Freeing and size queries: boundary-tag merging with free neighbours. Whether a pointer is the
// payload of an allocated Block is answered by the payload map alone, before any header is read.
#include "heap/heap.h"

namespace velk {

static std::uintptr_t addressOf(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer);
}

Block* Heap::allocatedBlockOf(void* payload) const {
  return payloads_.holds(addressOf(payload)) ? Block::ofPayload(payload) : nullptr;
}

void Heap::deallocate(void* payload) {
  if (payload == nullptr) return;
  const std::uintptr_t address = addressOf(payload);
  Word* bits = payloads_.granuleBits(address);
  if (bits == nullptr) {
    foreignFree_(payload);
    return;
  }
  // Freed already, inside a payload, at a header: ignored, and nothing counted.
  if (!PayloadMap::holds(bits, address)) return;
  payloads_.unmark(bits, address);

  Block* block = Block::ofPayload(payload);
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
  const Block* block = allocatedBlockOf(payload);
  // Counted in the address width: a 32-bit heap reports Blocks of 2 GiB or more as negative.
  return block != nullptr ? static_cast<std::ptrdiff_t>(block->payloadBytes()) : 0;
}

}  // namespace velk
