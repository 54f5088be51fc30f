// Segments: the sizes asked of the system, joins of touching segments, the table limit and the
// release walk.
#include <vector>

#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

using Placement = FakeAddressSpace::Placement;

// The least segment holds a Block of 4,456,445 units in the 32-bit heap, filed in class 1091;
// the up-front one of 640 MiB a Block of 671,154,164 bytes in class 1424.
TEST(Segments, SizesAskedOfTheSystem) {
  const struct {
    std::size_t size, align, pageSize, request, payload, sizeClass;
  } cases[] = {{100, 4, 4096, 0x1100000, w(17825780, 17825768), 1091},
               {0x28000000, 16, 4096, 0x28010000, w(671154164, 671154152), 1424},
               {100, 4, 0x200000, 0x1200000, 0x1200000 - 3 * kUnit, 1095},  // a large page
               {~std::size_t{0} - 8, 16, 4096, 0, 0, 0},
               {~std::size_t{0} - 0x10000, 16, 4096, 0, 0, 0}};  // fits, but not once rounded
  for (const auto& c : cases) {
    FakeAddressSpace space;
    space.setPageSize(c.pageSize);
    Heap heap(space);
    EXPECT_EQ(heap.addSegment(c.size, c.align), c.request != 0);
    EXPECT_EQ(space.requests(), c.request != 0 ? 1u : 0u);
    if (c.request == 0) continue;
    EXPECT_EQ(space.handedOut()[0].size, c.request);
    EXPECT_EQ(heap.stats().totalSize, c.request);
    EXPECT_EQ(heap.segment(0).firstBlock()->payloadBytes(), c.payload);
    EXPECT_EQ(heap.bin(c.sizeClass).count, 1u);
    EXPECT_EQ(violations(heap), "");
  }
}

TEST(Segments, TouchingSegmentsJoin) {
  const struct {
    const char* name;
    std::vector<std::size_t> offsets;  // of each segment added, in least segments
    int allocateWholeAfter;            // the segment whose Block is allocated at once, or -1
    std::vector<std::pair<std::size_t, std::size_t>> table;  // offset and size of each entry
  } cases[] = {
      {"apart", {0, 2}, -1, {{0, 1}, {2, 1}}},
      {"above", {0, 1}, -1, {{0, 2}}},
      {"below", {1, 0}, -1, {{0, 2}}},
      {"chain of three", {0, 2, 1}, -1, {{0, 3}}},
      {"the earlier slot", {0, 4, 8, 3}, -1, {{0, 1}, {3, 2}, {8, 1}}},
      {"above an allocated last Block", {0, 1}, 0, {{0, 2}}},
      {"below an allocated first Block", {1, 0}, 0, {{0, 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeAddressSpace space;
    Heap heap(space);
    Block* allocated = nullptr;
    for (std::size_t index = 0; index < c.offsets.size(); ++index) {
      space.placeNext(Placement::AtOffset, c.offsets[index] * kMinSegmentSize);
      ASSERT_TRUE(heap.addSegment(100, 4));
      if (static_cast<int>(index) == c.allocateWholeAfter) {
        allocated = heap.findFree(2 * kUnit, kUnit);
        heap.carve(allocated, allocated->payloadBytes(), kUnit);
      }
    }
    ASSERT_EQ(heap.segmentCount(), static_cast<int>(c.table.size()));
    for (std::size_t index = 0; index < c.table.size(); ++index) {
      EXPECT_EQ(heap.segment(index).base,
                space.arenaBase() + c.table[index].first * kMinSegmentSize);
      EXPECT_EQ(heap.segment(index).size, c.table[index].second * kMinSegmentSize);
    }
    EXPECT_EQ(heap.stats().totalSize, c.offsets.size() * kMinSegmentSize);
    EXPECT_EQ(violations(heap), "");
    // A walk shows where joined ranges meet, and the joined Blocks.
    WalkRecord walk;
    heap.walk(walk);
    EXPECT_EQ(walk.boundaries, c.offsets.size() - c.table.size());
    EXPECT_EQ(walk.kinds[0], allocated != nullptr ? 1u : 0u);
    EXPECT_EQ(walk.kinds[1], heap.stats().freeBlocks);
    if (allocated == nullptr) {
      checkEmpty(heap);
      continue;
    }
    // The lower segment's end marker became the last unit of its last Block.
    const Block* lower = heap.segment(0).firstBlock();
    EXPECT_EQ(lower->units(), kLeastUnits + 1);
    EXPECT_EQ(heap.stats().freeBlocks, 1u);
    EXPECT_EQ(heap.stats().totalAlloc, unitsToBytes(allocated->units()));
    EXPECT_EQ(heap.stats().peakAlloc, unitsToBytes(allocated->units()) + kHeaderSize);
  }
}

// Every 16 MiB request needs a segment of its own, placed apart: the table fills.
TEST(Segments, FullTableAsksTheSystemForNothing) {
  if (kUnit == 4) GTEST_SKIP() << "256 segments of 17 MiB need a 64-bit address space";
  FakeAddressSpace space;
  Heap heap(space);
  std::vector<void*> payloads;
  for (std::size_t index = 0; index < kMaxSegments; ++index) {
    payloads.push_back(heap.allocate(16u << 20, 16));
  }
  ASSERT_EQ(heap.segmentCount(), static_cast<int>(kMaxSegments));
  EXPECT_EQ(heap.allocate(16u << 20, 16), nullptr);
  EXPECT_FALSE(heap.addSegment(100, 4));
  EXPECT_EQ(space.requests(), kMaxSegments);
  EXPECT_EQ(violations(heap), "");
  void* small = heap.allocate(1000, 16);  // what is left in the segments still serves
  EXPECT_NE(small, nullptr);
  heap.deallocate(small);
  for (void* payload : payloads) heap.deallocate(payload);
  checkEmpty(heap);
}

TEST(Segments, ReleaseWalkStopsAtARegionItCannotTrust) {
  using Lie = FakeAddressSpace::Lie;
  const struct {
    std::size_t region;  // of the three joined into one segment
    Lie lie;
    std::ptrdiff_t shift;
    std::size_t released;  // regions released, from the first
  } cases[] = {
      // clang-format off
      {0, Lie::ShiftedBase, 0, 3}, {1, Lie::Fail, 0, 1}, {0, Lie::Fail, 0, 0},
      {0, Lie::ZeroSize, 0, 0}, {2, Lie::ZeroSize, 0, 2}, {1, Lie::ShiftedBase, -0x10000, 1},
      {1, Lie::ShiftedBase, 4096, 1},
      // clang-format on
  };
  for (const auto& c : cases) {
    FakeAddressSpace space;
    std::vector<std::uintptr_t> regions;
    {
      Heap heap(space);
      for (int index = 0; index < 3; ++index) {
        space.placeNext(Placement::TouchingLast);
        ASSERT_TRUE(heap.addSegment(100, 4));
        regions.push_back(space.handedOut().back().base);
      }
      ASSERT_EQ(heap.segmentCount(), 1);
      space.lieAt(regions[c.region], c.lie, c.shift);
      space.placeNext(Placement::TouchingLast);  // memory after the segment, not the heap's
      space.reserve(kMinSegmentSize);
    }
    regions.resize(c.released);
    EXPECT_EQ(space.releases(), regions)
        << c.region << " " << static_cast<int>(c.lie) << " " << c.shift;
  }
}

// A heap made and unmade again and again (each segment's records mapped and unmapped) maps its
// records in one place rather than in fresh address space each time, which a 32-bit process
// would run out of, and whose records would then land between segments that should join.
TEST(Segments, RecordsUnmappedLastGiveTheirPlaceBack) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows places records top-down, wherever it finds room";
#endif
  constexpr std::size_t kBytes = 3 << 20;
  void* first = pal::mapRecords(kBytes);
  ASSERT_NE(first, nullptr);
  pal::unmapRecords(first, kBytes);
  for (int round = 0; round < 3; ++round) {
    void* again = pal::mapRecords(kBytes);
    EXPECT_EQ(again, first);
    pal::unmapRecords(again, kBytes);
  }
}

}  // namespace
}  // namespace velk::testing
