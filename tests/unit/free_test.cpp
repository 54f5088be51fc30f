// Freeing: merges with free neighbours in every combination, fragments absorbed, size queries,
// and pointers that are not the payload of an allocated Block.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

// Four allocated Blocks in a row at the start of a segment, the segment's free rest after them.
class FreeTest : public HeapTest {
 protected:
  void SetUp() override {
    for (void*& payload : row) {
      payload = heap.allocate(kPayload, kUnit);
      ASSERT_NE(payload, nullptr);
    }
    rest = Block::ofPayload(row[3])->successor();
  }
  Word unitsOf(void* payload) const { return Block::ofPayload(payload)->units(); }

  static constexpr std::size_t kPayload = 8 * kUnit;
  void* row[4] = {};
  Block* rest = nullptr;
};

TEST_F(FreeTest, BlockBetweenAllocatedNeighboursIsFiledAlone) {
  heap.deallocate(row[1]);
  EXPECT_EQ(heap.stats().freeBlocks, 2u);
  EXPECT_EQ(heap.bin(classOf(kPayload)).count, 1u);
  EXPECT_FALSE(Block::ofPayload(row[1])->isAllocated());
  EXPECT_HEAP_VALID(heap);
}

TEST_F(FreeTest, MergesBackwardsAndForwards) {
  heap.deallocate(row[0]);
  heap.deallocate(row[1]);  // backwards into row[0]
  EXPECT_EQ(unitsOf(row[0]), 2 * 8 + 2u);
  heap.deallocate(row[3]);  // forwards into the rest
  EXPECT_EQ(Block::ofPayload(row[3])->successor(), nullptr);
  EXPECT_EQ(heap.stats().freeBlocks, 2u);
  EXPECT_HEAP_VALID(heap);
}

TEST_F(FreeTest, BlockBetweenTwoFreeOnesJoinsBoth) {
  heap.deallocate(row[0]);
  heap.deallocate(row[2]);
  const std::size_t freeBefore = heap.stats().freeBlocks;
  heap.deallocate(row[1]);
  EXPECT_EQ(unitsOf(row[0]), 3 * 8 + 4u);  // three payloads and two headers
  EXPECT_EQ(heap.stats().freeBlocks, freeBefore - 1);
  EXPECT_EQ(Block::ofPayload(row[3])->prevBlock, Block::ofPayload(row[0]));
  EXPECT_HEAP_VALID(heap);
}

TEST_F(FreeTest, FreeingEverythingLeavesOneBlockPerSegment) {
  for (void* payload : {row[2], row[0], row[3], row[1]}) {
    heap.deallocate(payload);
    EXPECT_HEAP_VALID(heap);
  }
  EXPECT_EQ(heap.stats().freeBlocks, 1u);
  EXPECT_EQ(heap.stats().totalFree, unitsToBytes(freshBlockUnits(kMinSegmentSize)));
  EXPECT_EQ(heap.stats().allocBlocks, 0u);
  EXPECT_EQ(heap.stats().totalAlloc, 0u);
  EXPECT_EQ(heap.stats().numFrees, 4u);
}

TEST_F(FreeTest, FragmentInFrontIsAbsorbedWithoutTouchingTheBins) {
  // A one-unit remainder: too small to file, it stays behind the Block as a fragment.
  heap.deallocate(row[1]);
  void* shorter = heap.allocate(kPayload - 3 * kUnit, kUnit);
  ASSERT_EQ(shorter, row[1]);
  Block* fragment = Block::ofPayload(shorter)->successor();
  ASSERT_EQ(fragment->sizeAndFlag, 1u);
  const HeapStats before = heap.stats();
  heap.deallocate(row[2]);  // merges backwards into the fragment
  EXPECT_EQ(fragment->units(), 1 + 8 + 2u);
  EXPECT_EQ(heap.stats().freeBlocks, before.freeBlocks + 1);
  EXPECT_EQ(heap.stats().totalFree, before.totalFree + unitsToBytes(fragment->units()));
  EXPECT_HEAP_VALID(heap);
}

TEST_F(FreeTest, SizeQueryGivesTheWholePayload) {
  void* small = heap.allocate(10, 8);
  const std::ptrdiff_t size = heap.blockSize(small);
  EXPECT_GE(size, static_cast<std::ptrdiff_t>(kUnit == 4 ? 12 : 16));
  EXPECT_LE(size, static_cast<std::ptrdiff_t>(kUnit == 4 ? 16 : 24));
  EXPECT_EQ(heap.blockSize(nullptr), 0);
  int onTheStack = 0;
  EXPECT_EQ(heap.blockSize(&onTheStack), 0);
}

// Pointers inside a segment that are not the payload of an allocated Block change nothing.
TEST_F(FreeTest, InvalidPointersAreIgnored) {
  heap.deallocate(row[1]);
  std::memset(row[2], 0, kPayload);
  // A payload dressed up to look like a header: allocated, with a plausible size.
  Block* forged = Block::at(static_cast<char*>(row[2]) + 2 * kUnit);
  forged->sizeAndFlag = kAllocatedBit | 2;
  forged->prevBlock = Block::ofPayload(row[2]);
  const char* base = static_cast<char*>(row[2]);
  const std::vector<void*> invalid = {
      row[1],                                                  // freed already
      const_cast<char*>(base + kUnit),                         // inside a payload
      const_cast<char*>(base + 1),                             // unaligned
      const_cast<char*>(base - kHeaderSize),                   // a header
      forged->payload(),                                       // a forged header inside a payload
      reinterpret_cast<void*>(heap.segment(0).base),           // the segment's first word
      reinterpret_cast<void*>(heap.segment(0).end() - kUnit),  // the end marker
      rest->payload(),                                         // the free rest of the segment
  };
  const HeapStats before = heap.stats();
  for (void* pointer : invalid) {
    EXPECT_EQ(heap.blockSize(pointer), 0) << pointer;
    heap.deallocate(pointer);
    EXPECT_EQ(heap.stats().numFrees, before.numFrees) << pointer;
    EXPECT_EQ(heap.stats().allocBlocks, before.allocBlocks) << pointer;
    EXPECT_HEAP_VALID(heap);
  }
  heap.deallocate(row[2]);
  EXPECT_EQ(heap.stats().numFrees, before.numFrees + 1);
  EXPECT_HEAP_VALID(heap);
}

std::vector<void*>& foreignFrees() {
  static std::vector<void*> frees;
  return frees;
}

TEST(ForeignPointers, GoToTheRuntimeFreeUncounted) {
  foreignFrees().clear();
  FakeAddressSpace space;
  Heap heap(space, LockPlacement::RuntimeHeap, [](void* pointer) {
    foreignFrees().push_back(pointer);
    std::free(pointer);
  });
  void* ours = heap.allocate(32, 8);
  void* theirs = std::malloc(32);
  heap.deallocate(theirs);
  heap.deallocate(nullptr);
  EXPECT_EQ(foreignFrees(), std::vector<void*>{theirs});
  EXPECT_EQ(heap.stats().numFrees, 0u);
  heap.deallocate(ours);
  EXPECT_EQ(heap.stats().numFrees, 1u);
  EXPECT_HEAP_VALID(heap);
}

}  // namespace
}  // namespace velk::testing
