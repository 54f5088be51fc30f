#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "tests/unit/heap_fixture.h"

namespace velk {
namespace {

// The engine fixture, with the few views these cases read again and again.
class ResizeInPlace : public testing::HeapTest {
 protected:
  const HeapStats& stats() { return heap.stats(); }
  std::size_t payloadOf(void* payload) { return static_cast<std::size_t>(heap.blockSize(payload)); }
  void expectValid() { EXPECT_HEAP_VALID(heap); }
};

constexpr std::size_t kSmall = 16 * kUnit;

TEST_F(ResizeInPlace, GrowsIntoTheFreeSuccessorAndFilesTheRest) {
  void* first = heap.allocate(kSmall, kUnit);
  void* second = heap.allocate(kSmall, kUnit);
  void* third = heap.allocate(kSmall, kUnit);
  heap.deallocate(second);
  const std::size_t freeBlocks = stats().freeBlocks;
  const std::size_t totalFree = stats().totalFree;

  ASSERT_TRUE(heap.resizeInPlace(first, kSmall + 4 * kUnit));
  EXPECT_EQ(payloadOf(first), kSmall + 4 * kUnit);
  EXPECT_EQ(stats().allocBlocks, 2u);
  EXPECT_EQ(stats().totalAlloc, 2 * kSmall + 4 * kUnit);
  // The freed second Block shrank by the growth; it is still one filed Block.
  EXPECT_EQ(stats().freeBlocks, freeBlocks);
  EXPECT_EQ(stats().totalFree, totalFree - 4 * kUnit);
  EXPECT_GE(stats().peakAlloc, stats().totalAlloc + kHeaderSize * stats().allocBlocks);
  expectValid();
  heap.deallocate(first);
  heap.deallocate(third);
  expectValid();
}

TEST_F(ResizeInPlace, GrowthThatLeavesLessThanAHeaderTakesTheWholeSuccessor) {
  void* first = heap.allocate(kSmall, kUnit);
  void* second = heap.allocate(kSmall, kUnit);
  void* third = heap.allocate(kSmall, kUnit);
  heap.deallocate(second);
  // The successor spans kSmall + a header; asking for all but one unit of it leaves no room for
  // a new header, so the Block takes the last unit too.
  ASSERT_TRUE(heap.resizeInPlace(first, 2 * kSmall + kHeaderSize - kUnit));
  EXPECT_EQ(payloadOf(first), 2 * kSmall + kHeaderSize);
  EXPECT_EQ(stats().totalAlloc, 3 * kSmall + kHeaderSize);
  expectValid();
  heap.deallocate(third);
  heap.deallocate(first);
  expectValid();
}

TEST_F(ResizeInPlace, RefusesWithoutChangeWhenTheSuccessorCannotSupplyTheRoom) {
  void* first = heap.allocate(kSmall, kUnit);
  void* second = heap.allocate(kSmall, kUnit);
  void* third = heap.allocate(kSmall, kUnit);
  const HeapStats before = stats();
  EXPECT_FALSE(heap.resizeInPlace(first, kSmall + kUnit));  // successor allocated
  heap.deallocate(second);
  const HeapStats freed = stats();
  EXPECT_FALSE(heap.resizeInPlace(first, 2 * kSmall + kHeaderSize + kUnit));  // too small
  EXPECT_EQ(payloadOf(first), kSmall);
  EXPECT_EQ(stats().totalAlloc, freed.totalAlloc);
  EXPECT_EQ(stats().totalFree, freed.totalFree);
  EXPECT_EQ(stats().freeBlocks, freed.freeBlocks);
  EXPECT_EQ(before.allocBlocks, freed.allocBlocks + 1);
  expectValid();
  heap.deallocate(first);
  heap.deallocate(third);
}

TEST_F(ResizeInPlace, ShrinkingBesideAnAllocatedBlockFilesTheTail) {
  void* first = heap.allocate(kSmall, kUnit);
  void* second = heap.allocate(kSmall, kUnit);
  const std::size_t freeBlocks = stats().freeBlocks;
  const std::size_t totalFree = stats().totalFree;
  ASSERT_TRUE(heap.resizeInPlace(first, kSmall - 6 * kUnit));
  EXPECT_EQ(payloadOf(first), kSmall - 6 * kUnit);
  EXPECT_EQ(stats().totalAlloc, 2 * kSmall - 6 * kUnit);
  EXPECT_EQ(stats().freeBlocks, freeBlocks + 1);
  EXPECT_EQ(stats().totalFree, totalFree + 4 * kUnit);  // six units less the new header
  expectValid();
  // Freeing the neighbour merges everything back into one Block.
  heap.deallocate(second);
  heap.deallocate(first);
  EXPECT_EQ(stats().freeBlocks, 1u);
  expectValid();
}

TEST_F(ResizeInPlace, ShrinkingByOneUnitKeepsTheBlockBesideAnAllocatedOne) {
  void* first = heap.allocate(kSmall, kUnit);
  void* second = heap.allocate(kSmall, kUnit);
  const HeapStats before = stats();
  ASSERT_TRUE(heap.resizeInPlace(first, kSmall - kUnit));
  EXPECT_EQ(payloadOf(first), kSmall);
  EXPECT_EQ(stats().totalAlloc, before.totalAlloc);
  EXPECT_EQ(stats().freeBlocks, before.freeBlocks);
  expectValid();
  heap.deallocate(second);
  heap.deallocate(first);
}

TEST_F(ResizeInPlace, ShrinkingBesideAFreeBlockMovesEvenASingleUnitOver) {
  void* first = heap.allocate(kSmall, kUnit);
  void* second = heap.allocate(kSmall, kUnit);
  void* third = heap.allocate(kSmall, kUnit);
  heap.deallocate(second);
  const std::size_t freeBlocks = stats().freeBlocks;
  const std::size_t totalFree = stats().totalFree;
  ASSERT_TRUE(heap.resizeInPlace(first, kSmall - kUnit));
  EXPECT_EQ(payloadOf(first), kSmall - kUnit);
  EXPECT_EQ(stats().totalAlloc, 2 * kSmall - kUnit);
  EXPECT_EQ(stats().freeBlocks, freeBlocks);
  EXPECT_EQ(stats().totalFree, totalFree + kUnit);
  expectValid();
  heap.deallocate(first);
  heap.deallocate(third);
  expectValid();
}

TEST_F(ResizeInPlace, RejectsPointersThatAreNoAllocatedPayload) {
  void* first = heap.allocate(kSmall, kUnit);
  void* second = heap.allocate(kSmall, kUnit);
  heap.deallocate(second);
  const HeapStats before = stats();
  int onTheStack = 0;
  EXPECT_FALSE(heap.resizeInPlace(nullptr, kSmall));
  EXPECT_FALSE(heap.resizeInPlace(&onTheStack, kSmall));
  EXPECT_FALSE(heap.resizeInPlace(second, kSmall));                        // freed
  EXPECT_FALSE(heap.resizeInPlace(static_cast<char*>(first) + kUnit, 8));  // inside a payload
  EXPECT_FALSE(heap.resizeInPlace(first, kMaxRequestSize + 1));
  EXPECT_EQ(stats().totalAlloc, before.totalAlloc);
  EXPECT_EQ(stats().totalFree, before.totalFree);
  expectValid();
  heap.deallocate(first);
}

TEST_F(ResizeInPlace, GrowthRaisesThePeakByTheCarveRule) {
  void* first = heap.allocate(kSmall, kUnit);
  const std::size_t peak = stats().peakAlloc;
  ASSERT_TRUE(heap.resizeInPlace(first, 4 * kSmall));
  EXPECT_EQ(stats().peakAlloc, peak + 3 * kSmall);
  EXPECT_EQ(stats().maxAllocBlockSize, 4 * kSmall);
  ASSERT_TRUE(heap.resizeInPlace(first, kSmall));
  EXPECT_EQ(stats().peakAlloc, peak + 3 * kSmall);
  heap.deallocate(first);
  expectValid();
}

// Random allocate, resize and free, with the heap checked after every step and each payload's
// contents checked after every resize that kept it in place. VELK_SEED replays a run.
TEST_F(ResizeInPlace, RandomSequencesKeepEveryInvariant) {
  std::uint32_t seed = std::random_device{}();
  if (const char* fixed = std::getenv("VELK_SEED"))
    seed = std::uint32_t(std::strtoul(fixed, 0, 10));
  std::printf("resize sequence seed %u (replay with VELK_SEED=%u)\n", seed, seed);
  std::mt19937 random(seed);
  struct Live {
    unsigned char* payload;
    std::size_t size;
    unsigned char fill;
  };
  std::vector<Live> live;
  auto sizeFrom = [&](std::uint32_t roll) -> std::size_t {
    return roll % 8 == 0 ? random() % 70000 : random() % 600;
  };
  auto contentsIntact = [](const Live& entry) {
    for (std::size_t i = 0; i < entry.size; ++i)
      if (entry.payload[i] != entry.fill) return false;
    return true;
  };
  for (int step = 0; step < 3000; ++step) {
    const auto roll = static_cast<std::uint32_t>(random());
    if (live.empty() || roll % 3 == 0) {
      const std::size_t size = sizeFrom(roll >> 8);
      const std::size_t align = roll % 5 == 0 ? std::size_t{1} << (random() % 8) : kUnit;
      auto* payload = static_cast<unsigned char*>(heap.allocate(size, align));
      ASSERT_NE(payload, nullptr);
      const auto fill = static_cast<unsigned char>(step);
      std::memset(payload, fill, size);
      live.push_back({payload, size, fill});
    } else if (roll % 3 == 1) {
      Live& entry = live[random() % live.size()];
      const std::size_t size = sizeFrom(roll >> 8);
      const std::size_t before = payloadOf(entry.payload);
      if (heap.resizeInPlace(entry.payload, size)) {
        ASSERT_GE(payloadOf(entry.payload), size) << "step " << step;
        if (size < entry.size) entry.size = size;
        ASSERT_TRUE(contentsIntact(entry)) << "step " << step;
        std::memset(entry.payload, entry.fill, size);
        entry.size = size;
      } else {
        ASSERT_GT(size, before) << "shrinking never fails, step " << step;
        ASSERT_EQ(payloadOf(entry.payload), before) << "step " << step;
      }
    } else {
      const std::size_t index = random() % live.size();
      ASSERT_TRUE(contentsIntact(live[index])) << "step " << step;
      heap.deallocate(live[index].payload);
      live[index] = live.back();
      live.pop_back();
    }
    testing::violationLog().clear();
    ASSERT_EQ(heap.validate(testing::collectViolation), 0u)
        << "step " << step << ", seed " << seed << "\n"
        << testing::violationLog();
  }
  for (const Live& entry : live) heap.deallocate(entry.payload);
  EXPECT_EQ(stats().allocBlocks, 0u);
  EXPECT_EQ(stats().totalAlloc, 0u);
  expectValid();
}

}  // namespace
}  // namespace velk
