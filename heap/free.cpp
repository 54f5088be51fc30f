// Freeing and size queries: boundary-tag merging with free neighbours. Whether a pointer is the
// payload of an allocated Block is answered by the payload map alone, before any header is read.
#include "heap/heap.h"

namespace velk {

static std::uintptr_t addressOf(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer);
}

Block* Heap::allocatedBlockOf(void* payload, Word& units) {
  const std::uintptr_t address = addressOf(payload);
  Word* bits = payloads_.granuleBits(address);
  if (bits == nullptr || !PayloadMap::holds(bits, address)) return nullptr;
  Block* block = Block::ofPayload(payload);
  if (allocatedBlockTrue(bits, address, block, units)) [[likely]]
    return block;
  // Put right, and sized by the record, which the repair wrote the header from: the header may
  // already have been written over again by another thread.
  repair();
  units = recordedUnits(address);
  return block;
}

Word Heap::recordedUnits(std::uintptr_t payload) const {
  const std::uintptr_t end = findSegment(payload)->end();
  const std::uintptr_t next = payloads_.nextStart(payload + kUnit, end);
  const std::uintptr_t blockEnd = next < end ? next - kHeaderSize : end - kUnit;
  return static_cast<Word>((blockEnd - payload) / kUnit);
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
  if (!freeChecked(bits, address)) [[unlikely]]
    freeAfterRepair(bits, address);
}

// A stray write was found on the way: put right from the record, the checks pass the second
// time. Where they still fail, the Block stays as it is rather than be merged blindly.
[[gnu::noinline, gnu::cold]] void Heap::freeAfterRepair(Word* bits, std::uintptr_t address) {
  repair();
  freeChecked(bits, address);
}

// Everything the merge reads is checked against the record before anything changes: the Block's
// header, its neighbours' headers, and the bin links of the free ones. Each word is read once,
// before it is checked, and only what was read is used: another thread's stray write may land in
// a header at any moment, even while the lock is held. False, with nothing changed, when a check
// fails. The Block behind decides the path: each of the two carries only what its merge needs.
[[gnu::always_inline]] inline bool Heap::freeChecked(Word* bits, std::uintptr_t address) {
  Block* const block = Block::at(address - kHeaderSize);
  const Word word = block->sizeAndFlag;
  Block* const before = block->prevBlock;
  if (!allocatedHeader(word)) return false;
  const Word units = word - kAllocatedBit;  // the subtraction allocatedHeader made

  // The Block behind: allocated, free, or the end marker.
  const std::uintptr_t nextAddress = address + unitsToBytes(units);
  Block* const next = Block::at(nextAddress);
  Word* nextBits;
  const unsigned nextState = stateBehind(bits, address, nextAddress, nextBits);
  if (nextState == PayloadMap::kNothing) return false;
  if (nextState != PayloadMap::kStart) {
    // Allocated, pointing back, or the end marker: it stays as it is.
    if (nextState != kEndOfSegment) {
      const Word nextWord = next->sizeAndFlag;
      if (next->prevBlock != block || nextWord < kAllocatedBit) return false;
    }
    Vacancy none;
    return freeFront<false>(bits, address, block, units, before,
                            nextState == kEndOfSegment ? nullptr : next, none, nullptr);
  }
  // Free: its own successor is allocated or the end, and points back; its links are true.
  const Word nextWord = next->sizeAndFlag;
  if (next->prevBlock != block) return false;
  if (!freeHeader(nextWord)) return false;
  const std::uintptr_t nextPayload = nextAddress + kHeaderSize;
  const std::uintptr_t afterAddress = nextPayload + unitsToBytes(nextWord);
  Word* afterBits;
  const unsigned afterState = stateBehind(nextBits, nextPayload, afterAddress, afterBits);
  Block* afterNext = nullptr;
  if (afterState != kEndOfSegment) {
    afterNext = Block::at(afterAddress);
    if (afterState != PayloadMap::kAllocated || afterNext->prevBlock != next) return false;
  }
  Vacancy nextFree;
  if (!readFreeNeighbour(next, nextWord, nextFree)) return false;
  return freeFront<true>(bits, address, block, units, before, afterNext, nextFree, nextBits);
}

// The rest of a free once the Block behind is checked: the Block in front is checked, then the
// freed Block merges with whichever neighbours are free. `after` is the Block that follows the
// merged one (null at the end of the segment); with `kMergeNext`, `nextFree` is the free Block
// right behind, which merges too, and `nextBits` the record's for its payload.
template <bool kMergeNext>
[[gnu::always_inline]] inline bool Heap::freeFront(Word* bits, std::uintptr_t address, Block* block,
                                                   Word units, Block* before, Block* after,
                                                   Vacancy& nextFree, Word* nextBits) {
  // The Block in front: none only at a segment's base; otherwise one that ends exactly here.
  if (before == nullptr) {
    if (!isSegmentBase(address - kHeaderSize)) return false;
  } else {
    Word beforeWord;
    const unsigned beforeState = stateInFront(bits, address, block, before, beforeWord);
    if (beforeState == PayloadMap::kNothing) return false;
    if (beforeState == PayloadMap::kStart) {
      Vacancy beforeFree;
      if (!readFreeNeighbour(before, beforeWord, beforeFree)) return false;
      // The freed payload merges into the Block before and begins nowhere.
      countFreed(units);
      payloads_.forget(bits, address, PayloadMap::kNothing);
      Word merged = beforeFree.units + 2 + units;
      if constexpr (kMergeNext) {
        merged += nextFree.units + 2;
        PayloadMap::unstart(nextBits, address + unitsToBytes(units) + kHeaderSize);
      }
      before->sizeAndFlag = merged;
      linkBehind(after, before);
      // A filed neighbour leaves its bin as the merged Block is filed, which often takes its
      // place there; when both neighbours are filed, the one before leaves first.
      const bool beforeFiled = beforeFree.units >= kLeastFiledUnits;
      if (kMergeNext && nextFree.units >= kLeastFiledUnits) {
        if (beforeFiled) {
          leave(beforeFree);
          // Both in one bin, side by side: the one before left, and the links it held moved on.
          if (nextFree.nextFree == before) nextFree.nextFree = beforeFree.nextFree;
          if (nextFree.prevFree == before) nextFree.prevFree = beforeFree.prevFree;
        }
        fileMerged(before, merged, nextFree);
        leave(nextFree);
      } else if (beforeFiled) {
        fileMerged(before, merged, beforeFree);
        leave(beforeFree);
      } else {
        insertFree(before, merged);
      }
      return true;
    }
  }
  // Nothing free in front: the freed payload begins a free Block.
  countFreed(units);
  payloads_.forget(bits, address, PayloadMap::kStart);
  Word merged = units;
  if constexpr (kMergeNext) {
    merged += nextFree.units + 2;
    PayloadMap::unstart(nextBits, address + unitsToBytes(units) + kHeaderSize);
  }
  block->sizeAndFlag = merged;
  // An allocated successor points back here already.
  if (kMergeNext) linkBehind(after, block);
  if (kMergeNext && nextFree.units >= kLeastFiledUnits) {
    fileMerged(block, merged, nextFree);
    leave(nextFree);
  } else {
    insertFree(block, merged);
  }
  return true;
}

[[gnu::always_inline]] inline void Heap::countFreed(Word units) {
  stats_.numFrees += 1;
  stats_.allocBlocks -= 1;
  stats_.totalAlloc -= unitsToBytes(units);
}

// As allocateServedLocked: the lock is looked for once.
[[gnu::flatten]] void Heap::deallocateLocked(void* payload) {
  if (heapLock_ == nullptr) [[unlikely]]
    return deallocateUnlocked(payload);
  pal::lockEnter(heapLock_);
  deallocate(payload);
  const bool damaged = damageSinceLastLook();
  pal::lockLeave(heapLock_);
  if (damaged) [[unlikely]]
    runDamageHook();
}

[[gnu::noinline, gnu::cold]] void Heap::deallocateUnlocked(void* payload) {
  deallocate(payload);
  if (damageSinceLastLook()) runDamageHook();
}

std::size_t Heap::payloadBytesLocked(void* payload) {
  HeapLockGuard guard(*this);
  Word units;
  return allocatedBlockOf(payload, units) != nullptr ? unitsToBytes(units) : 0;
}

std::ptrdiff_t Heap::blockSize(void* payload) {
  HeapLockGuard guard(*this);
  Word units;
  // Counted in the address width: a 32-bit heap reports Blocks of 2 GiB or more as negative.
  return allocatedBlockOf(payload, units) != nullptr
             ? static_cast<std::ptrdiff_t>(unitsToBytes(units))
             : 0;
}

}  // namespace velk
