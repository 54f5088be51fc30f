// Allocation: find a free Block by class, grow by a segment when there is none, and carve the
// aligned payload out of the Block, filing what is left in front and behind.
#include <bit>

#include "heap/heap.h"

namespace velk {

void Heap::notePeak() {
  const std::size_t withHeaders = stats_.totalAlloc + kHeaderSize * stats_.allocBlocks;
  if (withHeaders > stats_.peakAlloc) stats_.peakAlloc = withHeaders;
}

// A fresh segment's Block is filed by rounding its size down, while the search rounds the need
// up; the segment must therefore hold a Block of at least the lower bound of the class the
// search starts from, or the search would miss it and growth would never end. That includes the
// catch-all class: a need just under 1 GiB searches from it, and a Block just big enough for the
// need alone would be filed below it. Small requests are covered by the least segment anyway.
std::size_t Heap::growthSize(std::size_t rsize, std::size_t align) const {
  const std::size_t need = needFor(rsize, align);
  const std::size_t bound = kClassBound[searchClassOf(need)];
  const std::size_t fill = bound > align + kHeaderSize ? bound - align - kHeaderSize : 0;
  return fill > rsize ? fill : rsize;
}

// The lowest bitmap word above `word` that has a bit set, or -1: the lowest set bit of
// `occupied` above bit `word`. A 32-bit build looks at the halves apart, without the shifts and
// library calls of 64-bit arithmetic.
static int occupiedWordAbove(std::uint64_t occupied, std::size_t word) {
  if constexpr (sizeof(void*) == 8) {
    const std::uint64_t above = occupied & (~std::uint64_t{1} << word);
    return above != 0 ? std::countr_zero(above) : -1;
  } else {
    const auto low = static_cast<std::uint32_t>(occupied);
    const auto high = static_cast<std::uint32_t>(occupied >> 32);
    if (word < 32) {
      const std::uint32_t lowAbove = low & (~std::uint32_t{1} << word);
      if (lowAbove != 0) return std::countr_zero(lowAbove);
      return high != 0 ? 32 + std::countr_zero(high) : -1;
    }
    const std::uint32_t highAbove = high & (~std::uint32_t{1} << (word - 32));
    return highAbove != 0 ? 32 + std::countr_zero(highAbove) : -1;
  }
}

Heap::Found Heap::searchFree(std::size_t need) {
  const std::size_t firstClass = searchClassOf(need);
  std::size_t word = firstClass / 32;
  std::uint32_t bits = binBitmap_[word] & (~std::uint32_t{0} << (firstClass % 32));
  if (bits == 0) {
    // The next occupied bitmap word above, found in one step rather than word by word.
    const int above = occupiedWordAbove(occupiedWords_, word);
    if (above < 0) return {nullptr, 0};
    word = static_cast<std::size_t>(above);
    bits = binBitmap_[word];
  }
  // `bits` is not zero: the builtin, undefined for zero, spares the check std::countr_zero makes.
  const std::size_t sizeClass = word * 32 + static_cast<std::size_t>(__builtin_ctz(bits));
  const Bin& bin = bins_[sizeClass];
  // Every class from the first one for `need` up starts at `need` or above, so every Block of the
  // bin fits, unless the need lies above the catch-all bin's lower bound: then take the lower of
  // the two ends, which an occupied bin has.
  if (sizeClass != kCatchAllBin || need <= kClassBound[kCatchAllBin]) [[likely]] {
    Block* const lower = below(bin.tail, bin.head) ? bin.tail : bin.head;
    if (lower == nullptr) __builtin_unreachable();
    return {lower, sizeClass};
  }
  // The catch-all bin may hold Blocks too small for the need: walk it for the lowest that fits.
  // It is the last class, so when none fits the search ends here.
  stats_.slowBucket += 1;
  return {lowestFitting(need), sizeClass};
}

// The lowest Block of the catch-all bin that holds `need` bytes, or null. Every link is checked
// before it is followed; a broken one is put right from the record and the walk starts again.
// Out of line: only needs of 1 GiB or more come here, and inlined, the walk's addresses would take
// registers from every allocation.
[[gnu::noinline]] Block* Heap::lowestFitting(std::size_t need) {
  for (bool repaired = false;; repaired = true) {
    Block* lowest = nullptr;
    const Block* previous = nullptr;
    Block* block = bins_[kCatchAllBin].head;
    for (; block != nullptr; previous = block, block = block->nextFree) {
      // Computed, not read: a link a stray write changed may point anywhere.
      const std::uintptr_t payload = reinterpret_cast<std::uintptr_t>(block) + kHeaderSize;
      if (payloads_.stateOf(payload) != PayloadMap::kStart || block->prevFree != previous) break;
      if (block->payloadBytes() >= need && (lowest == nullptr || below(block, lowest)))
        lowest = block;
    }
    if (block == nullptr && previous == bins_[kCatchAllBin].tail) return lowest;
    if (repaired) return nullptr;
    repair();
  }
}

// Adds segments until the search finds a Block, or no segment can be added.
[[gnu::noinline]] Heap::Found Heap::growAndSearch(std::size_t rsize, std::size_t align) {
  Found found{nullptr, 0};
  while (found.block == nullptr && addSegment(growthSize(rsize, align), align)) {
    found = searchFree(needFor(rsize, align));
  }
  return found;
}

Block* Heap::findFree(std::size_t rsize, std::size_t align) {
  Block* chosen = searchFree(needFor(rsize, align)).block;
  if (chosen == nullptr) return nullptr;
  removeFree(chosen);
  return chosen;
}

void* Heap::carve(Block* block, std::size_t rsize, std::size_t align) {
  Vacancy none{};
  return carveOut(block, block->units(), rsize, align, none,
                  payloads_.granuleBits(reinterpret_cast<std::uintptr_t>(block->payload())),
                  block->successor(), block->prevBlock);
}

Word Heap::split(Block* block, Word units, Block* next, std::size_t rsize) {
  Vacancy none{};
  Block* rest = splitOff(block, units, rsize, none);
  if (rest != nullptr) {
    payloads_.setState(reinterpret_cast<std::uintptr_t>(rest->payload()), PayloadMap::kStart);
    linkBehind(next, rest);
  }
  return units;
}

// The part of carving after the alignment: cuts `carved`, of `units` payload units, to `rsize`
// bytes, counts it and marks its payload, and the remainder's, in the record, whose bits for
// `aligned` are `bits`. `successor` is the Block after the chosen one, null at the end of its
// segment. Inlined at both ends of carveOut, so that where nothing was cut in front the vacancy is
// known to stand.
[[gnu::always_inline]] inline void* Heap::carveRest(Block* carved, Word units, Block* successor,
                                                    std::uintptr_t aligned, std::size_t rsize,
                                                    Vacancy& vacancy, Word* bits) {
  Block* rest = splitOff(carved, units, rsize, vacancy);
  // The successor is allocated: the chosen Block came free out of a bin, and free Blocks have no
  // free neighbours. With a remainder and without, the rest of the carve runs apart, each with only
  // the values it needs.
  if (rest == nullptr) {
    linkBehind(successor, carved);
    finishCarve(carved, units, vacancy, bits, aligned);
    return reinterpret_cast<void*>(aligned);
  }
  linkBehind(successor, rest);
  finishCarve(carved, units, vacancy, bits, aligned);
  const std::uintptr_t restPayload = reinterpret_cast<std::uintptr_t>(rest->payload());
  PayloadMap::start(payloads_.granuleBitsNear(bits, aligned, restPayload), restPayload);
  return reinterpret_cast<void*>(aligned);
}

// The carved Block's counts, header and record, once the Block behind points back to the right
// Block.
[[gnu::always_inline]] inline void Heap::finishCarve(Block* carved, Word units, Vacancy& vacancy,
                                                     Word* bits, std::uintptr_t aligned) {
  leave(vacancy);  // when no remainder took its place
  stats_.totalAlloc += unitsToBytes(units);
  notePeak();
  carved->sizeAndFlag = units | kAllocatedBit;
  payloads_.markIn(bits, aligned);
}

void* Heap::carveOut(Block* block, Word units, std::size_t rsize, std::size_t align,
                     Vacancy& vacancy, Word* blockBits, Block* successor, Block* before) {
  stats_.allocBlocks += 1;
  const std::uintptr_t unaligned = reinterpret_cast<std::uintptr_t>(block->payload());
  const std::uintptr_t aligned = (unaligned + align - 1) & ~(align - 1);
  const std::size_t pad = aligned - unaligned;

  // The carved Block's header, and the back link of the Block after the chosen one, are written
  // once, at the end: nothing reads them on the way.
  Word* const bits = payloads_.granuleBitsNear(blockBits, unaligned, aligned);
  if (pad == 0) return carveRest(block, units, successor, aligned, rsize, vacancy, bits);
  Block* const carved = Block::at(aligned - kHeaderSize);
  if (pad >= kHeaderSize) {
    // The gap stays in front as a free Block (a fragment, unfiled, below two units).
    const Word frontUnits = pad / kUnit - 2;
    block->sizeAndFlag = frontUnits;
    carved->prevBlock = block;
    fileRemainder(block, frontUnits, vacancy);
    return carveRest(carved, units - pad / kUnit, successor, aligned, rsize, vacancy, bits);
  }
  // A one-unit gap becomes the last payload unit of the Block before, which is allocated because
  // free Blocks never touch. A segment's first Block never needs such a gap: segment bases are
  // multiples of 64 KiB, so the first payload is either aligned or two units short. Its header
  // overlaps the carved one's: `before` and `units` were read before. Its size is written from
  // where it now ends, not read back: the Block in front of it may be overrunning into its header
  // right now. The peak is noted once, when the carved Block is counted too.
  before->sizeAndFlag = ((reinterpret_cast<std::uintptr_t>(carved) -
                          reinterpret_cast<std::uintptr_t>(before->payload())) /
                         kUnit) |
                        kAllocatedBit;
  stats_.totalAlloc += kUnit;
  carved->prevBlock = before;
  void* const carvedPayload =
      carveRest(carved, units - pad / kUnit, successor, aligned, rsize, vacancy, bits);
  // The payload's old start goes only once the new one is recorded: a front end sizing the Block
  // before, without the lock, finds one or the other (PayloadMap::payloadBytesNear).
  PayloadMap::clearMovedStart(payloads_.granuleBitsNear(bits, aligned, unaligned), unaligned);
  return carvedPayload;
}

// Cuts the tail off a Block of `units` payload units so that it keeps `rsize` bytes, and files
// the tail, unless the tail would not even hold a header: then the Block keeps up to one unit
// more than asked for. Returns the tail, or null; `units` becomes what the Block keeps. The
// Block's own header and the back link of the Block after it are the caller's to write.
Block* Heap::splitOff(Block* block, Word& units, std::size_t rsize, Vacancy& vacancy) {
  const std::size_t excess = unitsToBytes(units) - rsize;
  if (excess < kHeaderSize) return nullptr;
  Block* rest = Block::at(block->address() + kHeaderSize + rsize);
  rest->prevBlock = block;
  const Word restUnits = excess / kUnit - 2;
  rest->sizeAndFlag = restUnits;
  fileRemainder(rest, restUnits, vacancy);
  units = rsize / kUnit;
  return rest;
}

// The steps are public for tests, but an allocation runs them as one function: inlined, they share
// their registers and the loads of the Block they work on.
[[gnu::flatten]] void* Heap::allocate(std::size_t size, std::size_t align) {
  if (size > kMaxRequestSize || align > kMaxAlign) return nullptr;
  return allocateServed(servedSize(size), servedAlignment(align));
}

void* Heap::allocateServed(std::size_t rsize, std::size_t align) {
  stats_.numAllocs += 1;
  const std::size_t need = needFor(rsize, align);
  Found found = searchFree(need);
  if (found.block == nullptr) [[unlikely]] {
    found = growAndSearch(rsize, align);
    if (found.block == nullptr) return nullptr;
  }
  if (void* payload = carveFound(found, rsize, align)) [[likely]]
    return payload;
  // A stray write was found there: put right, and the search runs again.
  return allocateAfterRepair(rsize, align);
}

// The free Block found, checked (foundTrue), or null when a check fails; else the Block is
// carved, leaving its bin as it goes: its remainder, often of the same class, takes its place
// there.
[[gnu::always_inline]] inline void* Heap::carveFound(Found found, std::size_t rsize,
                                                     std::size_t align) {
  const std::uintptr_t payload = reinterpret_cast<std::uintptr_t>(found.block->payload());
  Word* const bits = payloads_.granuleBits(payload);
  Vacancy vacancy;
  Block* successor;
  Block* before;
  if (!foundTrue(found, bits, payload, align, vacancy, successor, before)) [[unlikely]]
    return nullptr;
  if (rsize > stats_.maxAllocBlockSize) stats_.maxAllocBlockSize = rsize;
  return carveOut(vacancy.block, vacancy.units, rsize, align, vacancy, bits, successor, before);
}

// Put right from the record, and the search runs again. Out of line, so that the registers of
// every allocation serve the path without damage. The Block found is checked as the first one
// was: a program writing into a payload it freed twice may write again, from another thread,
// right after the repair. Words that keep changing under the lock make the allocation fail
// rather than be trusted.
[[gnu::noinline, gnu::cold]] void* Heap::allocateAfterRepair(std::size_t rsize, std::size_t align) {
  constexpr int kRepairs = 8;
  for (int attempt = 0; attempt < kRepairs; ++attempt) {
    repair();
    Found found = searchFree(needFor(rsize, align));
    if (found.block == nullptr) found = growAndSearch(rsize, align);
    if (found.block == nullptr) return nullptr;
    if (void* payload = carveFound(found, rsize, align)) return payload;
  }
  return nullptr;
}

// The lock is looked for once: a Heap that has one keeps it until it is torn down, and only a
// torn-down Heap, which has none, runs unlocked, out of line.
[[gnu::flatten]] void* Heap::allocateServedLocked(std::size_t rsize, std::size_t align) {
  if (heapLock_ == nullptr) [[unlikely]]
    return allocateServedUnlocked(rsize, align);
  pal::lockEnter(heapLock_);
  void* const payload = allocateServed(rsize, align);
  const bool damaged = damageSinceLastLook();
  pal::lockLeave(heapLock_);
  if (damaged) [[unlikely]]
    runDamageHook();
  return payload;
}

[[gnu::noinline, gnu::cold]] void* Heap::allocateServedUnlocked(std::size_t rsize,
                                                                std::size_t align) {
  void* const payload = allocateServed(rsize, align);
  if (damageSinceLastLook()) runDamageHook();
  return payload;
}

}  // namespace velk
