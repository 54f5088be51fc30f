// Filing order of the bins, their counters and bitmap bits.
#include <gtest/gtest.h>

#include <vector>

#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

// Free Blocks laid by hand at chosen offsets of a scratch area; the bins only read their headers.
// Offsets are named as in the 32-bit heap and scaled with the unit, so Blocks stay aligned.
class BinsTest : public HeapTest {
 protected:
  static constexpr std::size_t kScale = kUnit / 4;

  static constexpr std::size_t kPayload = 32;  // class 8, with room for the links in both widths

  Block* freeBlockAt(std::size_t offset, std::size_t payload = kPayload) {
    Block* block = Block::at(scratch + offset * kScale);
    block->sizeAndFlag = payload / kUnit;
    block->prevBlock = nullptr;
    return block;
  }
  std::size_t offsetOf(const Block* block) const {
    return (addressOf(block) - addressOf(scratch)) / kScale;
  }
  std::vector<std::size_t> listOf(std::size_t sizeClass) const {
    std::vector<std::size_t> offsets;
    for (Block* block = heap.bin(sizeClass).head; block != nullptr; block = block->nextFree) {
      offsets.push_back(offsetOf(block));
    }
    return offsets;
  }
  bool bitSet(std::size_t sizeClass) const {
    return (heap.bitmapWord(sizeClass / 32) >> (sizeClass % 32) & 1u) != 0;
  }

  alignas(16) char scratch[2048] = {};
  const std::size_t sizeClass = classOf(kPayload);
};

TEST_F(BinsTest, BlockGoesToTheFrontOnlyWhenBelowTheHead) {
  heap.insertFree(freeBlockAt(400));
  heap.insertFree(freeBlockAt(200));
  heap.insertFree(freeBlockAt(300));
  EXPECT_EQ(listOf(sizeClass), (std::vector<std::size_t>{200, 400, 300}));
  EXPECT_EQ(offsetOf(heap.bin(sizeClass).head), 200u);
  EXPECT_EQ(offsetOf(heap.bin(sizeClass).tail), 300u);
  EXPECT_EQ(heap.bin(sizeClass).count, 3u);
}

TEST_F(BinsTest, RemovingTheHeadLeavesTheTailWhereItWas) {
  Block* lowest = freeBlockAt(40);
  heap.insertFree(lowest);
  heap.insertFree(freeBlockAt(200));
  heap.insertFree(freeBlockAt(120));
  heap.removeFree(lowest);
  EXPECT_EQ(offsetOf(heap.bin(sizeClass).head), 200u);
  EXPECT_EQ(offsetOf(heap.bin(sizeClass).tail), 120u);
}

TEST_F(BinsTest, LowestBlockCanStandInTheMiddleAndIsNotTakenFirst) {
  Block* first = freeBlockAt(400);
  heap.insertFree(first);
  heap.insertFree(freeBlockAt(480));
  heap.insertFree(freeBlockAt(440));
  heap.removeFree(first);
  heap.insertFree(freeBlockAt(520));
  EXPECT_EQ(listOf(sizeClass), (std::vector<std::size_t>{480, 440, 520}));
  // A search takes the lower of head and tail, not the lowest Block of the bin.
  EXPECT_EQ(offsetOf(heap.findFree(kPayload, kUnit)), 480u);
}

TEST_F(BinsTest, CountersAndBitmapFollowTheBin) {
  Block* a = freeBlockAt(0);
  Block* b = freeBlockAt(200);
  heap.insertFree(a);
  EXPECT_TRUE(bitSet(sizeClass));
  heap.insertFree(b);
  EXPECT_EQ(heap.stats().freeBlocks, 2u);
  EXPECT_EQ(heap.stats().totalFree, 2 * kPayload);
  heap.removeFree(a);
  EXPECT_TRUE(bitSet(sizeClass));
  heap.removeFree(b);
  EXPECT_FALSE(bitSet(sizeClass));
  EXPECT_EQ(heap.bin(sizeClass).head, nullptr);
  EXPECT_EQ(heap.bin(sizeClass).tail, nullptr);
  EXPECT_EQ(heap.stats().freeBlocks, 0u);
  EXPECT_EQ(heap.stats().totalFree, 0u);
}

TEST_F(BinsTest, FragmentsAreNeverFiled) {
  for (std::size_t units = 0; units < kLeastFiledUnits; ++units) {
    Block* fragment = freeBlockAt(0, units * kUnit);
    heap.insertFree(fragment);
    heap.removeFree(fragment);
  }
  heap.insertFree(freeBlockAt(0, kUnit));
  EXPECT_EQ(heap.stats().freeBlocks, 0u);
  EXPECT_EQ(heap.stats().totalFree, 0u);
  for (std::size_t word = 0; word < kBitmapWords; ++word) EXPECT_EQ(heap.bitmapWord(word), 0u);
}

TEST_F(BinsTest, SearchSkipsEmptyClassesThroughTheBitmap) {
  // Two Blocks in classes far apart, in different bitmap words: the search from below takes the
  // nearest class at or above its start, never one below it.
  heap.insertFree(freeBlockAt(0, 64));
  heap.insertFree(freeBlockAt(512, 256));
  EXPECT_EQ(offsetOf(heap.findFree(72, kUnit)), 512u);
  EXPECT_EQ(heap.findFree(72, kUnit), nullptr);
  EXPECT_EQ(offsetOf(heap.findFree(8, kUnit)), 0u);
}

}  // namespace
}  // namespace velk::testing
