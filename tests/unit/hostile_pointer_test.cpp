// Pointers that are not the payload of an allocated Block, aimed into payloads that hold anything a
// program may store there: words shaped like the headers of allocated Blocks, links to anywhere,
// whole forged chains of Blocks whose neighbours agree. Freeing, sizing or resizing any of them
// changes nothing: no counter, no byte of any payload, no bin.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

constexpr std::size_t kUnits = 24;  // payload of the Block the words are written into

// Fills `words` (the target payload, at address `at`) with one shape; `segmentBase` and
// `neighbour` (a live payload above the target) give links somewhere to point.
using Shape = void (*)(Word* words, std::uintptr_t at, std::uintptr_t segmentBase,
                       std::uintptr_t neighbour);

void fillBytes(Word* words, unsigned char value) {
  std::memset(words, value, kUnits * kUnit);
}

// [allocated | size, link] pairs, repeated; `linkOf` picks the link for the pair at `address`.
template <typename Link>
void fillPairs(Word* words, std::uintptr_t at, Word size, Link linkOf) {
  for (std::size_t unit = 0; unit + 1 < kUnits; unit += 2) {
    const std::uintptr_t address = at + unit * kUnit;
    words[unit] = kAllocatedBit | size;
    words[unit + 1] = linkOf(address);
  }
}

const Shape kShapes[] = {
    [](Word* w, std::uintptr_t, std::uintptr_t, std::uintptr_t) { fillBytes(w, 0x00); },
    [](Word* w, std::uintptr_t, std::uintptr_t, std::uintptr_t) { fillBytes(w, 0xFF); },
    [](Word* w, std::uintptr_t, std::uintptr_t, std::uintptr_t) { fillBytes(w, 0x80); },
    [](Word* w, std::uintptr_t, std::uintptr_t, std::uintptr_t) { fillBytes(w, 0xA5); },
    // A consistent forged chain: every pair is an allocated Block of no payload whose Block
    // before is the pair below it, so every neighbour check agrees.
    [](Word* w, std::uintptr_t at, std::uintptr_t, std::uintptr_t) {
      fillPairs(w, at, 0, [](std::uintptr_t address) { return address - kHeaderSize; });
    },
    // The same chain two units a Block, and a chain whose first link is the real header.
    [](Word* w, std::uintptr_t at, std::uintptr_t, std::uintptr_t) {
      for (std::size_t unit = 0; unit + 3 < kUnits; unit += 4) {
        w[unit] = kAllocatedBit | 2;
        w[unit + 1] = at + unit * kUnit - 4 * kUnit;
      }
    },
    // Links above the Block, to itself, to its own payload, to the top of the address space,
    // just below the segment, to a live neighbour, and null.
    [](Word* w, std::uintptr_t at, std::uintptr_t, std::uintptr_t) {
      fillPairs(w, at, 1, [](std::uintptr_t address) { return address + 64 * kUnit; });
    },
    [](Word* w, std::uintptr_t at, std::uintptr_t, std::uintptr_t) {
      fillPairs(w, at, 0, [](std::uintptr_t address) { return address; });
    },
    [](Word* w, std::uintptr_t at, std::uintptr_t, std::uintptr_t) {
      fillPairs(w, at, 3, [](std::uintptr_t address) { return address + kHeaderSize; });
    },
    [](Word* w, std::uintptr_t at, std::uintptr_t, std::uintptr_t) {
      fillPairs(w, at, 2, [](std::uintptr_t) { return ~Word{0} - 15; });
    },
    [](Word* w, std::uintptr_t at, std::uintptr_t base, std::uintptr_t) {
      fillPairs(w, at, 5, [base](std::uintptr_t) { return base - kHeaderSize; });
    },
    [](Word* w, std::uintptr_t at, std::uintptr_t, std::uintptr_t neighbour) {
      fillPairs(w, at, 7, [neighbour](std::uintptr_t) { return neighbour - kHeaderSize; });
    },
    [](Word* w, std::uintptr_t at, std::uintptr_t, std::uintptr_t) {
      fillPairs(w, at, 4, [](std::uintptr_t) { return Word{0}; });
    },
    // Forged free neighbours whose bin links point into the real bins' Blocks and at themselves.
    [](Word* w, std::uintptr_t at, std::uintptr_t base, std::uintptr_t) {
      for (std::size_t unit = 0; unit + 3 < kUnits; unit += 4) {
        w[unit] = 2;
        w[unit + 1] = unit == 0 ? at - kHeaderSize : at + (unit - 4) * kUnit;
        w[unit + 2] = base;
        w[unit + 3] = at + unit * kUnit;
      }
    },
};

class HostilePointerTest : public HeapTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(HostilePointerTest, PointersIntoAPayloadOfAnyContentChangeNothing) {
  auto* below = static_cast<unsigned char*>(heap.allocate(kUnits * kUnit, kUnit));
  auto* target = static_cast<Word*>(heap.allocate(kUnits * kUnit, kUnit));
  auto* above = static_cast<unsigned char*>(heap.allocate(kUnits * kUnit, kUnit));
  void* freed = heap.allocate(kUnits * kUnit, kUnit);
  ASSERT_NE(freed, nullptr);
  heap.allocate(kUnit, kUnit);  // keeps `freed` from joining the segment's free rest
  heap.deallocate(freed);       // a real free Block with real links beside the others
  for (std::size_t byte = 0; byte < kUnits * kUnit; ++byte) {
    below[byte] = static_cast<unsigned char>(byte * 7);
    above[byte] = static_cast<unsigned char>(~byte);
  }
  kShapes[GetParam()](target, addressOf(target), heap.segment(0).base, addressOf(above));

  const std::vector<unsigned char> before(below, above + kUnits * kUnit);
  const HeapStats stats = heap.stats();
  auto* first = reinterpret_cast<unsigned char*>(target);
  // Every address from the target's header through the next header, aligned or not, but the
  // payload itself.
  for (unsigned char* pointer = first - kHeaderSize; pointer < first + (kUnits + 2) * kUnit;
       ++pointer) {
    if (pointer == first) continue;
    SCOPED_TRACE(pointer - first);
    EXPECT_EQ(heap.blockSize(pointer), 0);
    EXPECT_FALSE(heap.resizeInPlace(pointer, kUnit));
    heap.deallocate(pointer);
    heap.deallocate(freed);  // freed twice
  }
  EXPECT_EQ(std::memcmp(before.data(), below, before.size()), 0);
  EXPECT_EQ(heap.stats().allocBlocks, stats.allocBlocks);
  EXPECT_EQ(heap.stats().totalAlloc, stats.totalAlloc);
  EXPECT_EQ(heap.stats().freeBlocks, stats.freeBlocks);
  EXPECT_EQ(heap.stats().numFrees, stats.numFrees);
  EXPECT_HEAP_VALID(heap);
  heap.deallocate(target);  // the real payload still frees
  EXPECT_EQ(heap.stats().numFrees, stats.numFrees + 1);
  EXPECT_HEAP_VALID(heap);
}

INSTANTIATE_TEST_SUITE_P(Shapes, HostilePointerTest,
                         ::testing::Range(std::size_t{0}, std::size(kShapes)));

}  // namespace
}  // namespace velk::testing
