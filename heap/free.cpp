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
  if (!payloads_.forget(bits, address)) return;

  // The header is read before any counter changes, so that it is read once.
  Block* block = Block::ofPayload(payload);
  Word units = block->units();
  Block* before = block->prevBlock;
  Block* next = block->following();
  stats_.numFrees += 1;
  stats_.allocBlocks -= 1;
  stats_.totalAlloc -= unitsToBytes(units);

  // Fragments are free Blocks too and are absorbed like any other, though no bin holds them. A
  // filed neighbour leaves its bin as the merged Block is filed, which often takes its place there;
  // when both neighbours are filed, the one before leaves first. Their links are read once the
  // merge is settled: until the merged Block is filed, nothing writes over them.
  Block* vacating = nullptr;
  Word vacatingUnits = 0;
  std::size_t vacatingClass = 0;
  // A free Block's header is its units alone: no flag to mask off.
  if (before != nullptr && !before->isAllocated()) {
    const Word beforeUnits = before->sizeAndFlag;
    if (beforeUnits >= kLeastFiledUnits) {
      vacating = before;
      vacatingUnits = beforeUnits;
      vacatingClass = classOf(unitsToBytes(beforeUnits));
    }
    units += beforeUnits + 2;
    block = before;
  }
  // The end marker reads as allocated: nothing is merged past the end of the segment.
  if (!next->isAllocated()) {
    const Word nextUnits = next->sizeAndFlag;
    if (nextUnits >= kLeastFiledUnits) {
      if (vacating != nullptr)
        unfileFree(vacating->nextFree, vacating->prevFree, vacatingUnits, vacatingClass);
      vacating = next;
      vacatingUnits = nextUnits;
      vacatingClass = classOf(unitsToBytes(nextUnits));
    }
    units += nextUnits + 2;
    next = next->following();
  }
  block->sizeAndFlag = units;
  if (!next->isEndMarker()) next->prevBlock = block;
  if (vacating == nullptr) {
    if (units >= kLeastFiledUnits) fileFree(block, units, classOf(unitsToBytes(units)));
    return;
  }
  Vacancy vacancy = vacancyOf(vacating, vacatingUnits, vacatingClass);
  fileMerged(block, units, vacancy);
  leave(vacancy);
}

// As allocateServedLocked: the lock is looked for once.
[[gnu::flatten]] void Heap::deallocateLocked(void* payload) {
  if (heapLock_ == nullptr) [[unlikely]]
    return deallocateUnlocked(payload);
  pal::lockEnter(heapLock_);
  deallocate(payload);
  pal::lockLeave(heapLock_);
}

[[gnu::noinline, gnu::cold]] void Heap::deallocateUnlocked(void* payload) {
  deallocate(payload);
}

std::ptrdiff_t Heap::blockSize(void* payload) {
  HeapLockGuard guard(*this);
  const Block* block = allocatedBlockOf(payload);
  // Counted in the address width: a 32-bit heap reports Blocks of 2 GiB or more as negative.
  return block != nullptr ? static_cast<std::ptrdiff_t>(block->payloadBytes()) : 0;
}

}  // namespace velk
