// Filing free Blocks in the bins of their classes, and taking them out again.
#include "heap/heap.h"

namespace velk {

static bool below(const Block* a, const Block* b) {
  return reinterpret_cast<std::uintptr_t>(a) < reinterpret_cast<std::uintptr_t>(b);
}

void Heap::insertFree(Block* block) {
  const Word units = block->units();
  if (units < kLeastFiledUnits) return;  // a fragment has no room for the links
  const std::size_t sizeClass = classOf(unitsToBytes(units));
  stats_.freeBlocks += 1;
  stats_.totalFree += unitsToBytes(units);
  Bin& bin = bins_[sizeClass];
  if (bin.count++ == 0) {
    binBitmap_[sizeClass / 32] |= std::uint32_t{1} << (sizeClass % 32);
    occupiedWords_ |= std::uint64_t{1} << (sizeClass / 32);
  }
  if (bin.head != nullptr && below(block, bin.head)) {
    block->prevFree = nullptr;
    block->nextFree = bin.head;
    bin.head->prevFree = block;
    bin.head = block;
    return;
  }
  block->prevFree = bin.tail;
  block->nextFree = nullptr;
  if (bin.tail != nullptr) {
    bin.tail->nextFree = block;
    bin.tail = block;
  } else {
    bin.head = bin.tail = block;
  }
}

// The Block must still have the size it was filed with. Its own links are left as they are.
void Heap::removeFree(Block* block) {
  const Word units = block->units();
  if (units < kLeastFiledUnits) return;
  const std::size_t sizeClass = classOf(unitsToBytes(units));
  stats_.freeBlocks -= 1;
  stats_.totalFree -= unitsToBytes(units);
  Bin& bin = bins_[sizeClass];
  if (--bin.count == 0) {
    binBitmap_[sizeClass / 32] &= ~(std::uint32_t{1} << (sizeClass % 32));
    if (binBitmap_[sizeClass / 32] == 0) occupiedWords_ &= ~(std::uint64_t{1} << (sizeClass / 32));
  }
  if (block->prevFree != nullptr) block->prevFree->nextFree = block->nextFree;
  if (block->nextFree != nullptr) block->nextFree->prevFree = block->prevFree;
  if (bin.head == block) bin.head = block->nextFree;
  if (bin.tail == block) bin.tail = block->prevFree;
}

Block* Heap::findFree(std::size_t rsize, std::size_t align) {
  // Room for the worst alignment shift.
  const std::size_t need = align <= kUnit ? rsize : rsize + align - 1;
  const std::size_t firstClass = searchClassOf(need);
  std::size_t word = firstClass / 32;
  std::uint32_t bits = binBitmap_[word] & (~std::uint32_t{0} << (firstClass % 32));
  if (bits == 0) {
    // The next occupied bitmap word above, found in one step rather than word by word.
    const std::uint64_t above = occupiedWords_ & (~std::uint64_t{1} << word);
    if (above == 0) return nullptr;
    word = static_cast<std::size_t>(__builtin_ctzll(above));
    bits = binBitmap_[word];
  }
  const std::size_t sizeClass = word * 32 + static_cast<std::size_t>(__builtin_ctz(bits));
  Bin& bin = bins_[sizeClass];
  if (need <= kClassBound[sizeClass]) {
    // Every Block of this bin fits: take the lower of the two ends.
    Block* chosen = below(bin.tail, bin.head) ? bin.tail : bin.head;
    removeFree(chosen);
    return chosen;
  }
  // Only the catch-all bin holds Blocks that may be too small: walk it for the lowest that fits.
  // It is the last class, so when none fits the search ends here.
  stats_.slowBucket += 1;
  Block* lowest = nullptr;
  for (Block* block = bin.head; block != nullptr; block = block->nextFree) {
    if (block->payloadBytes() >= need && (lowest == nullptr || below(block, lowest)))
      lowest = block;
  }
  if (lowest != nullptr) removeFree(lowest);
  return lowest;
}

}  // namespace velk
