// Allocation: the figures of carving, alignment gaps, splitting, the catch-all bin, and growth
// by exactly one segment for requests of every size.
#include <gtest/gtest.h>

#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

using AllocateTest = HeapTest;

// An alignment whose first payload in a fresh segment is two units short: 16 in the 32-bit heap.
constexpr std::size_t kTwoShortAlign = 2 * kHeaderSize;

TEST_F(AllocateTest, FirstAllocationOfAFreshSegmentHasExactFigures) {
  ASSERT_TRUE(heap.addSegment(100, 4));
  const std::uintptr_t base = heap.segment(0).base;
  const Word units = freshBlockUnits(kMinSegmentSize);
  const std::size_t rsize = (100 + kUnit - 1) / kUnit * kUnit;

  void* payload = heap.allocate(100, kTwoShortAlign);
  ASSERT_EQ(addressOf(payload), base + 2 * kHeaderSize);
  // A fragment of no payload stays at the base, unfiled.
  const Block* fragment = Block::at(base);
  EXPECT_EQ(fragment->sizeAndFlag, 0u);
  const Block* carved = Block::ofPayload(payload);
  EXPECT_EQ(carved->sizeAndFlag, kAllocatedBit | (rsize / kUnit));
  EXPECT_EQ(carved->prevBlock, fragment);
  const Block* rest = carved->successor();
  EXPECT_EQ(addressOf(rest), addressOf(payload) + rsize);
  EXPECT_EQ(rest->units(), units - 2 - rsize / kUnit - 2);
  EXPECT_EQ(rest->prevBlock, carved);

  const HeapStats& stats = heap.stats();
  EXPECT_EQ(stats.allocBlocks, 1u);
  EXPECT_EQ(stats.totalAlloc, rsize);
  EXPECT_EQ(stats.peakAlloc, rsize + kHeaderSize);
  EXPECT_EQ(stats.maxAllocBlockSize, rsize);
  EXPECT_EQ(stats.freeBlocks, 1u);
  EXPECT_EQ(stats.totalFree, unitsToBytes(rest->units()));
  if constexpr (kUnit == 4) {
    EXPECT_EQ(addressOf(payload), base + 16);
    EXPECT_EQ(carved->units(), 25u);
    EXPECT_EQ(addressOf(rest), base + 116);
    EXPECT_EQ(rest->units(), units - 29);
    EXPECT_EQ(stats.peakAlloc, 108u);
  }
  EXPECT_HEAP_VALID(heap);

  // Freeing it gives back one Block of the segment's whole payload: the fragment absorbs the
  // Block, then the remainder.
  heap.deallocate(payload);
  EXPECT_EQ(fragment->sizeAndFlag, units);
  EXPECT_EQ(stats.freeBlocks, 1u);
  EXPECT_EQ(stats.totalFree, unitsToBytes(units));
  EXPECT_EQ(stats.allocBlocks, 0u);
  EXPECT_EQ(stats.totalAlloc, 0u);
  EXPECT_EQ(stats.numAllocs, 1u);
  EXPECT_EQ(stats.numFrees, 1u);
  EXPECT_HEAP_VALID(heap);
}

TEST_F(AllocateTest, SmallRequestOnAnEmptyHeapAddsOneLeastSegment) {
  void* payload = heap.allocate(100, 16);
  ASSERT_NE(payload, nullptr);
  EXPECT_EQ(addressOf(payload) % 16, 0u);
  EXPECT_EQ(space.requests(), 1u);
  EXPECT_EQ(space.handedOut()[0].size, kMinSegmentSize);
  EXPECT_EQ(heap.stats().numAllocs, 1u);
  EXPECT_HEAP_VALID(heap);
}

TEST_F(AllocateTest, TinyRequestsAreServedAsOneUnit) {
  for (std::size_t size : {0u, 1u}) {
    void* payload = heap.allocate(size, size);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(addressOf(payload) % kUnit, 0u);
    EXPECT_EQ(heap.blockSize(payload), static_cast<std::ptrdiff_t>(kUnit));
  }
  EXPECT_HEAP_VALID(heap);
}

TEST_F(AllocateTest, ArgumentsOutOfRangeAreRefusedUncounted) {
  EXPECT_EQ(heap.allocate(kMaxRequestSize + 1, 4), nullptr);
  EXPECT_EQ(heap.allocate(16, 2 * kMaxAlign), nullptr);
  EXPECT_EQ(heap.stats().numAllocs, 0u);
  EXPECT_EQ(space.requests(), 0u);
  // The largest size passes the checks and fails only for lack of space.
  EXPECT_EQ(heap.allocate(kMaxRequestSize, 4), nullptr);
  EXPECT_EQ(heap.stats().numAllocs, 1u);
  if constexpr (kUnit == 4) {
    EXPECT_EQ(kMaxRequestSize, 0xFFF00000u);
  }
  EXPECT_HEAP_VALID(heap);
}

TEST_F(AllocateTest, OneUnitGapGoesToTheAllocatedBlockBefore) {
  ASSERT_TRUE(heap.addSegment(100, 4));
  const std::uintptr_t base = heap.segment(0).base;
  // Three units at the base leave the next payload one unit short of a four-unit alignment.
  void* first = heap.allocate(3 * kUnit, kUnit);
  ASSERT_EQ(addressOf(first), base + kHeaderSize);
  const std::size_t totalBefore = heap.stats().totalAlloc;

  void* second = heap.allocate(40, 4 * kUnit);
  ASSERT_EQ(addressOf(second) % (4 * kUnit), 0u);
  EXPECT_EQ(addressOf(second), base + 8 * kUnit);
  EXPECT_EQ(heap.blockSize(first), static_cast<std::ptrdiff_t>(4 * kUnit));
  EXPECT_EQ(Block::ofPayload(second)->prevBlock, Block::ofPayload(first));
  EXPECT_EQ(heap.stats().totalAlloc, totalBefore + kUnit + 40);
  EXPECT_HEAP_VALID(heap);

  // The gift stays counted with the Block that received it.
  heap.deallocate(second);
  EXPECT_EQ(heap.stats().totalAlloc, totalBefore + kUnit);
  EXPECT_HEAP_VALID(heap);
}

TEST_F(AllocateTest, BlockOneUnitLargerIsTakenWhole) {
  void* before = heap.allocate(64, kUnit);
  void* hole = heap.allocate(5 * kUnit, kUnit);
  void* after = heap.allocate(64, kUnit);
  heap.deallocate(hole);
  void* exact = heap.allocate(4 * kUnit, kUnit);
  EXPECT_EQ(exact, hole);
  EXPECT_EQ(heap.blockSize(exact), static_cast<std::ptrdiff_t>(5 * kUnit));
  EXPECT_EQ(heap.stats().totalAlloc, 128 + 5 * kUnit);
  EXPECT_HEAP_VALID(heap);
  heap.deallocate(before);
  heap.deallocate(after);
  heap.deallocate(exact);
  EXPECT_HEAP_VALID(heap);
}

TEST_F(AllocateTest, BlockFiledBelowTheSearchClassIsPassedOver) {
  // 516 bytes (1032 in the 64-bit heap) lies between two class bounds: filed in the lower
  // class, it cannot serve a request of its own size, which searches from the upper one.
  constexpr std::size_t between = kUnit == 4 ? 516 : 1032;
  ASSERT_LT(kClassBound[classOf(between)], between);
  void* hole = heap.allocate(between, kUnit);
  void* guard = heap.allocate(8, kUnit);
  heap.deallocate(hole);
  EXPECT_EQ(heap.bin(classOf(between)).count, 1u);
  void* served = heap.allocate(between, kUnit);
  EXPECT_NE(served, hole);
  EXPECT_EQ(heap.bin(classOf(between)).count, 1u);
  if constexpr (kUnit == 4) {
    EXPECT_EQ(classOf(516), 128u);
  }
  heap.deallocate(guard);
  heap.deallocate(served);
  EXPECT_HEAP_VALID(heap);
}

TEST_F(AllocateTest, AlignmentsAreKeptAndNonPowersOfTwoRoundUp) {
  for (std::size_t align = 1; align <= kMaxAlign; align *= 2) {
    void* payload = heap.allocate(24, align);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(addressOf(payload) % (align < kUnit ? kUnit : align), 0u) << align;
    EXPECT_HEAP_VALID(heap);
  }
  void* odd = heap.allocate(24, 48);
  EXPECT_EQ(addressOf(odd) % 64, 0u);
  EXPECT_HEAP_VALID(heap);
}

// The catch-all bin: only requests above 1 GiB walk it, and each such search counts once.
TEST_F(AllocateTest, CatchAllSearchesAreCounted) {
  const std::size_t gib = std::size_t{1} << 30;
  if (space.arenaSize() < gib + 2 * kSegmentGranularity) GTEST_SKIP() << "no room for 1 GiB here";
  void* huge = heap.allocate(gib + 64, kUnit);
  ASSERT_NE(huge, nullptr);
  EXPECT_EQ(space.requests(), 1u);
  EXPECT_EQ(heap.stats().slowBucket, 1u);  // the search after growth walked the fresh Block
  heap.deallocate(huge);

  // Exactly 1 GiB takes the ordinary path: every Block of the catch-all bin holds it.
  void* exact = heap.allocate(gib, kUnit);
  ASSERT_NE(exact, nullptr);
  EXPECT_EQ(heap.stats().slowBucket, 1u);
  heap.deallocate(exact);

  // A walk that finds nothing large enough still counts, and growth is then refused.
  space.refuseAll(true);
  EXPECT_EQ(heap.allocate(gib + 2 * kMinSegmentSize, kUnit), nullptr);
  EXPECT_EQ(heap.stats().slowBucket, 2u);
  EXPECT_HEAP_VALID(heap);
}

// Growth serves a request of any size with one new segment: the fresh Block lands in the class
// the search starts from. Checked across sizes from the least segment to beyond 1 GiB.
TEST(Growth, EveryRequestSizeIsServedByOneNewSegment) {
  std::vector<std::size_t> sizes = {0x1400004, 17563648, 17563649, 17825792, 0x3FF00000};
  const std::size_t ceiling = kUnit == 4 ? 0x3FF00000 : std::size_t{3} << 30;
  for (std::size_t size = 0x10C0000; size < ceiling; size += size / 7 + 4) sizes.push_back(size);
  for (std::size_t size : sizes) {
    for (std::size_t align : {std::size_t{4}, std::size_t{16}, std::size_t{4096}}) {
      FakeAddressSpace space;
      if (space.arenaSize() < size + 2 * kSegmentGranularity) continue;
      Heap heap(space);
      void* payload = heap.allocate(size, align);
      ASSERT_NE(payload, nullptr) << size << " / " << align;
      EXPECT_EQ(space.requests(), 1u) << size << " / " << align;
      EXPECT_EQ(addressOf(payload) % align, 0u);
      EXPECT_GE(heap.blockSize(payload), static_cast<std::ptrdiff_t>(size));
      EXPECT_HEAP_VALID(heap);
    }
  }
}

}  // namespace
}  // namespace velk::testing
