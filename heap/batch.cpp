// Allocation in batches: several Blocks of one size carved side by side out of one free Block
// found by a single search, so that a front end can hand them out one by one without the lock.
// The figures and the payload map see `count` ordinary allocations.
#include <bit>

#include "heap/heap.h"

namespace velk {

std::size_t Heap::allocateBatch(std::size_t size, std::size_t align, void** payloads,
                                std::size_t count) {
  if (count == 0 || size > kMaxRequestSize || align > kMaxAlign) return 0;
  const std::size_t effectiveAlign = servedAlignment(align);
  // Each Block starts where the one before ends: for every payload to keep the alignment, the
  // stride from one to the next is a multiple of it. Blocks so large that no stride can be had
  // go to a single allocation, which counts and refuses them as allocate() does.
  const std::size_t least = size < kUnit ? kUnit : size;
  const bool strided = least <= kMaxRequestSize - kHeaderSize - effectiveAlign;
  const std::size_t rsize =
      strided ? ((least + kHeaderSize + effectiveAlign - 1) & ~(effectiveAlign - 1)) - kHeaderSize
              : 0;
  // One Block to hold them all: every Block after the first brings its own header.
  Found found{nullptr, 0};
  const bool spanned = count > 1 && strided && rsize + kHeaderSize <= kMaxRequestSize / count;
  const std::size_t total = spanned ? count * (rsize + kHeaderSize) - kHeaderSize : 0;
  if (spanned) {
    found = searchFree(effectiveAlign <= kUnit ? total : total + effectiveAlign - 1);
  }
  const std::uintptr_t foundPayload =
      found.block != nullptr ? reinterpret_cast<std::uintptr_t>(found.block->payload()) : 0;
  Word* foundBits = found.block != nullptr ? payloads_.granuleBits(foundPayload) : nullptr;
  // The found Block's header and links are read once, checked, and used as they were read: a
  // program writing into a payload it freed may write into them at any moment, from another
  // thread, even while the lock is held here.
  Block* successor = nullptr;
  Block* before = nullptr;
  Vacancy vacancy{};
  if (found.block != nullptr && !foundTrue(found, foundBits, foundPayload, effectiveAlign, vacancy,
                                           successor, before)) [[unlikely]] {
    // A stray write changed the Block or what lies around it: put right, and let the single
    // allocation below search again.
    repair();
    found.block = nullptr;
  }
  Block* block = found.block;
  if (block == nullptr) return allocateScattered(size, align, payloads, count);
  stats_.numAllocs += 1;
  if (rsize > stats_.maxAllocBlockSize) stats_.maxAllocBlockSize = rsize;
  // One Block for the whole batch is carved as allocate() carves one, alignment gap and all; its
  // rest takes the found Block's place in the bins. Then it is cut into the batch.
  const std::uintptr_t end = foundPayload + unitsToBytes(vacancy.units);
  payloads[0] =
      carveOut(block, vacancy.units, total, effectiveAlign, vacancy, foundBits, successor, before);
  cutBatch(payloads, count, rsize, end, successor);
  return count;
}

// Cuts the Block just carved for a batch, whose payload is payloads[0], into `count` Blocks of
// `rsize` bytes side by side, as many single carves would have left them: the last one keeps the
// unit that the carve left over when no rest could be cut. `end` is where the found Block ended,
// and `successor` the Block there (null at the segment's end). Nothing is read back from memory:
// another thread writing into a payload it freed may write into these headers at any moment, so
// every one is written from what the carve knew.
void Heap::cutBatch(void** payloads, std::size_t count, std::size_t rsize, std::uintptr_t end,
                    Block* successor) {
  const auto first = reinterpret_cast<std::uintptr_t>(payloads[0]);
  const std::uintptr_t spanEnd = first + count * (rsize + kHeaderSize) - kHeaderSize;
  const bool restCut = end - spanEnd >= kHeaderSize;
  const std::uintptr_t batchEnd = restCut ? spanEnd : end;
  Block* previous = Block::ofPayload(payloads[0]);
  previous->sizeAndFlag = (rsize / kUnit) | kAllocatedBit;
  Word* bits = payloads_.granuleBits(first);
  std::uintptr_t known = first;
  for (std::size_t index = 1; index < count; ++index) {
    const std::uintptr_t payload = first + index * (rsize + kHeaderSize);
    const std::uintptr_t payloadEnd = index + 1 == count ? batchEnd : payload + rsize;
    Block* carved = Block::ofPayload(reinterpret_cast<void*>(payload));
    carved->prevBlock = previous;
    carved->sizeAndFlag = ((payloadEnd - payload) / kUnit) | kAllocatedBit;
    bits = payloads_.granuleBitsNear(bits, known, payload);
    payloads_.markIn(bits, payload);
    payloads[index] = reinterpret_cast<void*>(payload);
    known = payload;
    previous = carved;
  }
  // The carve counted one Block with the headers between them as payload.
  stats_.numAllocs += count - 1;
  stats_.allocBlocks += count - 1;
  stats_.totalAlloc -= (count - 1) * kHeaderSize;
  linkBehind(restCut ? Block::at(batchEnd) : successor, previous);
}

// No free Block holds them all: each from the free Block that fits it best, as single allocations
// would take them one by one, for as long as the bins hold one that fits; the heap grows for the
// first one only. A heap whose free room lies in many small holes (Blocks freed one by one among
// live ones) thus fills a batch in one hold of the lock rather than one per Block.
std::size_t Heap::allocateScattered(std::size_t size, std::size_t align, void** payloads,
                                    std::size_t count) {
  payloads[0] = allocate(size, align);
  if (payloads[0] == nullptr) return 0;
  const std::size_t need = needFor(servedSize(size), servedAlignment(align));
  std::size_t got = 1;
  for (; got < count && searchFree(need).block != nullptr; ++got) {
    void* payload = allocate(size, align);
    if (payload == nullptr) break;
    // Kept in address order: insertion, the batch is short.
    std::size_t index = got;
    for (; index > 0 && payloads[index - 1] > payload; --index)
      payloads[index] = payloads[index - 1];
    payloads[index] = payload;
  }
  return got;
}

}  // namespace velk
