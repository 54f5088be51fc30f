// Giving idle pages back: the pages inside free Blocks that have lain in their bins unchanged
// since the previous pass go back to the system. A Block freed a moment ago is usually carved
// again soon, and the page faults that would follow its discard would cost more than its pages
// are worth; one that no carve or merge touched for a whole pass is taking up memory for nothing.
#include "heap/heap.h"

namespace velk {
namespace {

// The payload unit of a free Block, right after its two bin links, where a pass leaves its mark:
// the Block's place and size mixed with what the pass did. A carve or a merge gives the Block
// another place or size, and with it a mark that describes nothing. The word lies in the Block's
// first page, which a discard never reaches.
constexpr std::size_t kMarkUnit = 2;
constexpr Word kMix = sizeof(Word) == 8 ? static_cast<Word>(0x9E3779B97F4A7C15ull) : 0x9E3779B1u;
// What the mark says: the Block was seen by the last pass (still in use, perhaps), or its pages
// were given back.
constexpr Word kSeen = static_cast<Word>(0x5EE1D1E5A1C0FFEEull);
constexpr Word kGivenBack = static_cast<Word>(0x6173B4C7D3E2F1A9ull);

Word markOf(const Block* block, Word units, Word state) {
  return (reinterpret_cast<Word>(block) * kMix) ^ units ^ state;
}

}  // namespace

std::size_t Heap::discardIdlePages(std::size_t leastBytes) {
  const std::size_t page = addressSpace_.pageSize();
  // Room for the links and the mark before the first page given back.
  const std::size_t kept = (kMarkUnit + 1) * kUnit;
  if (leastBytes < kept + page) leastBytes = kept + page;
  std::size_t givenBack = 0;
  for (std::size_t sizeClass = classOf(leastBytes); sizeClass < kNumBins; ++sizeClass) {
    if (bins_[sizeClass].count == 0) continue;
    for (Block* block = bins_[sizeClass].head; block != nullptr;) {
      // Every Block is held to the record before its mark is read or its pages are touched: a
      // stray write into a freed payload may have changed its header or links.
      const auto payload = reinterpret_cast<std::uintptr_t>(block->payload());
      const Word* bits = payloads_.granuleBits(payload);
      const Word units = block->sizeAndFlag;
      if (bits == nullptr || PayloadMap::stateAt(bits, payload) != PayloadMap::kStart ||
          !freeBlockTrue(bits, payload, block, units, sizeClass)) [[unlikely]] {
        // Put right; what this pass did not reach waits for the next one.
        repair();
        return givenBack;
      }
      Block* const next = block->nextFree;
      const std::size_t bytes = unitsToBytes(units);
      if (bytes >= leastBytes) {
        Word& mark = reinterpret_cast<Word*>(payload)[kMarkUnit];
        if (mark == markOf(block, units, kSeen)) {
          const std::uintptr_t first = (payload + kept + page - 1) & ~(page - 1);
          const std::uintptr_t end = (payload + bytes) & ~(page - 1);
          if (first < end) {
            addressSpace_.discard(first, end - first);
            givenBack += end - first;
          }
          mark = markOf(block, units, kGivenBack);
        } else if (mark != markOf(block, units, kGivenBack)) {
          mark = markOf(block, units, kSeen);
        }
      }
      block = next;
    }
  }
  return givenBack;
}

}  // namespace velk
