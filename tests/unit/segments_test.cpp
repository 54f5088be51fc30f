// Segments: sizes asked of the system, joins of touching segments, the table limit, refusals
// and the release walk.
#include <gtest/gtest.h>

#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

using SegmentsTest = HeapTest;

TEST_F(SegmentsTest, SmallRequestGetsTheLeastSegment) {
  ASSERT_TRUE(heap.addSegment(100, 4));
  ASSERT_EQ(space.handedOut().size(), 1u);
  EXPECT_EQ(space.handedOut()[0].size, kMinSegmentSize);
  EXPECT_EQ(heap.stats().totalSize, kMinSegmentSize);
  const Block* block = heap.segment(0).firstBlock();
  EXPECT_EQ(block->units(), freshBlockUnits(kMinSegmentSize));
  if constexpr (kUnit == 4) {
    EXPECT_EQ(block->units(), 4456445u);
  }
  EXPECT_EQ(block->prevBlock, nullptr);
  EXPECT_EQ(*heap.segment(0).endMarker(), kEndMarker);
  EXPECT_EQ(heap.stats().freeBlocks, 1u);
  EXPECT_EQ(heap.stats().totalFree, block->payloadBytes());
  EXPECT_HEAP_VALID(heap);
}

TEST_F(SegmentsTest, UpFrontSegmentIsRoundedToTheGranule) {
  ASSERT_TRUE(heap.addSegment(0x28000000, 16));
  EXPECT_EQ(space.handedOut()[0].size, 0x28010000u);
  const Block* block = heap.segment(0).firstBlock();
  EXPECT_EQ(block->payloadBytes(), 0x28010000u - kHeaderSize - kUnit);
  if constexpr (kUnit == 4) {
    EXPECT_EQ(block->payloadBytes(), 671154164u);
    EXPECT_EQ(heap.bin(1424).count, 1u);
  }
  EXPECT_HEAP_VALID(heap);
}

TEST_F(SegmentsTest, LargePageSizeBecomesTheGranule) {
  FakeAddressSpace largePages(FakeAddressSpace::kSmallestArena);
  largePages.setPageSize(0x200000);
  Heap pagedHeap(largePages);
  ASSERT_TRUE(pagedHeap.addSegment(100, 4));
  EXPECT_EQ(largePages.handedOut()[0].size, 0x1200000u);
}

TEST_F(SegmentsTest, RequestsThatCannotFitTheAddressRangeFailWithoutAsking) {
  EXPECT_FALSE(heap.addSegment(~std::size_t{0} - 8, 16));
  EXPECT_FALSE(heap.addSegment(~std::size_t{0} - 0x10000, 16));  // fits, but not once rounded
  EXPECT_EQ(space.requests(), 0u);
  EXPECT_EQ(heap.segmentCount(), 0);
}

TEST_F(SegmentsTest, RefusedRangeChangesNothing) {
  space.refuseAll(true);
  EXPECT_FALSE(heap.addSegment(100, 4));
  EXPECT_EQ(heap.segmentCount(), 0);
  EXPECT_EQ(heap.stats().totalSize, 0u);
  EXPECT_EQ(heap.allocate(100, 16), nullptr);
  EXPECT_EQ(heap.stats().numAllocs, 1u);
  EXPECT_HEAP_VALID(heap);
}

TEST_F(SegmentsTest, SegmentThatTouchesNothingStaysApart) {
  ASSERT_TRUE(heap.addSegment(100, 4));
  ASSERT_TRUE(heap.addSegment(100, 4));
  EXPECT_EQ(heap.segmentCount(), 2);
  EXPECT_EQ(heap.stats().freeBlocks, 2u);
  EXPECT_HEAP_VALID(heap);
}

TEST_F(SegmentsTest, FreeBlocksAcrossATouchingBoundaryBecomeOne) {
  ASSERT_TRUE(heap.addSegment(100, 4));
  space.placeNextTouchingLast();
  ASSERT_TRUE(heap.addSegment(100, 4));
  ASSERT_EQ(heap.segmentCount(), 1);
  EXPECT_EQ(heap.segment(0).base, space.arenaBase());
  EXPECT_EQ(heap.segment(0).size, 2 * kMinSegmentSize);
  // Both payloads, plus the absorbed end marker and header.
  const Block* joined = heap.segment(0).firstBlock();
  EXPECT_EQ(joined->payloadBytes(), 2 * unitsToBytes(freshBlockUnits(kMinSegmentSize)) + 3 * kUnit);
  EXPECT_EQ(joined->successor(), nullptr);
  EXPECT_EQ(heap.stats().freeBlocks, 1u);
  EXPECT_EQ(heap.stats().totalSize, 2 * kMinSegmentSize);
  EXPECT_HEAP_VALID(heap);
}

TEST_F(SegmentsTest, SegmentBelowAnAllocatedOneJoinsWithoutMerging) {
  space.placeNextAt(kMinSegmentSize);
  ASSERT_TRUE(heap.addSegment(100, 4));
  Block* upperFirst = allocateWholeBlock();
  ASSERT_NE(upperFirst, nullptr);
  space.placeNextAt(0);
  ASSERT_TRUE(heap.addSegment(100, 4));
  ASSERT_EQ(heap.segmentCount(), 1);
  EXPECT_EQ(heap.segment(0).base, space.arenaBase());
  const Block* lowerBlock = heap.segment(0).firstBlock();
  EXPECT_EQ(lowerBlock->units(), freshBlockUnits(kMinSegmentSize) + 1);
  EXPECT_EQ(upperFirst->prevBlock, lowerBlock);
  EXPECT_TRUE(upperFirst->isAllocated());
  EXPECT_HEAP_VALID(heap);
}

TEST_F(SegmentsTest, AllocatedLastBlockTakesTheEndMarkerWord) {
  ASSERT_TRUE(heap.addSegment(100, 4));
  Block* last = allocateWholeBlock();
  const std::size_t before = heap.stats().totalAlloc;
  const std::size_t peakBefore = heap.stats().peakAlloc;
  space.placeNextTouchingLast();
  ASSERT_TRUE(heap.addSegment(100, 4));
  ASSERT_EQ(heap.segmentCount(), 1);
  EXPECT_EQ(last->units(), freshBlockUnits(kMinSegmentSize) + 1);
  EXPECT_EQ(heap.stats().totalAlloc, before + kUnit);
  EXPECT_EQ(heap.stats().peakAlloc, peakBefore + kUnit);
  EXPECT_EQ(last->successor()->prevBlock, last);
  EXPECT_HEAP_VALID(heap);
}

TEST_F(SegmentsTest, ChainOfThreeBecomesOneSegment) {
  ASSERT_TRUE(heap.addSegment(100, 4));
  space.placeNextAt(2 * kMinSegmentSize);
  ASSERT_TRUE(heap.addSegment(100, 4));
  space.placeNextAt(kMinSegmentSize);
  ASSERT_TRUE(heap.addSegment(100, 4));
  ASSERT_EQ(heap.segmentCount(), 1);
  EXPECT_EQ(heap.segment(0).size, 3 * kMinSegmentSize);
  EXPECT_EQ(heap.segment(0).firstBlock()->payloadBytes(),
            3 * kMinSegmentSize - kHeaderSize - kUnit);
  EXPECT_EQ(heap.stats().freeBlocks, 1u);
  EXPECT_HEAP_VALID(heap);
}

TEST_F(SegmentsTest, JoinedSlotIsTheEarlierOneAndLaterEntriesMoveDown) {
  ASSERT_TRUE(heap.addSegment(100, 4));  // slot 0, offset 0
  space.placeNextAt(4 * kMinSegmentSize);
  ASSERT_TRUE(heap.addSegment(100, 4));  // slot 1, apart
  space.placeNextAt(8 * kMinSegmentSize);
  ASSERT_TRUE(heap.addSegment(100, 4));  // slot 2, apart
  space.placeNextAt(3 * kMinSegmentSize);
  ASSERT_TRUE(heap.addSegment(100, 4));  // touches slot 1 from below
  ASSERT_EQ(heap.segmentCount(), 3);
  EXPECT_EQ(heap.segment(1).base, space.arenaBase() + 3 * kMinSegmentSize);
  EXPECT_EQ(heap.segment(1).size, 2 * kMinSegmentSize);
  EXPECT_EQ(heap.segment(2).base, space.arenaBase() + 8 * kMinSegmentSize);
  EXPECT_HEAP_VALID(heap);
}

TEST_F(SegmentsTest, FullTableAsksTheSystemForNothing) {
  if constexpr (kUnit == 4) {
    GTEST_SKIP() << "256 least segments need more than a 32-bit address space";
  }
  for (std::size_t index = 0; index < kMaxSegments; ++index) ASSERT_TRUE(heap.addSegment(100, 4));
  const std::size_t requests = space.requests();
  EXPECT_FALSE(heap.addSegment(100, 4));
  EXPECT_EQ(space.requests(), requests);
  EXPECT_EQ(heap.segmentCount(), static_cast<int>(kMaxSegments));
  EXPECT_HEAP_VALID(heap);
}

TEST_F(SegmentsTest, FindSegmentCoversExactlyTheRange) {
  ASSERT_TRUE(heap.addSegment(100, 4));
  const Segment& segment = heap.segment(0);
  EXPECT_EQ(heap.findSegment(segment.base), &segment);
  EXPECT_EQ(heap.findSegment(segment.end() - 1), &segment);
  EXPECT_EQ(heap.findSegment(segment.end()), nullptr);
  EXPECT_EQ(heap.findSegment(segment.base - 1), nullptr);
}

// The release walk, over a segment joined from three system regions.
class ReleaseTest : public ::testing::Test {
 protected:
  void makeJoinedSegment(Heap& heap) {
    ASSERT_TRUE(heap.addSegment(100, 4));
    space.placeNextTouchingLast();
    ASSERT_TRUE(heap.addSegment(100, 4));
    space.placeNextTouchingLast();
    ASSERT_TRUE(heap.addSegment(100, 4));
    ASSERT_EQ(heap.segmentCount(), 1);
  }
  std::uintptr_t regionBase(std::size_t index) const { return space.handedOut()[index].base; }

  FakeAddressSpace space;
};

TEST_F(ReleaseTest, EveryRegionOfAJoinedSegmentIsReleased) {
  {
    Heap heap(space);
    makeJoinedSegment(heap);
  }
  EXPECT_EQ(space.releases(),
            (std::vector<std::uintptr_t>{regionBase(0), regionBase(1), regionBase(2)}));
  EXPECT_EQ(space.liveBytes(), 0u);
}

TEST_F(ReleaseTest, FailedQueryStopsTheWalk) {
  {
    Heap heap(space);
    makeJoinedSegment(heap);
    space.failQueryAt(regionBase(1));
  }
  EXPECT_EQ(space.releases(), (std::vector<std::uintptr_t>{regionBase(0)}));
}

TEST_F(ReleaseTest, RegionOfSizeZeroStopsTheWalk) {
  {
    Heap heap(space);
    makeJoinedSegment(heap);
    space.reportZeroSizeAt(regionBase(0));
  }
  EXPECT_TRUE(space.releases().empty());
}

}  // namespace
}  // namespace velk::testing
