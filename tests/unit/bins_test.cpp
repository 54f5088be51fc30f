// Size classes, and the filing order, counters and bitmap of the bins.
#include <vector>

#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

// Filing takes the largest class whose bound is at most the size, searching the smallest whose
// bound is at least it, or the catch-all class of everything from 1 GiB up: for every size a few
// MiB up, and on both sides of every bound.
TEST(SizeClasses, FilingRoundsDownAndSearchingRoundsUp) {
  std::vector<std::size_t> sizes = {0xFFFFFFF0u};
  for (std::size_t bytes = 4; bytes <= (4u << 20); bytes += 4) sizes.push_back(bytes);
  for (std::size_t c = 2; c < kNumBins; ++c) {
    for (std::size_t bytes = kClassBound[c] - 4; bytes <= kClassBound[c] + 4; bytes += 4) {
      sizes.push_back(bytes);
    }
  }
  for (std::size_t bytes : sizes) {
    const std::size_t filed = classOf(bytes), searched = searchClassOf(bytes);
    ASSERT_TRUE(kClassBound[filed] <= bytes &&
                (filed == kCatchAllBin || bytes < kClassBound[filed + 1]))
        << bytes;
    ASSERT_TRUE(kClassBound[searched - 1] < bytes &&
                (searched == kCatchAllBin || bytes <= kClassBound[searched]))
        << bytes;
  }
}

// Free Blocks laid by hand in a scratch area at offsets named as in the 32-bit heap and scaled
// with the unit; "-N" takes the Block at N out again.
class BinsTest : public HeapTest {
 protected:
  Block* at(long offset, std::size_t payload = 32) {
    Block* block = Block::at(scratch + static_cast<std::size_t>(offset) * (kUnit / 4));
    block->sizeAndFlag = payload / kUnit;
    block->prevBlock = nullptr;
    return block;
  }
  long offsetOf(const Block* block) const {
    return static_cast<long>((addressOf(block) - addressOf(scratch)) / (kUnit / 4));
  }
  void TearDown() override {}  // the scratch Blocks belong to no segment

  alignas(16) char scratch[2048] = {};
};

TEST_F(BinsTest, ListOrderCountersAndBitmap) {
  const struct {
    std::vector<long> steps;
    std::vector<long> list;
    long found;  // the Block a search takes: the lower of head and tail
  } cases[] = {
      {{400, 200, 300}, {200, 400, 300}, 200},
      {{40, 200, 120, -40}, {200, 120}, 120},
      {{400, 480, 440, -400, 520}, {480, 440, 520}, 480},
  };
  const std::size_t sizeClass = classOf(32);
  for (const auto& c : cases) {
    for (long step : c.steps) step < 0 ? heap.removeFree(at(-step)) : heap.insertFree(at(step));
    std::vector<long> list;
    for (Block* block = heap.bin(sizeClass).head; block != nullptr; block = block->nextFree) {
      list.push_back(offsetOf(block));
    }
    EXPECT_EQ(list, c.list);
    EXPECT_EQ(offsetOf(heap.bin(sizeClass).tail), c.list.back());
    EXPECT_EQ(heap.bin(sizeClass).count, c.list.size());
    EXPECT_EQ(heap.stats().freeBlocks, c.list.size());
    EXPECT_EQ(heap.stats().totalFree, 32 * c.list.size());
    EXPECT_EQ(heap.bitmapWord(sizeClass / 32), 1u << sizeClass % 32);
    EXPECT_EQ(offsetOf(heap.findFree(32, kUnit)), c.found);
    for (long offset : c.list) {
      if (offset != c.found) heap.removeFree(at(offset));
    }
    EXPECT_EQ(heap.bin(sizeClass).head, nullptr);
    EXPECT_EQ(heap.bin(sizeClass).tail, nullptr);
    EXPECT_EQ(heap.bitmapWord(sizeClass / 32), 0u);
    EXPECT_EQ(heap.stats().totalFree, 0u);
  }
}

TEST_F(BinsTest, FragmentsAreNeverFiledAndSearchesSkipEmptyClasses) {
  for (std::size_t units = 0; units < kLeastFiledUnits; ++units) {
    heap.insertFree(at(0, units * kUnit));
    heap.removeFree(at(0, units * kUnit));
  }
  heap.insertFree(at(0, kUnit));
  EXPECT_EQ(heap.stats().freeBlocks, 0u);
  for (std::size_t word = 0; word < kBitmapWords; ++word) EXPECT_EQ(heap.bitmapWord(word), 0u);
  // Two Blocks in classes of different bitmap words: a search takes the nearest class at or
  // above its start, never one below.
  heap.insertFree(at(0, 64));
  heap.insertFree(at(512, 256));
  EXPECT_EQ(offsetOf(heap.findFree(72, kUnit)), 512);
  EXPECT_EQ(heap.findFree(72, kUnit), nullptr);
  EXPECT_EQ(offsetOf(heap.findFree(8, kUnit)), 0);
}

}  // namespace
}  // namespace velk::testing
