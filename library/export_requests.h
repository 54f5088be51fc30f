// What MemAlloc asks of the heap for a request: its alignment and its limit. Header-only, so that
// a host serving the same exports from an engine of its own asks exactly the same.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace velk::library {

// 16 from 16 bytes up; below, the largest power of two the size holds: 8 from 8, 4 from 4, and
// 2, 1 and 0 below, which the heap raises to its unit.
constexpr std::size_t alignmentFor(std::uint32_t size) {
  return size >= 16 ? 16 : std::bit_floor(size);
}
static_assert(alignmentFor(100) == 16 && alignmentFor(16) == 16 && alignmentFor(15) == 8 &&
              alignmentFor(8) == 8 && alignmentFor(7) == 4 && alignmentFor(4) == 4 &&
              alignmentFor(3) == 2 && alignmentFor(1) == 1 && alignmentFor(0) == 0);

// Requests are 32-bit; the 32-bit heap's limit holds in every build, so that a host gets the
// same answer from each.
inline constexpr std::uint32_t kLargestRequest = 0xFFF00000;

}  // namespace velk::library
