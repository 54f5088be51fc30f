// Giving idle pages back: only whole pages inside free Blocks that lay free through a pass,
// between their links and the mark at their end; live payloads, figures and the heap's checks see
// nothing of it.
#include <cstring>
#include <random>
#include <vector>

#ifndef _WIN32
#include <sys/mman.h>
#endif

#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

constexpr std::size_t kLeast = 64 * 1024;

struct Payload {
  unsigned char* bytes;
  std::size_t size;
  std::vector<unsigned char> pattern;
};

Payload allocateFilled(Heap& heap, std::size_t size, std::mt19937& random) {
  Payload payload{static_cast<unsigned char*>(heap.allocate(size, kUnit)), size, {}};
  for (std::size_t index = 0; index < size; ++index) {
    payload.pattern.push_back(static_cast<unsigned char>(random()));
  }
  std::memcpy(payload.bytes, payload.pattern.data(), size);
  return payload;
}

bool intact(const Payload& payload) {
  return std::memcmp(payload.bytes, payload.pattern.data(), payload.size) == 0;
}

// Whether every discarded range lies on pages strictly inside one of `spans` (free payloads),
// between the two links and the mark in the last unit.
bool insideFreeSpans(const std::vector<pal::Region>& discards,
                     const std::vector<std::pair<std::uintptr_t, std::size_t>>& spans) {
  for (const pal::Region& range : discards) {
    if (range.base % 4096 != 0 || range.size % 4096 != 0) return false;
    bool inside = false;
    for (const auto& [payload, size] : spans) {
      inside |= range.base >= payload + 2 * kUnit && range.base + range.size <= payload + size - kUnit;
    }
    if (!inside) return false;
  }
  return true;
}

TEST(Discard, BlocksFreeForAWholePassGiveBackTheirPages) {
  FakeAddressSpace space;
  Heap heap(space);
  std::mt19937 random(20261208);
  Payload first = allocateFilled(heap, 1 << 20, random);
  Payload middle = allocateFilled(heap, 3 << 20, random);
  Payload small = allocateFilled(heap, 40000, random);
  Payload last = allocateFilled(heap, 2 << 20, random);
  const auto middleAt = addressOf(middle.bytes);
  heap.deallocate(middle.bytes);
  heap.deallocate(last.bytes);
  const HeapStats before = heap.stats();
  const auto tail = addressOf(last.bytes);
  const std::size_t tailBytes = Block::ofPayload(last.bytes)->payloadBytes();

  // The first pass only marks what it finds; the second gives back the two free Blocks, and so
  // does every later one while they stay as they are (their pages are gone already).
  EXPECT_EQ(heap.discardIdlePages(kLeast), 0u);
  EXPECT_TRUE(space.discards().empty());
  const std::size_t givenBack = heap.discardIdlePages(kLeast);
  EXPECT_GE(givenBack, (3u << 20) - 8192 + tailBytes - 8192);
  EXPECT_EQ(space.discards().size(), 2u);
  EXPECT_TRUE(insideFreeSpans(space.discards(), {{middleAt, 3 << 20}, {tail, tailBytes}}));
  EXPECT_EQ(heap.discardIdlePages(kLeast), givenBack);
  EXPECT_EQ(space.discards().size(), 4u);

  EXPECT_TRUE(intact(first));
  EXPECT_TRUE(intact(small));
  const HeapStats after = heap.stats();
  EXPECT_EQ(after.totalAlloc, before.totalAlloc);
  EXPECT_EQ(after.totalFree, before.totalFree);
  EXPECT_EQ(after.freeBlocks, before.freeBlocks);
  EXPECT_EQ(after.peakAlloc, before.peakAlloc);
  EXPECT_EQ(after.numAllocs + after.numFrees, before.numAllocs + before.numFrees);
  EXPECT_EQ(violations(heap), "");
  // The pages are gone from the process, and read as zeros when the same Block is handed out
  // (on Windows, zeros or their old bytes).
  [[maybe_unused]] const std::uintptr_t inside = (middleAt + 65536) & ~std::uintptr_t{4095};
#ifndef _WIN32
  unsigned char resident[16];
  ASSERT_EQ(mincore(reinterpret_cast<void*>(inside), sizeof resident * 4096, resident), 0);
  for (unsigned char page : resident) EXPECT_EQ(page & 1, 0);
#endif
  Payload again{static_cast<unsigned char*>(heap.allocate(3 << 20, kUnit)), 3 << 20, {}};
  EXPECT_EQ(addressOf(again.bytes), middleAt);
  for (std::size_t index = 0; index < again.size; ++index) {
    again.pattern.push_back(static_cast<unsigned char>(random()));
  }
#ifndef _WIN32
  const std::vector<unsigned char> zeros(65536);
  EXPECT_EQ(std::memcmp(reinterpret_cast<void*>(inside), zeros.data(), zeros.size()), 0);
#endif
  std::memcpy(again.bytes, again.pattern.data(), again.size);
  EXPECT_TRUE(intact(again));

  // A carve from the tail's front leaves its end, and its rest goes on being given back; a Block
  // freed since the last pass, and the one it merged with, wait for the next.
  Payload carved = allocateFilled(heap, 300000, random);
  Payload gone = allocateFilled(heap, 1 << 20, random);
  allocateFilled(heap, 100, random);
  heap.deallocate(gone.bytes);
  const std::size_t discardsBefore = space.discards().size();
  heap.discardIdlePages(kLeast);
  EXPECT_EQ(space.discards().size(), discardsBefore + 1);
  EXPECT_GE(space.discards().back().base, addressOf(gone.bytes) + (1 << 20));
  heap.discardIdlePages(kLeast);
  EXPECT_EQ(space.discards().size(), discardsBefore + 3);
  EXPECT_TRUE(intact(carved) && intact(again) && intact(first) && intact(small));
  EXPECT_EQ(violations(heap), "");
}

// A stray write into a free Block's links stops the pass before it gives anything back, and the
// heap puts the links right.
TEST(Discard, DamagedLinksStopThePass) {
  FakeAddressSpace space;
  Heap heap(space);
  void* kept = heap.allocate(1 << 20, kUnit);
  void* freed = heap.allocate(1 << 20, kUnit);
  heap.allocate(100, kUnit);
  heap.deallocate(freed);
  heap.discardIdlePages(kLeast);
  static_cast<Block**>(freed)[0] = static_cast<Block*>(kept);
  EXPECT_EQ(heap.discardIdlePages(kLeast), 0u);
  EXPECT_TRUE(space.discards().empty());
  EXPECT_GE(heap.damageFound(), 1u);
  EXPECT_EQ(violations(heap), "");
}

}  // namespace
}  // namespace velk::testing
