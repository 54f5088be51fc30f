// Giving idle pages back: only whole pages of free Blocks that lay free through a pass, between
// their links and the mark at their end; live payloads, figures and checks see nothing of it.
#include <cstring>
#include <random>
#include <vector>

#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

TEST(Discard, BlocksFreeForAWholePassGiveBackPagesInsideThemOnly) {
  FakeAddressSpace space;
  Heap heap(space);
  std::mt19937 random(20261208);
  std::vector<unsigned char> bytes(3 << 20);
  for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random());
  auto filled = [&](std::size_t size) {
    return static_cast<unsigned char*>(std::memcpy(heap.allocate(size, kUnit), bytes.data(), size));
  };
  unsigned char* first = filled(1 << 20);
  unsigned char* middle = filled(3 << 20);
  unsigned char* small = filled(40000);
  unsigned char* last = filled(2 << 20);
  heap.deallocate(middle);
  heap.deallocate(last);
  const HeapStats before = heap.stats();
  const std::size_t tailBytes = Block::ofPayload(last)->payloadBytes();

  // The first pass only marks; the second gives back both free Blocks, strictly inside them.
  EXPECT_EQ(heap.discardIdlePages(64 << 10), 0u);
  EXPECT_GE(heap.discardIdlePages(64 << 10), (3u << 20) + tailBytes - 4 * 4096);
  ASSERT_EQ(space.discards().size(), 2u);
  for (const pal::Region& range : space.discards()) {
    const auto payload = range.base < addressOf(last) ? addressOf(middle) : addressOf(last);
    const std::size_t size = range.base < addressOf(last) ? 3 << 20 : tailBytes;
    EXPECT_TRUE(range.base % 4096 == 0 && range.size % 4096 == 0);
    EXPECT_TRUE(range.base >= payload + 2 * kUnit && range.base + range.size <= payload + size - kUnit);
  }
  EXPECT_TRUE(std::memcmp(first, bytes.data(), 1 << 20) == 0 &&
              std::memcmp(small, bytes.data(), 40000) == 0);
  const HeapStats& after = heap.stats();
  EXPECT_TRUE(after.totalAlloc == before.totalAlloc && after.totalFree == before.totalFree &&
              after.freeBlocks == before.freeBlocks);
  EXPECT_EQ(violations(heap), "");

  // The same Block comes back for the same request. A carve from the tail's front leaves its
  // end: the rest is given back at the next pass. A Block freed since then waits for the one after.
  EXPECT_EQ(filled(3 << 20), middle);
  unsigned char* gone = filled(1 << 20);
  filled(100);
  heap.deallocate(gone);
  heap.discardIdlePages(64 << 10);
  ASSERT_EQ(space.discards().size(), 3u);
  EXPECT_GE(space.discards().back().base, addressOf(gone) + (1 << 20));
  heap.discardIdlePages(64 << 10);
  EXPECT_EQ(space.discards().size(), 5u);

  // A stray write into a free Block's links ends the pass before it gives anything back, and
  // the heap puts the links right.
  reinterpret_cast<Block**>(gone)[0] = Block::ofPayload(first);
  EXPECT_EQ(heap.discardIdlePages(64 << 10), 0u);
  EXPECT_EQ(space.discards().size(), 5u);
  EXPECT_GE(heap.damageFound(), 1u);
  EXPECT_EQ(violations(heap), "");
}

}  // namespace
}  // namespace velk::testing
