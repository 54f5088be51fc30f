// Allocation: find a free Block by class, grow by a segment when there is none, and carve the
// aligned payload out of the Block, filing what is left in front and behind.
#include <bit>

#include "heap/heap.h"

namespace velk {

void Heap::notePeak() {
  const std::size_t withHeaders = stats_.totalAlloc + kHeaderSize * stats_.allocBlocks;
  if (withHeaders > stats_.peakAlloc) stats_.peakAlloc = withHeaders;
}

void Heap::giveUnitToAllocated(Block* block) {
  block->sizeAndFlag += 1;
  stats_.totalAlloc += kUnit;
  notePeak();
}

// A fresh segment's Block is filed by rounding its size down, while the search rounds the need
// up; the segment must therefore hold a Block of at least the lower bound of the class the
// search starts from, or the search would miss it and growth would never end. That includes the
// catch-all class: a need just under 1 GiB searches from it, and a Block just big enough for the
// need alone would be filed below it. Small requests are covered by the least segment anyway.
std::size_t Heap::growthSize(std::size_t rsize, std::size_t align) const {
  const std::size_t need = align <= kUnit ? rsize : rsize + align - 1;
  const std::size_t bound = kClassBound[searchClassOf(need)];
  const std::size_t fill = bound > align + kHeaderSize ? bound - align - kHeaderSize : 0;
  return fill > rsize ? fill : rsize;
}

void* Heap::allocate(std::size_t size, std::size_t align) {
  if (size > kMaxRequestSize || align > kMaxAlign) return nullptr;
  stats_.numAllocs += 1;
  const std::size_t rsize = ((size < kUnit ? kUnit : size) + kUnit - 1) & ~(kUnit - 1);
  // Alignments that are not powers of two are served at the next power of two.
  const std::size_t effectiveAlign = align <= kUnit ? kUnit : std::bit_ceil(align);

  Block* block = findFree(rsize, effectiveAlign);
  while (block == nullptr) {
    if (!addSegment(growthSize(rsize, effectiveAlign), effectiveAlign)) return nullptr;
    block = findFree(rsize, effectiveAlign);
  }
  if (rsize > stats_.maxAllocBlockSize) stats_.maxAllocBlockSize = rsize;
  return carve(block, rsize, effectiveAlign);
}

void* Heap::carve(Block* block, std::size_t rsize, std::size_t align) {
  stats_.allocBlocks += 1;
  const std::uintptr_t unaligned = reinterpret_cast<std::uintptr_t>(block->payload());
  const std::uintptr_t aligned = (unaligned + align - 1) & ~(align - 1);
  const std::size_t pad = aligned - unaligned;

  Block* carved = block;
  if (pad != 0) {
    Block* next = block->successor();
    // With a one-unit gap the new header overlaps the old one: read it first.
    const Word formerUnits = block->units();
    Block* const before = block->prevBlock;
    carved = Block::at(aligned - kHeaderSize);
    if (pad >= kHeaderSize) {
      // The gap stays in front as a free Block (a fragment, unfiled, below two units).
      block->sizeAndFlag = pad / kUnit - 2;
      carved->prevBlock = block;
      insertFree(block);
    } else {
      // A one-unit gap becomes the last payload unit of the Block before, which is allocated
      // because free Blocks never touch. A segment's first Block never needs such a gap: segment
      // bases are multiples of 64 KiB, so the first payload is either aligned or two units short.
      giveUnitToAllocated(before);
      carved->prevBlock = before;
    }
    carved->sizeAndFlag = formerUnits - pad / kUnit;
    if (next != nullptr) next->prevBlock = carved;
  }
  if (carved->payloadBytes() != rsize) split(carved, rsize);
  stats_.totalAlloc += carved->payloadBytes();
  notePeak();
  carved->sizeAndFlag |= kAllocatedBit;
  payloads_.mark(aligned);
  return reinterpret_cast<void*>(aligned);
}

// Cuts the Block to `rsize` payload bytes and files the tail, unless the tail would not even hold
// a header: then the Block keeps up to one unit more than asked for.
void Heap::split(Block* block, std::size_t rsize) {
  Block* next = block->successor();
  const std::size_t excess = block->payloadBytes() - rsize;
  if (excess < kHeaderSize) return;
  block->sizeAndFlag = rsize / kUnit;
  Block* rest = Block::at(block->address() + kHeaderSize + rsize);
  rest->prevBlock = block;
  rest->sizeAndFlag = excess / kUnit - 2;
  // The successor is allocated: the carved Block came free out of a bin, and free Blocks have no
  // free neighbours.
  if (next != nullptr) next->prevBlock = rest;
  insertFree(rest);
}

}  // namespace velk
