// Giving idle pages back: the pages inside free Blocks that have lain free since the previous pass
// go back to the system. A Block freed a moment ago is usually carved again soon, and the page
// faults that would follow its discard would cost more than its pages are worth; one that stayed
// free for a whole pass is taking up memory for nothing.
#include "heap/heap.h"

namespace velk {
namespace {

// A pass leaves its mark in the last unit of every free Block it visits: the Block's end and the
// pass's number, mixed. A Block is known by its end because carving takes a free Block's front
// and leaves its end where it was; a mark left by the previous pass at the same end says the rest
// lay free since then. (A Block handed out whole and freed again at the same end within one pass
// may keep the mark: its pages go back a pass early.) The word lies in the Block's last page,
// which a discard never reaches.
constexpr Word kMix = sizeof(Word) == 8 ? static_cast<Word>(0x9E3779B97F4A7C15ull) : 0x9E3779B1u;
constexpr Word kSalt = static_cast<Word>(0x5EE1D1E5A1C0FFEEull);

Word markOf(std::uintptr_t end, std::uint32_t pass) {
  return (static_cast<Word>(end) * kMix) ^ pass ^ kSalt;
}

}  // namespace

std::size_t Heap::discardIdlePages(std::size_t leastBytes) {
  const std::size_t page = addressSpace_.pageSize();
  // The links at the front and the mark at the end stay, each on its own page at worst.
  const std::size_t kept = 2 * kUnit;
  if (leastBytes < kept + kUnit + page) leastBytes = kept + kUnit + page;
  const std::uint32_t previous = discardPasses_++;
  std::size_t givenBack = 0;
  for (std::size_t sizeClass = classOf(leastBytes); sizeClass < kNumBins; ++sizeClass) {
    if (bins_[sizeClass].count == 0) continue;
    for (Block* block = bins_[sizeClass].head; block != nullptr;) {
      // Every Block is held to the record before its mark is read or its pages are touched: a
      // stray write into a freed payload may have changed its header or links, and may change
      // them again at any moment: each is read once, and the walk goes on by the link checked.
      const auto payload = reinterpret_cast<std::uintptr_t>(block->payload());
      const Word* bits = payloads_.granuleBits(payload);
      const Word units = block->sizeAndFlag;
      Block* const next = block->nextFree;
      if (bits == nullptr || PayloadMap::stateAt(bits, payload) != PayloadMap::kStart ||
          !freeBlockTrue(bits, payload, block, units, next, block->prevFree, sizeClass))
          [[unlikely]] {
        // Put right; what this pass did not reach waits for the next one.
        repair();
        return givenBack;
      }
      const std::uintptr_t end = payload + unitsToBytes(units);
      if (end - payload >= leastBytes) {
        Word& mark = *reinterpret_cast<Word*>(end - kUnit);
        if (mark == markOf(end, previous)) {
          const std::uintptr_t first = (payload + kept + page - 1) & ~(page - 1);
          const std::uintptr_t last = (end - kUnit) & ~(page - 1);
          if (first < last) {
            addressSpace_.discard(first, last - first);
            givenBack += last - first;
          }
        }
        mark = markOf(end, discardPasses_);
      }
      block = next;
    }
  }
  return givenBack;
}

}  // namespace velk
