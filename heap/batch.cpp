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
  // The found Block's header and links are read once, checked, and used as they were read: a
  // program writing into a payload it freed twice may write into them at any moment, even under
  // the lock. The Block behind it, as checked, is behind every rest carved from it too.
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
  // The first Block is carved as allocate() carves one, alignment gap and all; its rest takes
  // the found Block's place in the bins.
  payloads[0] =
      carveOut(block, vacancy.units, rsize, effectiveAlign, vacancy, foundBits, successor, before);
  return carveBehind(payloads, count, rsize, successor);  // a search ran only for count > 1
}

// The other Blocks of a batch, cut one after another off the front of the rest behind the first,
// which leaves its bin once and is filed once, for what is left at the end: what carveOut does
// for each, without filing the rest in between. That rest was written a moment ago, under the
// lock, behind a payload not yet handed out, so no stray write can have reached it. Every payload
// keeps the alignment: the stride is a multiple of it.
std::size_t Heap::carveBehind(void** payloads, std::size_t count, std::size_t rsize,
                              Block* successor) {
  Block* previous = Block::ofPayload(payloads[0]);
  std::uintptr_t address = reinterpret_cast<std::uintptr_t>(previous->following());
  // The payload units of the rest at `address`; the search left room for every Block.
  Word left = Block::at(address)->units();
  Vacancy vacancy = left >= kLeastFiledUnits
                        ? vacancyOf(Block::at(address), left, classOf(unitsToBytes(left)))
                        : Vacancy{};
  const Word units = rsize / kUnit;
  std::uintptr_t known = reinterpret_cast<std::uintptr_t>(payloads[0]);
  Word* bits = payloads_.granuleBits(known);
  std::size_t carvedBytes = 0;
  bool restLeft = true;
  std::size_t got = 1;
  while (got < count && restLeft) {
    Block* carved = Block::at(address);
    // A Block takes the whole rest when what would be left could not even hold a header, as
    // splitOff leaves it.
    restLeft = left - units >= 2;
    const Word taken = restLeft ? units : left;
    carved->prevBlock = previous;
    carved->sizeAndFlag = taken | kAllocatedBit;
    const std::uintptr_t payload = address + kHeaderSize;
    bits = payloads_.granuleBitsNear(bits, known, payload);
    payloads_.markIn(bits, payload);
    payloads[got++] = reinterpret_cast<void*>(payload);
    carvedBytes += unitsToBytes(taken);
    known = payload;
    previous = carved;
    address = payload + unitsToBytes(taken);
    if (restLeft) left -= taken + 2;
  }
  stats_.numAllocs += got - 1;
  stats_.allocBlocks += got - 1;
  stats_.totalAlloc += carvedBytes;
  notePeak();
  Block* next = previous;
  if (restLeft) {
    // Free, in the place the old rest vacates while it keeps its class.
    Block* rest = Block::at(address);
    rest->prevBlock = previous;
    rest->sizeAndFlag = left;
    const std::uintptr_t restPayload = address + kHeaderSize;
    PayloadMap::start(payloads_.granuleBitsNear(bits, known, restPayload), restPayload);
    fileRemainder(rest, left, vacancy);
    next = rest;
  }
  leave(vacancy);  // when no rest took its place
  linkBehind(successor, next);
  return got;
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
