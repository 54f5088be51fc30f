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
  if (block == nullptr) return allocateScattered(size, align, payloads, count);
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
    for (; index > 0 && payloads[index - 1] > payload; --index) payloads[index] = payloads[index - 1];
    payloads[index] = payload;
  }
  return got;
}

}  // namespace velk
