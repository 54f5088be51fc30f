// Allocation in batches: Blocks carved side by side as so many ordinary allocations, in every
// size and alignment, and the fall back to one Block when no free Block holds them all.
#include <algorithm>
#include <random>
#include <vector>

#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

TEST(Batch, CarvesSideBySideAsOrdinaryAllocations) {
  FakeAddressSpace space;
  Heap heap(space);
  std::mt19937 random(5);
  std::vector<void*> live;
  for (const std::size_t size : {0u, 1u, 24u, 100u, 1000u, 40000u}) {
    for (const std::size_t align : {std::size_t{1}, std::size_t{16}, std::size_t{64}}) {
      for (const std::size_t count : {1u, 2u, 7u, 64u}) {
        const HeapStats before = heap.stats();
        std::vector<void*> payloads(count);
        ASSERT_EQ(heap.allocateBatch(size, align, payloads.data(), count), count);
        EXPECT_EQ(heap.stats().allocBlocks, before.allocBlocks + count);
        EXPECT_EQ(heap.stats().numAllocs, before.numAllocs + count);
        for (std::size_t index = 0; index < count; ++index) {
          const Block* block = Block::ofPayload(payloads[index]);
          EXPECT_EQ(addressOf(payloads[index]) % std::max(align, kUnit), 0u);
          EXPECT_GE(block->payloadBytes(), std::max(size, kUnit));
          if (index > 0) {
            EXPECT_EQ(Block::ofPayload(payloads[index - 1])->following(), block);
          }
        }
        EXPECT_EQ(violations(heap), "");
        live.insert(live.end(), payloads.begin(), payloads.end());
        // Free about half of what is live, in any order, so later batches meet holes.
        std::shuffle(live.begin(), live.end(), random);
        for (std::size_t freed = live.size() / 2; freed > 0; --freed) {
          heap.deallocate(live.back());
          live.pop_back();
          EXPECT_EQ(violations(heap), "");
        }
      }
    }
  }
}

TEST(Batch, WithoutRoomForAllGivesOneOrNone) {
  FakeAddressSpace space;
  Heap heap(space);
  // Fill the first segment with 1,000-byte Blocks and free every other one: holes, none of which
  // holds two of them.
  std::vector<void*> payloads = {heap.allocate(1000, 1)};
  space.refuseAll(true);
  while (void* payload = heap.allocate(1000, 1)) payloads.push_back(payload);
  for (std::size_t index = 0; index < payloads.size(); index += 2) heap.deallocate(payloads[index]);
  void* batch[4];
  ASSERT_EQ(heap.allocateBatch(1000, 1, batch, 4), 1u);
  EXPECT_EQ(batch[0], payloads[0]);
  EXPECT_EQ(violations(heap), "");
  EXPECT_EQ(heap.allocateBatch(4000, 1, batch, 4), 0u);
  EXPECT_EQ(violations(heap), "");
}

}  // namespace
}  // namespace velk::testing
