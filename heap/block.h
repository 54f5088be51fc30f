// The Block: the boundary-tagged piece of a segment that is either handed out or waiting in a bin.
//
//        unit 0          unit 1           unit 2         unit 3
//   +---------------+---------------+---------------+---------------+-- ... --+
//   | sizeAndFlag   | prevBlock     | nextFree      | prevFree      |         |
//   +---------------+---------------+---------------+---------------+-- ... --+
//   ^ Block         ^               ^ payload (what callers get)             ^ successor
//   |<---- header (kHeaderSize) --->|<------- units(sizeAndFlag) units ------>|
//
//   sizeAndFlag: payload length in units; kAllocatedBit set while the Block is handed out.
//   prevBlock:   the physically preceding Block of the same segment; null for the first one.
//   nextFree, prevFree: bin links, only meaningful in a filed free Block (first payload units).
//
//   A segment:  | Block | Block | ... | Block | kEndMarker |
//
// Invariants, after every public heap operation:
//   - no two free Blocks are physical neighbours;
//   - every free Block of at least kLeastFiledUnits payload units is filed in the bin of its class,
//     and that bin's bitmap bit is set; no bit is set for an empty bin;
//   - fragments (free Blocks of 0 or 1 payload units) are never filed, and counted nowhere;
//   - the successor of a Block has `prevBlock` pointing back to it;
//   - the last unit of every segment holds kEndMarker, and the chain of Blocks ends exactly there.
#pragma once

#include <atomic>

#include "heap/units.h"

namespace velk {

struct Block {
  Word sizeAndFlag;
  Block* prevBlock;
  Block* nextFree;
  Block* prevFree;

  Word units() const { return sizeAndFlag & kSizeMask; }
  std::size_t payloadBytes() const { return unitsToBytes(units()); }
  bool isAllocated() const { return (sizeAndFlag & kAllocatedBit) != 0; }
  bool isEndMarker() const { return sizeAndFlag == kEndMarker; }

  // Blocks live in memory the heap owns and writes; a const view of one still names writable
  // memory.
  char* address() const { return reinterpret_cast<char*>(const_cast<Block*>(this)); }
  void* payload() const { return address() + kHeaderSize; }
  // Where the next Block starts, computed from this Block's size. In address arithmetic: a header
  // a stray write changed may name any size, and the result is checked before it is used.
  Block* following() const {
    return at(reinterpret_cast<Word>(this) + kHeaderSize + payloadBytes());
  }
  // The physical successor, or null at the end of the segment. (A Block's own first word is
  // never the end marker: that would be an allocated Block longer than the address space.)
  Block* successor() const {
    Block* next = following();
    return next->isEndMarker() ? nullptr : next;
  }

  static Block* at(void* address) { return static_cast<Block*>(address); }
  static Block* at(Word address) { return reinterpret_cast<Block*>(address); }
  static Block* ofPayload(void* payload) { return at(static_cast<char*>(payload) - kHeaderSize); }
};

// A header word read by a front end without the lock: the Block is its own, but the heap may be
// writing a neighbour's words under the lock meanwhile.
template <typename Value>
Value loadRelaxed(const Value& word) {
  return std::atomic_ref(const_cast<Value&>(word)).load(std::memory_order_relaxed);
}

// Address order of two Blocks, which may lie in different segments.
inline bool below(const Block* a, const Block* b) {
  return reinterpret_cast<std::uintptr_t>(a) < reinterpret_cast<std::uintptr_t>(b);
}

static_assert(sizeof(Block) == 4 * kUnit, "header plus the two links of a filed Block");
static_assert(offsetof(Block, nextFree) == kHeaderSize, "the links are the first payload units");
static_assert(kUnit != 4 || (kHeaderSize == 8 && kAllocatedBit == 0x80000000u),
              "the 32-bit format");

}  // namespace velk
