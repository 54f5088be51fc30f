// Allocation in batches: several Blocks of one size carved side by side out of one free Block
// found by a single search, so that a front end can hand them out one by one without the lock.
// Each Block is carved exactly as allocate() carves one: the figures and the payload map see
// `count` ordinary allocations.
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
  if (count > 1 && strided && rsize + kHeaderSize <= kMaxRequestSize / count) {
    const std::size_t total = count * (rsize + kHeaderSize) - kHeaderSize;
    found = searchFree(effectiveAlign <= kUnit ? total : total + effectiveAlign - 1);
  }
  const std::uintptr_t foundPayload =
      found.block != nullptr ? reinterpret_cast<std::uintptr_t>(found.block->payload()) : 0;
  Word* foundBits = found.block != nullptr ? payloads_.granuleBits(foundPayload) : nullptr;
  // The Block behind the one found, as checked: behind every rest carved from it too.
  Block* successor = nullptr;
  if (found.block != nullptr &&
      (!freeBlockTrue(foundBits, foundPayload, found.block, found.block->sizeAndFlag,
                      found.block->nextFree, found.block->prevFree, found.sizeClass,
                      &successor) ||
       !giftTrue(foundBits, foundPayload, found.block, effectiveAlign))) [[unlikely]] {
    // A stray write changed the Block or what lies around it: put right, and let the single
    // allocation below search again.
    repair();
    found.block = nullptr;
  }
  Block* block = found.block;
  // No free Block that large: a single one, from wherever allocate() finds or makes room.
  if (block == nullptr) {
    payloads[0] = allocate(size, align);
    return payloads[0] != nullptr ? 1 : 0;
  }
  stats_.numAllocs += count;
  if (rsize > stats_.maxAllocBlockSize) stats_.maxAllocBlockSize = rsize;
  // The Block leaves its bin as each one is carved, its rest taking its place there (or filed
  // as usual when it falls to a lower class); the next one comes from that rest.
  Vacancy vacancy = vacancyOf(block, block->units(), found.sizeClass);
  for (std::size_t index = 0;; ++index) {
    payloads[index] = carveOut(block, block->units(), rsize, effectiveAlign, vacancy,
                               payloads_.granuleBits(reinterpret_cast<std::uintptr_t>(block->payload())),
                               successor);
    if (index + 1 == count) return count;
    block = Block::ofPayload(payloads[index])->following();
    const Word units = block->units();
    vacancy = units >= kLeastFiledUnits ? vacancyOf(block, units, classOf(unitsToBytes(units)))
                                        : Vacancy{};
  }
}

}  // namespace velk
