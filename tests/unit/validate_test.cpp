// validate() handed heaps broken in each way it checks: each names what it finds. What a stray
// write can break (headers, bin links, end markers) repair() then puts right from the record.
#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

// Two segments apart; in the first an allocated Block A, a free B, an allocated C, then the free
// rest R. The views are writable: a test may break what the heap keeps.
struct BrokenHeap {
  BrokenHeap() {
    heap.addSegment(100, 4);
    heap.addSegment(100, 4);
    void* row[3];
    for (void*& payload : row) payload = heap.allocate(8 * kUnit, kUnit);
    heap.deallocate(row[1]);
    a = Block::ofPayload(row[0]);
    b = a->successor();
    c = b->successor();
    rest = c->successor();
  }
  HeapStats& stats() { return const_cast<HeapStats&>(heap.stats()); }
  Bin& binOfB() { return const_cast<Bin&>(heap.bin(classOf(b->payloadBytes()))); }
  Segment& segment(std::size_t index) { return const_cast<Segment&>(heap.segment(index)); }

  FakeAddressSpace space;
  Heap heap{space};
  Block *a, *b, *c, *rest;
};

TEST(Validate, NamesEveryBrokenInvariant) {
  const struct {
    const char* violation;
    void (*breakHeap)(BrokenHeap&);
    bool strayWrite = false;  // a write into or past a payload could do this
  } cases[] = {
      {"", [](BrokenHeap&) {}},
      {"end marker overwritten", [](BrokenHeap& h) { *h.segment(0).endMarker() = 0; }, true},
      {"header size disagrees with the record (no Block begins there)",
       [](BrokenHeap& h) { h.a->sizeAndFlag -= 1; }, true},
      {"Block runs past its segment", [](BrokenHeap& h) { h.rest->sizeAndFlag += 1; }, true},
      // A size whose bytes wrap around the address space to the true end.
      {"Block runs past its segment",
       [](BrokenHeap& h) { h.a->sizeAndFlag += kMostUnits + 1; }, true},
      {"Block runs past its segment", [](BrokenHeap& h) { h.c->sizeAndFlag = kEndMarker; }, true},
      {"prevBlock does not point back", [](BrokenHeap& h) { h.c->prevBlock = h.a; }, true},
      {"two free Blocks touch", [](BrokenHeap& h) { h.a->sizeAndFlag &= kSizeMask; }, true},
      {"payload map marks more than the payloads",
       [](BrokenHeap& h) { h.a->sizeAndFlag &= kSizeMask; }, true},
      {"allocated flag disagrees with the record",
       [](BrokenHeap& h) { h.b->sizeAndFlag |= kAllocatedBit; }, true},
      {"segment base misaligned",
       [](BrokenHeap& h) {
         // Moved a unit up and a granule shorter, the segment stays inside the memory it had; the
         // walk from there finds one Block up to the moved end marker.
         Segment& segment = h.segment(0);
         segment.base += kUnit;
         segment.size -= FakeAddressSpace::kGranule;
         *reinterpret_cast<Word*>(segment.base) = (segment.size - kHeaderSize - kUnit) / kUnit;
       }},
      {"segment size not whole granules", [](BrokenHeap& h) { h.segment(0).size -= kUnit; }},
      {"two segments touch or overlap", [](BrokenHeap& h) { h.segment(1) = h.segment(0); }},
      {"total size differs from the segments", [](BrokenHeap& h) { h.stats().totalSize += 1; }},
      {"bitmap bit disagrees with the bin", [](BrokenHeap& h) { h.binOfB().count = 0; }},
      {"bin head disagrees with its count", [](BrokenHeap& h) { h.binOfB().head = nullptr; }},
      {"bin list runs in a circle", [](BrokenHeap& h) { h.b->nextFree = h.b; }, true},
      {"bin link leads to something that is not a filed free Block",
       [](BrokenHeap& h) { h.binOfB().head = h.a; }},
      {"bin link leads to something that is not a filed free Block",
       [](BrokenHeap& h) { h.b->nextFree = Block::at(~Word{0} - 3 * kUnit); }, true},
      {"Block filed in the wrong bin", [](BrokenHeap& h) { h.b->nextFree = h.rest; }, true},
      {"prevFree does not point back", [](BrokenHeap& h) { h.b->prevFree = h.a; }, true},
      {"bin tail is not the end of its list", [](BrokenHeap& h) { h.binOfB().tail = h.a; }},
      {"bin count differs from its list", [](BrokenHeap& h) { h.binOfB().count = 2; }},
      {"a free Block is missing from the bins", [](BrokenHeap& h) { h.binOfB() = {}; }},
      {"free blocks counter differs from the walk", [](BrokenHeap& h) { h.stats().freeBlocks++; }},
      {"total free counter differs from the walk", [](BrokenHeap& h) { h.stats().totalFree--; }},
      {"alloc blocks counter differs from the walk",
       [](BrokenHeap& h) { h.stats().allocBlocks--; }},
      {"total alloc counter differs from the walk", [](BrokenHeap& h) { h.stats().totalAlloc++; }},
      {"peak below the current allocation", [](BrokenHeap& h) { h.stats().peakAlloc = 0; }},
  };
  for (const auto& c : cases) {
    BrokenHeap broken;
    c.breakHeap(broken);
    const std::string found = violations(broken.heap);
    if (*c.violation == '\0') {
      EXPECT_EQ(found, "");
    } else {
      EXPECT_NE(found.find(std::string(c.violation) + '\n'), std::string::npos)
          << c.violation << " not among:\n"
          << found;
    }
    if (c.strayWrite) {
      const std::uint64_t before = broken.heap.damageFound();
      EXPECT_NE(broken.heap.repair(), 0u) << c.violation;
      EXPECT_EQ(broken.heap.damageFound(), before + 1) << c.violation;
      EXPECT_EQ(violations(broken.heap), "") << "after repair: " << c.violation;
      EXPECT_EQ(broken.heap.repair(), 0u) << "a second repair: " << c.violation;
    }
  }
}

}  // namespace
}  // namespace velk::testing
