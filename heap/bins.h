// Filing free Blocks in the bins of their classes and taking them out again. Inline: every
// allocation and every free does both, often twice, and the caller usually knows the class.
#pragma once

// Inlined even where the optimiser would not (-O2, 32-bit): each is a handful of instructions
// that an allocation or a free runs on every call.
#define VELK_BIN_OPERATION [[gnu::always_inline]] inline

namespace velk {

// Into a bin that holds a Block already: in front only when below the head, otherwise at the
// back. The list is therefore not sorted.
VELK_BIN_OPERATION void Heap::linkFree(Bin& bin, Block* block, Block* head) {
  if (below(block, head)) {
    block->prevFree = nullptr;
    block->nextFree = head;
    head->prevFree = block;
    bin.head = block;
  } else {
    Block* const tail = bin.tail;
    block->prevFree = tail;
    block->nextFree = nullptr;
    tail->nextFree = block;
    bin.tail = block;
  }
}

// `next` and `previous` are the Block's own links, read before anything could write over them:
// the Block is its bin's head exactly when it has no previous Block, and its tail exactly when it
// has no next one. Returns whether the bin is left empty.
VELK_BIN_OPERATION bool Heap::unlinkFree(Bin& bin, Block* next, Block* previous) {
  if (previous != nullptr) {
    previous->nextFree = next;
  } else {
    bin.head = next;
  }
  if (next != nullptr) {
    next->prevFree = previous;
    return false;
  }
  bin.tail = previous;
  return previous == nullptr;
}

VELK_BIN_OPERATION void Heap::fileFree(Block* block, Word units, std::size_t sizeClass) {
  stats_.freeBlocks += 1;
  stats_.totalFree += unitsToBytes(units);
  Bin& bin = bins_[sizeClass];
  bin.count += 1;
  Block* const head = bin.head;
  if (head != nullptr) {
    linkFree(bin, block, head);
    return;
  }
  binBitmap_[sizeClass / 32] |= std::uint32_t{1} << (sizeClass % 32);
  occupiedWords_ |= std::uint64_t{1} << (sizeClass / 32);
  block->prevFree = nullptr;
  block->nextFree = nullptr;
  bin.head = bin.tail = block;
}

VELK_BIN_OPERATION void Heap::unfileFree(Block* next, Block* previous, Word units,
                                         std::size_t sizeClass) {
  stats_.freeBlocks -= 1;
  stats_.totalFree -= unitsToBytes(units);
  Bin& bin = bins_[sizeClass];
  bin.count -= 1;
  if (unlinkFree(bin, next, previous)) {
    const std::size_t word = sizeClass / 32;
    binBitmap_[word] &= ~(std::uint32_t{1} << (sizeClass % 32));
    if (binBitmap_[word] == 0) occupiedWords_ &= ~(std::uint64_t{1} << word);
  }
}

VELK_BIN_OPERATION Heap::Vacancy Heap::vacancyOf(Block* block, Word units, std::size_t sizeClass) {
  return {block, block->nextFree, block->prevFree, units, sizeClass};
}

VELK_BIN_OPERATION void Heap::leave(Vacancy& vacancy) {
  if (vacancy.block == nullptr) return;
  unfileFree(vacancy.nextFree, vacancy.prevFree, vacancy.units, vacancy.sizeClass);
  vacancy.block = nullptr;
}

// Filing into the bin a Block is vacating in the same operation, the new Block takes its place:
// exactly what taking the old one out and then filing the new one does, but the bin's count and
// its bitmap bit never change.
VELK_BIN_OPERATION void Heap::takePlaceOf(Block* block, std::size_t bytes, Vacancy& vacancy) {
  Bin& bin = bins_[vacancy.sizeClass];
  stats_.totalFree += bytes;
  stats_.totalFree -= unitsToBytes(vacancy.units);
  if (vacancy.nextFree == nullptr && vacancy.prevFree == nullptr) {
    // It was the bin's only Block, as the rest of a large free Block often is: the new one is.
    block->nextFree = nullptr;
    block->prevFree = nullptr;
    bin.head = bin.tail = block;
  } else {
    // At least one other Block stays in the bin.
    unlinkFree(bin, vacancy.nextFree, vacancy.prevFree);
    linkFree(bin, block, bin.head);
  }
  vacancy.block = nullptr;
}

// A remainder, cut from the vacating Block, is never larger: it stays in the vacating Block's
// class unless it falls below that class's lower bound. Into any other bin it is filed as usual.
VELK_BIN_OPERATION void Heap::fileRemainder(Block* block, Word units, Vacancy& vacancy) {
  if (units < kLeastFiledUnits) return;
  const std::size_t bytes = unitsToBytes(units);
  if (vacancy.block != nullptr && bytes >= kClassBound[vacancy.sizeClass]) {
    takePlaceOf(block, bytes, vacancy);
  } else {
    fileFree(block, units, classOf(bytes));
  }
}

// A merged Block holds the vacating one and is never smaller: it stays in the vacating Block's
// class unless it reaches the next class's lower bound.
VELK_BIN_OPERATION void Heap::fileMerged(Block* block, Word units, Vacancy& vacancy) {
  if (units < kLeastFiledUnits) return;
  const std::size_t bytes = unitsToBytes(units);
  const std::size_t vacated = vacancy.sizeClass;
  if (vacancy.block != nullptr && (vacated == kCatchAllBin || bytes < kClassBound[vacated + 1])) {
    takePlaceOf(block, bytes, vacancy);
  } else {
    fileFree(block, units, classOf(bytes));
  }
}

// A fragment (below two units) has no room for the links and is never filed.
VELK_BIN_OPERATION void Heap::insertFree(Block* block, Word units) {
  if (units >= kLeastFiledUnits) fileFree(block, units, classOf(unitsToBytes(units)));
}

VELK_BIN_OPERATION void Heap::removeFree(Block* block) {
  const Word units = block->units();
  if (units >= kLeastFiledUnits)
    unfileFree(block->nextFree, block->prevFree, units, classOf(unitsToBytes(units)));
}

}  // namespace velk

#undef VELK_BIN_OPERATION
