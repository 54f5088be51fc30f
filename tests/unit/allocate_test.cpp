// Worked examples of allocating, freeing and resizing on a fresh heap, figure by figure; the
// catch-all bin; growth; the figures of a full heap.
#include <cstring>
#include <tuple>
#include <vector>

#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

constexpr std::size_t u = kUnit, H = kHeaderSize, W = kLeastUnits * kUnit;

// 'a' allocates `a` bytes aligned to `b`; 'f' frees the a-th payload; 'r' resizes the a-th payload
// to `b` bytes in place. `done`: the allocation served, the resize made.
struct Step {
  char op;
  std::size_t a, b = 0;
  bool done = true;
};

TEST(Examples, FiguresAfterEachStory) {
  const std::size_t B = w(516, 1032);  // filed one class below the class its own size searches
  // The steps after `count` Blocks of `units` units each.
  auto after = [](int count, std::size_t units, std::vector<Step> more) {
    more.insert(more.begin(), static_cast<std::size_t>(count), Step{'a', units * u});
    return more;
  };
  // A hole of `size` bytes between two Blocks, then a request for `request` bytes.
  auto hole = [](std::size_t size, std::size_t request) {
    return std::vector<Step>{
        {'a', 64, u}, {'a', size, u}, {'a', 64, u}, {'f', 1}, {'a', request, u}};
  };
  const struct {
    const char* name;
    std::vector<Step> steps;
    std::size_t probe, offset, payload;  // the probe-th payload: offset from the segment, size
    std::size_t allocBlocks, totalAlloc, peakAlloc, freeBlocks, totalFree;
  } cases[] = {
      // clang-format off
      // name, steps; probe, offset, payload; allocBlocks, totalAlloc, peak, freeBlocks, totalFree
      // In the 32-bit heap a fragment of no payload stays at S, the Block has 25 units at S + 8.
      {"a request adds the least segment and is carved from it", {{'a', 100, 16}},
       0, 16, w(100, 104), 1, w(100, 104), w(108, 120), 1, W - w(116, 120)},
      {"freed, it merges into one Block again", {{'a', 100, 16}, {'f', 0}},
       0, 16, 0, 0, 0, w(108, 120), 1, W},
      {"a request of no bytes gets one unit", {{'a', 0, 0}}, 0, H, u, 1, u, u + H, 1, W - u - H},
      {"10 bytes aligned to 8", {{'a', 10, 8}},
       0, H, w(12, 16), 1, w(12, 16), w(20, 32), 1, W - w(20, 32)},
      {"a one-unit gap goes to the Block in front", {{'a', 3 * u, u}, {'a', 40, 4 * u}},
       1, 8 * u, 40, 2, 4 * u + 40, 4 * u + 40 + 2 * H, 1, W - 4 * u - 40 - 2 * H},
      {"and stays counted with it", {{'a', 3 * u, u}, {'a', 40, 4 * u}, {'f', 1}},
       0, H, 4 * u, 1, 4 * u, 4 * u + 40 + 2 * H, 1, W - 4 * u - H},
      {"a Block one unit larger is taken whole", hole(5 * u, 4 * u),
       3, 64 + 2 * H, 5 * u, 3, 128 + 5 * u, 128 + 5 * u + 3 * H, 1, W - 128 - 5 * u - 3 * H},
      {"two units larger, it leaves a fragment", hole(6 * u, 4 * u),
       3, 64 + 2 * H, 4 * u, 3, 128 + 4 * u, 128 + 6 * u + 3 * H, 1, W - 128 - 6 * u - 3 * H},
      {"a Block filed below the search class is passed over",
       {{'a', B, u}, {'a', 8, u}, {'f', 0}, {'a', B, u}},
       2, B + 8 + 3 * H, B, 2, B + 8, B + 8 + 2 * H, 2, W - B - 8 - 3 * H},
      {"merges with nothing", after(4, 8, {{'f', 1}}),
       1, 8 * u + 2 * H, 0, 3, 24 * u, 32 * u + 4 * H, 2, W - 24 * u - 4 * H},
      {"merges backwards", after(4, 8, {{'f', 0}, {'f', 1}}),
       1, 8 * u + 2 * H, 0, 2, 16 * u, 32 * u + 4 * H, 2, W - 16 * u - 3 * H},
      {"merges both ways", after(4, 8, {{'f', 0}, {'f', 2}, {'f', 1}}),
       1, 8 * u + 2 * H, 0, 1, 8 * u, 32 * u + 4 * H, 2, W - 8 * u - 2 * H},
      {"merges forwards", after(4, 8, {{'f', 3}}),
       3, 24 * u + 4 * H, 0, 3, 24 * u, 32 * u + 4 * H, 1, W - 24 * u - 3 * H},
      {"merges back into one Block", after(4, 8, {{'f', 2}, {'f', 0}, {'f', 3}, {'f', 1}}),
       0, H, 0, 0, 0, 32 * u + 4 * H, 1, W},
      {"absorbs a fragment", after(4, 8, {{'f', 1}, {'a', 5 * u, u}, {'f', 2}}),
       4, 8 * u + 2 * H, 5 * u, 3, 21 * u, 32 * u + 4 * H, 2, W - 23 * u - 3 * H},
      {"grows into a free successor", after(3, 16, {{'f', 1}, {'r', 0, 20 * u}}),
       0, H, 20 * u, 2, 36 * u, 48 * u + 3 * H, 2, W - 36 * u - 3 * H},
      {"takes all of a successor too short to split",
       after(3, 16, {{'f', 1}, {'r', 0, 32 * u + H - u}}),
       0, H, 32 * u + H, 2, 48 * u + H, 48 * u + 3 * H, 1, W - 48 * u - 3 * H},
      {"grows into the rest and raises the peak", after(3, 16, {{'r', 2, 64 * u}}),
       2, 32 * u + 3 * H, 64 * u, 3, 96 * u, 96 * u + 3 * H, 1, W - 96 * u - 3 * H},
      {"refused beside an allocated Block", after(3, 16, {{'r', 0, 17 * u, false}}),
       0, H, 16 * u, 3, 48 * u, 48 * u + 3 * H, 1, W - 48 * u - 3 * H},
      {"refused beside too small a free one", after(3, 16, {{'f', 1}, {'r', 0, 33 * u + H, false}}),
       0, H, 16 * u, 2, 32 * u, 48 * u + 3 * H, 2, W - 32 * u - 3 * H},
      {"shrinks beside an allocated Block", after(3, 16, {{'r', 0, 10 * u}}),
       0, H, 10 * u, 3, 42 * u, 48 * u + 3 * H, 2, W - 44 * u - 3 * H},
      {"keeps a unit it cannot file", after(3, 16, {{'r', 0, 15 * u}}),
       0, H, 16 * u, 3, 48 * u, 48 * u + 3 * H, 1, W - 48 * u - 3 * H},
      {"gives one unit to a free successor", after(3, 16, {{'f', 1}, {'r', 0, 15 * u}}),
       0, H, 15 * u, 2, 31 * u, 48 * u + 3 * H, 2, W - 31 * u - 3 * H},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeAddressSpace space;
    Heap heap(space);
    std::vector<void*> payloads;
    for (const Step& step : c.steps) {
      bool done = true;
      if (step.op == 'a') done = payloads.emplace_back(heap.allocate(step.a, step.b)) != nullptr;
      if (step.op == 'f') heap.deallocate(payloads[step.a]);
      if (step.op == 'r') done = heap.resizeInPlace(payloads[step.a], step.b);
      EXPECT_EQ(done, step.done) << step.op << step.a;
    }
    EXPECT_EQ(addressOf(payloads[c.probe]) - heap.segment(0).base, c.offset);
    EXPECT_EQ(heap.blockSize(payloads[c.probe]), static_cast<std::ptrdiff_t>(c.payload));
    const HeapStats& s = heap.stats();
    EXPECT_EQ(std::tie(s.allocBlocks, s.totalAlloc, s.peakAlloc, s.freeBlocks, s.totalFree),
              std::tie(c.allocBlocks, c.totalAlloc, c.peakAlloc, c.freeBlocks, c.totalFree));
    EXPECT_EQ(space.requests(), 1u);
    EXPECT_EQ(violations(heap), "");
    WalkRecord walk;  // which sees every Block for what it is
    heap.walk(walk);
    EXPECT_EQ(walk.kinds[0], c.allocBlocks);
    EXPECT_EQ(walk.kinds[1], c.freeBlocks);
  }
}

// Only requests above 1 GiB walk the catch-all bin, and each such search counts once, also one
// that finds nothing.
TEST(Allocate, CatchAllSearchesAreCounted) {
  FakeAddressSpace space;
  Heap heap(space);
  const std::size_t gib = std::size_t{1} << 30;
  if (space.arenaSize() < gib + 2 * kSegmentGranularity) GTEST_SKIP() << "no room for 1 GiB";
  void* huge = heap.allocate(gib + 64, kUnit);
  EXPECT_EQ(space.requests(), 1u);
  EXPECT_EQ(heap.stats().slowBucket, 1u);
  heap.deallocate(huge);
  heap.deallocate(heap.allocate(gib, kUnit));
  EXPECT_EQ(heap.stats().slowBucket, 1u);
  space.refuseAll(true);
  EXPECT_EQ(heap.allocate(gib + 2 * kMinSegmentSize, kUnit), nullptr);
  EXPECT_EQ(heap.stats().slowBucket, 2u);
  EXPECT_EQ(violations(heap), "");
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
      EXPECT_EQ(space.requests(), 1u) << size << " / " << align;
      EXPECT_EQ(addressOf(payload) % align, 0u);
      EXPECT_GE(heap.blockSize(payload), static_cast<std::ptrdiff_t>(size));
      EXPECT_EQ(violations(heap), "");
    }
  }
}

// A heap with nothing free reports no free Block anywhere, not even a chain of one; once its
// Blocks are freed, the report counts the one they merge into.
TEST(Allocate, AFullHeapReportsNothingFree) {
  FakeAddressSpace space;
  Heap heap(space);
  std::vector<void*> payloads = {heap.allocate(W, u)};
  while (heap.stats().freeBlocks != 0 && space.requests() == 1) {
    payloads.push_back(heap.allocate(u, u));  // the rest of the segment, unit by unit
  }
  ASSERT_EQ(space.requests(), 1u);
  HeapStats s{};
  heap.snapshotStats(s);
  EXPECT_EQ(std::tie(s.freeBlocks, s.totalFree, s.maxFree, s.largestFreeChain, s.maxAlloc),
            std::make_tuple(0u, 0u, 0u, 0u, W));
  for (void* payload : payloads) heap.deallocate(payload);
  heap.snapshotStats(s);
  EXPECT_EQ(std::tie(s.freeBlocks, s.maxFree, s.largestFreeChain, s.maxAlloc),
            std::make_tuple(1u, s.totalFree, 1u, 0u));
  EXPECT_EQ(violations(heap), "");
}

// A batch whose one search meets a damaged Block puts the heap right there, although its Blocks
// then come one by one from elsewhere: the damage is counted at once and nothing stays broken.
// Here a copy runs 16 bytes past the last payload into the rest's header, and the batch of three
// needs more than any of the three freed Blocks, which serve its single requests.
TEST(Allocate, ABatchPutsRightTheDamageItMeets) {
  FakeAddressSpace space;
  Heap heap(space);
  void* payloads[6];
  for (void*& payload : payloads) payload = heap.allocate(64, kUnit);
  for (int index = 0; index < 6; index += 2) heap.deallocate(payloads[index]);
  std::memset(static_cast<char*>(payloads[5]) + 64, '=', 16);
  void* batch[3];
  ASSERT_EQ(heap.allocateBatch(64, kUnit, batch, 3), 3u);
  EXPECT_NE(heap.damageFound(), 0u);
  EXPECT_EQ(violations(heap), "");
}

}  // namespace
}  // namespace velk::testing
