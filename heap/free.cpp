// Freeing and size queries: boundary-tag merging with free neighbours. Whether a pointer is the
// payload of an allocated Block is answered by the payload map alone, before any header is read.
#include "heap/heap.h"

namespace velk {

static std::uintptr_t addressOf(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer);
}

Block* Heap::allocatedBlockOf(void* payload) {
  const std::uintptr_t address = addressOf(payload);
  Word* bits = payloads_.granuleBits(address);
  if (bits == nullptr || !PayloadMap::holds(bits, address)) return nullptr;
  Block* block = Block::ofPayload(payload);
  if (!allocatedBlockTrue(bits, address, block)) [[unlikely]]
    repair();
  return block;
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

  Block* block = Block::ofPayload(payload);
  // Everything the merge reads is checked against the record before anything changes: the
  // Block's header, its neighbours' headers, and the bin links of the free ones. A stray write
  // found on the way is put right from the record, and the checks pass the second time. Each word
  // is read once, before it is checked, and only what was read is used: another thread's stray
  // write may land in a header at any moment, even while the lock is held.
  Word units;
  Block* before;
  Block* next;
  Word beforeWord = 0;  // before's header, when there is a Block before
  Word nextWord = 0;
  Block* beforeLinks[2] = {};  // nextFree, prevFree of a filed free neighbour
  Block* nextLinks[2] = {};
  Block* afterNext = nullptr;
  Word* nextBits = nullptr;
  std::size_t beforeClass = 0;
  std::size_t nextClass = 0;
  for (bool repaired = false;; repaired = true) {
    units = block->units();
    before = block->prevBlock;
    next = Block::at(address + unitsToBytes(units));
    bool holds = allocatedBlockTrue(bits, address, block);
    if (holds && before != nullptr) {
      beforeWord = before->sizeAndFlag;
      if ((beforeWord & kAllocatedBit) == 0 && beforeWord >= kLeastFiledUnits) {
        beforeLinks[0] = before->nextFree;
        beforeLinks[1] = before->prevFree;
        beforeClass = classOf(unitsToBytes(beforeWord));
        holds = (before->sizeAndFlag == beforeWord) &&
                linksTrue(before, beforeLinks[0], beforeLinks[1], beforeClass);
      }
    }
    if (holds) {
      nextWord = next->sizeAndFlag;
      if ((nextWord & kAllocatedBit) == 0) {
        const std::uintptr_t nextPayload = addressOf(next->payload());
        nextBits = payloads_.granuleBitsNear(bits, address, nextPayload);
        afterNext = Block::at(nextPayload + unitsToBytes(nextWord));
        holds = successorTrue(nextBits, nextPayload, next, afterNext, true) &&
                next->sizeAndFlag == nextWord;
        if (holds && nextWord >= kLeastFiledUnits) {
          nextLinks[0] = next->nextFree;
          nextLinks[1] = next->prevFree;
          nextClass = classOf(unitsToBytes(nextWord));
          holds = linksTrue(next, nextLinks[0], nextLinks[1], nextClass);
        }
      }
    }
    if (holds) [[likely]]
      break;
    // Not put right by a repair: the Block stays as it is rather than be merged blindly.
    if (repaired) return;
    repair();
  }
  stats_.numFrees += 1;
  stats_.allocBlocks -= 1;
  stats_.totalAlloc -= unitsToBytes(units);

  // Fragments are free Blocks too and are absorbed like any other, though no bin holds them. A
  // filed neighbour leaves its bin as the merged Block is filed, which often takes its place there;
  // when both neighbours are filed, the one before leaves first.
  Block* vacating = nullptr;
  Block* const* vacatingLinks = nullptr;
  Word vacatingUnits = 0;
  std::size_t vacatingClass = 0;
  // A free Block's header is its units alone: no flag to mask off.
  if (before != nullptr && (beforeWord & kAllocatedBit) == 0) {
    if (beforeWord >= kLeastFiledUnits) {
      vacating = before;
      vacatingLinks = beforeLinks;
      vacatingUnits = beforeWord;
      vacatingClass = beforeClass;
    }
    units += beforeWord + 2;
    block = before;
  }
  // The record keeps the freed payload as a free Block's, unless that Block merged into the one
  // before.
  payloads_.forget(bits, address, block == before ? PayloadMap::kNothing : PayloadMap::kStart);
  // The end marker reads as allocated: nothing is merged past the end of the segment.
  if ((nextWord & kAllocatedBit) == 0) {
    if (nextWord >= kLeastFiledUnits) {
      if (vacating != nullptr) {
        unfileFree(beforeLinks[0], beforeLinks[1], beforeWord, beforeClass);
        // Both in one bin, side by side: the one before left, and the links it held moved on.
        if (nextLinks[0] == before) nextLinks[0] = beforeLinks[0];
        if (nextLinks[1] == before) nextLinks[1] = beforeLinks[1];
      }
      vacating = next;
      vacatingLinks = nextLinks;
      vacatingUnits = nextWord;
      vacatingClass = nextClass;
    }
    units += nextWord + 2;
    PayloadMap::unstart(nextBits, addressOf(next->payload()));
    next = afterNext;
  }
  block->sizeAndFlag = units;
  if (!next->isEndMarker()) next->prevBlock = block;
  if (vacating == nullptr) {
    if (units >= kLeastFiledUnits) fileFree(block, units, classOf(unitsToBytes(units)));
    return;
  }
  Vacancy vacancy{vacating, vacatingLinks[0], vacatingLinks[1], vacatingUnits, vacatingClass};
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

std::size_t Heap::payloadBytesLocked(void* payload) {
  HeapLockGuard guard(*this);
  const Block* block = allocatedBlockOf(payload);
  return block != nullptr ? block->payloadBytes() : 0;
}

std::ptrdiff_t Heap::blockSize(void* payload) {
  HeapLockGuard guard(*this);
  const Block* block = allocatedBlockOf(payload);
  // Counted in the address width: a 32-bit heap reports Blocks of 2 GiB or more as negative.
  return block != nullptr ? static_cast<std::ptrdiff_t>(block->payloadBytes()) : 0;
}

}  // namespace velk
