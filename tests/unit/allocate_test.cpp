// Worked examples of allocating, freeing and resizing, figure by figure.
#include <algorithm>
#include <bit>
#include <vector>

#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

// The first allocation of a fresh segment at S: in the 32-bit heap a fragment of no payload stays
// at S, the Block sits at S + 8 with 25 units, the rest at S + 116; the 64-bit heap needs no gap.
TEST_F(HeapTest, FirstAllocationOfAFreshSegment) {
  ASSERT_TRUE(heap.addSegment(100, 4));
  const std::uintptr_t base = heap.segment(0).base;
  void* payload = heap.allocate(100, 16);
  ASSERT_EQ(addressOf(payload), base + 16);
  const Block* block = Block::ofPayload(payload);
  EXPECT_EQ(block->sizeAndFlag, kAllocatedBit | w(25, 13));
  EXPECT_EQ(addressOf(block->prevBlock), w(base, 0));
  EXPECT_EQ(addressOf(block->successor()), base + w(116, 120));
  EXPECT_EQ(block->successor()->units(), kLeastUnits - w(29, 15));
  const HeapStats& stats = heap.stats();
  EXPECT_EQ(stats.allocBlocks, 1u);
  EXPECT_EQ(stats.totalAlloc, w(100, 104));
  EXPECT_EQ(stats.peakAlloc, w(108, 120));
  EXPECT_EQ(stats.maxAllocBlockSize, w(100, 104));
  EXPECT_EQ(stats.freeBlocks, 1u);
  EXPECT_EQ(stats.totalFree, unitsToBytes(kLeastUnits - w(29, 15)));
  EXPECT_EQ(stats.numAllocs, 1u);
  EXPECT_EQ(violations(heap), "");
  // Freed, it merges back into one Block of the whole segment at S.
  heap.deallocate(payload);
  EXPECT_EQ(heap.segment(0).firstBlock()->sizeAndFlag, kLeastUnits);
  EXPECT_EQ(stats.freeBlocks, 1u);
  EXPECT_EQ(stats.totalFree, unitsToBytes(kLeastUnits));
  EXPECT_EQ(stats.totalAlloc, 0u);
  EXPECT_EQ(stats.peakAlloc, w(108, 120));
  EXPECT_EQ(stats.numFrees, 1u);
}

// Edge cases of a fresh heap: what each request gets and what it counts.
TEST(Allocate, RequestsOnAFreshHeap) {
  const struct {
    std::size_t size, align;
    bool served;
    std::size_t least, most;  // of the payload's size
    std::uint64_t counted;    // in numAllocs
  } cases[] = {
      {0, 0, true, kUnit, kUnit, 1},  // one unit, aligned to a unit
      {1, 1, true, kUnit, kUnit, 1},
      {10, 8, true, w(12, 16), w(16, 24), 1},
      {24, 48, true, 24, 24 + kUnit, 1},  // an alignment of 64
      {100, kMaxAlign, true, w(100, 104), w(104, 112), 1},
      {kMaxRequestSize + 1, 4, false, 0, 0, 0},
      {16, 2 * kMaxAlign, false, 0, 0, 0},
      {kMaxRequestSize, 4, false, 0, 0, 1},  // accepted, then no room for it
  };
  for (const auto& c : cases) {
    FakeAddressSpace space;
    Heap heap(space);
    void* payload = heap.allocate(c.size, c.align);
    EXPECT_EQ(payload != nullptr, c.served) << c.size;
    EXPECT_EQ(heap.stats().numAllocs, c.counted) << c.size;
    EXPECT_EQ(space.requests(), c.counted) << c.size;
    if (!c.served) continue;
    EXPECT_EQ(addressOf(payload) % std::max(kUnit, std::bit_ceil(c.align)), 0u) << c.size;
    EXPECT_GE(heap.blockSize(payload), static_cast<std::ptrdiff_t>(c.least)) << c.size;
    EXPECT_LE(heap.blockSize(payload), static_cast<std::ptrdiff_t>(c.most)) << c.size;
    EXPECT_EQ(space.handedOut()[0].size, kMinSegmentSize);
    EXPECT_EQ(violations(heap), "");
  }
}

// A free Block whose payload starts one unit short of the alignment: the unit goes to the
// allocated Block in front, and stays counted with it.
TEST_F(HeapTest, OneUnitGapGoesToTheBlockInFront) {
  ASSERT_TRUE(heap.addSegment(100, 4));
  const std::uintptr_t base = heap.segment(0).base;
  void* first = heap.allocate(3 * kUnit, kUnit);
  ASSERT_EQ(addressOf(first), base + kHeaderSize);
  void* second = heap.allocate(40, 4 * kUnit);
  EXPECT_EQ(addressOf(second), base + 8 * kUnit);
  EXPECT_EQ(heap.blockSize(first), static_cast<std::ptrdiff_t>(4 * kUnit));
  EXPECT_EQ(Block::ofPayload(second)->prevBlock, Block::ofPayload(first));
  EXPECT_EQ(heap.stats().totalAlloc, 4 * kUnit + 40);
  EXPECT_EQ(heap.stats().peakAlloc, 4 * kUnit + 40 + 2 * kHeaderSize);
  heap.deallocate(second);
  EXPECT_EQ(heap.stats().totalAlloc, 4 * kUnit);
}

// Holes reused: a Block one unit larger than the request is taken whole; a Block filed below the
// class a request searches from (516 bytes in the 32-bit heap) is passed over.
TEST_F(HeapTest, HolesAreReusedByClass) {
  const struct {
    std::size_t hole, request;
    bool reused;
    std::size_t payload;
  } cases[] = {{5 * kUnit, 4 * kUnit, true, 5 * kUnit},
               {6 * kUnit, 4 * kUnit, true, 4 * kUnit},
               {w(516, 1032), w(516, 1032), false, w(516, 1032)}};
  for (const auto& c : cases) {
    void* before = heap.allocate(64, kUnit);
    void* hole = heap.allocate(c.hole, kUnit);
    void* after = heap.allocate(64, kUnit);
    heap.deallocate(hole);
    const std::size_t totalAlloc = heap.stats().totalAlloc;
    void* served = heap.allocate(c.request, kUnit);
    EXPECT_EQ(served == hole, c.reused) << c.hole;
    EXPECT_EQ(heap.blockSize(served), static_cast<std::ptrdiff_t>(c.payload)) << c.hole;
    EXPECT_EQ(heap.stats().totalAlloc, totalAlloc + c.payload) << c.hole;
    EXPECT_EQ(heap.bin(classOf(c.hole)).count, c.reused ? 0u : 1u) << c.hole;
    for (void* payload : {before, after, served}) heap.deallocate(payload);
  }
}

// Only requests above 1 GiB walk the catch-all bin, and each such search counts once, also one
// that finds nothing.
TEST_F(HeapTest, CatchAllSearchesAreCounted) {
  const std::size_t gib = std::size_t{1} << 30;
  if (space.arenaSize() < gib + 2 * kSegmentGranularity) GTEST_SKIP() << "no room for 1 GiB";
  void* huge = heap.allocate(gib + 64, kUnit);
  ASSERT_NE(huge, nullptr);
  EXPECT_EQ(space.requests(), 1u);
  EXPECT_EQ(heap.stats().slowBucket, 1u);
  heap.deallocate(huge);
  heap.deallocate(heap.allocate(gib, kUnit));
  EXPECT_EQ(heap.stats().slowBucket, 1u);
  space.refuseAll(true);
  EXPECT_EQ(heap.allocate(gib + 2 * kMinSegmentSize, kUnit), nullptr);
  EXPECT_EQ(heap.stats().slowBucket, 2u);
}

// Growth serves a request of any size with one new segment: the fresh Block lands in the class
// the search starts from.
TEST(Allocate, EveryRequestSizeIsServedByOneNewSegment) {
  std::vector<std::size_t> sizes = {0x1400004, 17563648, 17563649, 17825792, 0x3FF00000};
  for (std::size_t size = 0x10C0000; size < w(0x3FF00000, std::size_t{3} << 30);
       size += size / 7 + 4) {
    sizes.push_back(size);
  }
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
      EXPECT_EQ(violations(heap), "");
    }
  }
}

// Four allocated Blocks of eight units at the start of a segment, freed in each order: merges
// backwards, forwards and both ways at once.
TEST(Free, MergesWithFreeNeighbours) {
  const struct {
    std::vector<int> freed;
    int probe;
    Word units;  // of the free Block that now holds the probe's Block
    std::size_t freeBlocks;
  } cases[] = {{{1}, 1, 8, 2},
               {{0, 1}, 0, 18, 2},
               {{0, 2, 1}, 0, 28, 2},
               {{3}, 3, kLeastUnits - 3 * 10, 1},
               {{2, 0, 3, 1}, 0, kLeastUnits, 1}};
  for (const auto& c : cases) {
    FakeAddressSpace space;
    Heap heap(space);
    void* row[4];
    for (void*& payload : row) payload = heap.allocate(8 * kUnit, kUnit);
    for (int index : c.freed) heap.deallocate(row[index]);
    EXPECT_EQ(Block::ofPayload(row[c.probe])->sizeAndFlag, c.units) << c.freed.size();
    EXPECT_EQ(heap.stats().freeBlocks, c.freeBlocks);
    EXPECT_EQ(heap.stats().numFrees, c.freed.size());
    EXPECT_EQ(violations(heap), "");
  }
}

TEST_F(HeapTest, FragmentIsAbsorbedWithoutTouchingTheBins) {
  void* row[4];
  for (void*& payload : row) payload = heap.allocate(8 * kUnit, kUnit);
  heap.deallocate(row[1]);
  ASSERT_EQ(heap.allocate(5 * kUnit, kUnit), row[1]);  // leaves a fragment of one unit behind
  Block* fragment = Block::ofPayload(row[1])->successor();
  ASSERT_EQ(fragment->sizeAndFlag, 1u);
  const HeapStats before = heap.stats();
  heap.deallocate(row[2]);
  EXPECT_EQ(fragment->sizeAndFlag, 1 + 8 + 2u);
  EXPECT_EQ(heap.stats().freeBlocks, before.freeBlocks + 1);
  EXPECT_EQ(heap.stats().totalFree, before.totalFree + unitsToBytes(11));
}

// Three Blocks of sixteen units, A B C, and the rest of the segment after them; B is freed or
// not, then A (or C) is resized in place.
TEST(Resize, InPlace) {
  constexpr std::size_t u = kUnit, small = 16 * u;
  const struct {
    const char* name;
    bool freeB;
    int target;  // 0 for A, 2 for C
    std::size_t size;
    bool done;
    std::size_t payload;
    std::ptrdiff_t totalAlloc, freeBlocks, totalFree, peak;  // changes
  } cases[] = {
      {"grows into a free successor", true, 0, small + 4 * u, true, small + 4 * u, 4 * u, 0,
       -4 * static_cast<std::ptrdiff_t>(u), 0},
      {"takes all of a successor that would leave less than a header", true, 0,
       2 * small + kHeaderSize - u, true, 2 * small + kHeaderSize,
       static_cast<std::ptrdiff_t>(small + kHeaderSize), -1, -static_cast<std::ptrdiff_t>(small),
       0},
      {"grows into the rest and raises the peak", false, 2, 4 * small, true, 4 * small, 3 * small,
       0, -3 * static_cast<std::ptrdiff_t>(small), 3 * small},
      {"refused beside an allocated Block", false, 0, small + u, false, small, 0, 0, 0, 0},
      {"refused beside too small a free Block", true, 0, 2 * small + kHeaderSize + u, false, small,
       0, 0, 0, 0},
      {"shrinks beside an allocated Block", false, 0, small - 6 * u, true, small - 6 * u,
       -6 * static_cast<std::ptrdiff_t>(u), 1, 4 * u, 0},
      {"keeps one unit it cannot file", false, 0, small - u, true, small, 0, 0, 0, 0},
      {"gives one unit to a free successor", true, 0, small - u, true, small - u,
       -static_cast<std::ptrdiff_t>(u), 0, u, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeAddressSpace space;
    Heap heap(space);
    void* row[3];
    for (void*& payload : row) payload = heap.allocate(small, kUnit);
    if (c.freeB) heap.deallocate(row[1]);
    const HeapStats before = heap.stats();
    EXPECT_EQ(heap.resizeInPlace(row[c.target], c.size), c.done);
    EXPECT_EQ(heap.blockSize(row[c.target]), static_cast<std::ptrdiff_t>(c.payload));
    const HeapStats& after = heap.stats();
    EXPECT_EQ(after.totalAlloc - before.totalAlloc, static_cast<std::size_t>(c.totalAlloc));
    EXPECT_EQ(after.freeBlocks - before.freeBlocks, static_cast<std::size_t>(c.freeBlocks));
    EXPECT_EQ(after.totalFree - before.totalFree, static_cast<std::size_t>(c.totalFree));
    EXPECT_EQ(after.peakAlloc - before.peakAlloc, static_cast<std::size_t>(c.peak));
    EXPECT_EQ(after.maxAllocBlockSize, std::max(small, c.done ? c.size : 0));
    EXPECT_EQ(after.allocBlocks, before.allocBlocks);
    EXPECT_EQ(violations(heap), "");
  }
}

}  // namespace
}  // namespace velk::testing
