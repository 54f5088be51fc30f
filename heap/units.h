// The unit of the heap: every header word, link, payload size and alignment gap is a whole number
// of units. A unit is as wide as an address: 4 bytes in the 32-bit heap, 8 in the 64-bit one.
// Written once here so that both widths come from the same code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velk {

using Word = std::uintptr_t;

inline constexpr std::size_t kUnit = sizeof(Word);
// Two words: `sizeAndFlag` and `prevBlock`.
inline constexpr std::size_t kHeaderSize = 2 * kUnit;
// A free Block needs room for its two bin links; smaller free Blocks are fragments.
inline constexpr std::size_t kLeastFiledUnits = 2;

inline constexpr Word kAllocatedBit = Word(1) << (8 * kUnit - 1);
inline constexpr Word kSizeMask = ~kAllocatedBit;
// The most units a header can hold: payloads whose bytes fit in an address. The bits between these
// and the flag are 0 in every true header. A size word with one of them set (a stray write) is
// never taken for a size, even where its bytes, wrapping around the address space, name the very
// end the record shows.
inline constexpr Word kMostUnits = ~Word(0) / kUnit;
// Whether a header's size word, read once, is an allocated Block's (a free Block's) with a size
// that fits in an address: one comparison each.
constexpr bool allocatedHeader(Word word) {
  return word - kAllocatedBit <= kMostUnits;
}
constexpr bool freeHeader(Word word) {
  return word <= kMostUnits;
}
// Fills the last unit of every segment; no Block header can hold it (it would be an allocated
// Block longer than the address space).
inline constexpr Word kEndMarker = ~Word(0);

// Requests: the largest size and alignment together keep `size + align - 1` inside the address
// range (0xFFF00000 and 0x100000 in the 32-bit heap).
inline constexpr std::size_t kMaxAlign = 0x100000;
inline constexpr std::size_t kMaxRequestSize = ~std::size_t(0) - kMaxAlign + 1;

inline constexpr std::size_t unitsToBytes(Word units) {
  return static_cast<std::size_t>(units) * kUnit;
}

static_assert(kUnit == 4 || kUnit == 8, "the heap is built for 32- and 64-bit addresses");
static_assert(sizeof(void*) == kUnit, "a unit holds an address");
static_assert(kMaxRequestSize + (kMaxAlign - 1) == ~std::size_t(0), "need never wraps");

}  // namespace velk
