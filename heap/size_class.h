// Size classes: 1473 classes of free Blocks by payload bytes. Below 512 bytes a class every 4
// bytes; from 512 up, each power of two is cut into 64 classes (steps of 8 bytes from 512, 16
// from 1024, and so on); the catch-all class 1472 holds every Block of 1 GiB or more.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace velk {

inline constexpr std::size_t kNumBins = 1473;
inline constexpr std::size_t kCatchAllBin = kNumBins - 1;
inline constexpr std::size_t kBitmapWords = (kNumBins + 31) / 32;

namespace detail {
constexpr std::array<std::uint32_t, kNumBins> makeClassBounds() {
  std::array<std::uint32_t, kNumBins> bounds{};
  for (std::size_t c = 0; c < 128; ++c) bounds[c] = static_cast<std::uint32_t>(4 * c);
  for (std::size_t c = 128; c < kCatchAllBin; ++c) {
    const std::size_t octave = (c - 128) / 64;
    const std::size_t step = (c - 128) % 64;
    bounds[c] =
        static_cast<std::uint32_t>((std::size_t{1} << (9 + octave)) + (step << (3 + octave)));
  }
  bounds[kCatchAllBin] = std::uint32_t{1} << 30;
  return bounds;
}
}  // namespace detail

// Lower bound, in bytes, of every class.
inline constexpr std::array<std::uint32_t, kNumBins> kClassBound = detail::makeClassBounds();

static_assert(kBitmapWords == 47, "one bitmap bit per class");
static_assert(kBitmapWords <= 64, "one summary bit per bitmap word");
static_assert(kClassBound[127] == 508 && kClassBound[128] == 512 && kClassBound[129] == 520);
static_assert(kClassBound[193] == 1040 && kClassBound[1408] == 536870912u);
static_assert(kClassBound[1471] == 1065353216u && kClassBound[1472] == 1073741824u);

// The index of the highest set bit of a non-zero value, written as compilers turn it into a
// single bit-scan instruction.
constexpr unsigned highestBit(std::size_t value) {
  constexpr unsigned kTopBit = std::numeric_limits<std::size_t>::digits - 1;
  return kTopBit ^ static_cast<unsigned>(std::countl_zero(value));
}

// The class of `bytes` with the catch-all class not yet applied: with m the highest set bit, at
// least 8, it is 64 (m - 8) + (bytes >> (m - 6)). Below 512 bytes (m = 8) that is bytes / 4;
// above, the octave's 64 classes start at 64 (m - 7) and the six bits below the top one pick the
// class within it. One bit scan and two shifts, no branch, no table read.
constexpr std::size_t classBelowCatchAll(std::size_t bytes) {
  const unsigned top = highestBit(bytes | 0x100);
  return (std::size_t{top - 8} << 6) + (bytes >> (top - 6));
}

// The class a free Block of `bytes` payload bytes is filed in: the largest class whose lower
// bound is at most `bytes` (filing rounds down).
constexpr std::size_t classOf(std::size_t bytes) {
  const std::size_t sizeClass = classBelowCatchAll(bytes);
  return sizeClass < kCatchAllBin ? sizeClass : kCatchAllBin;
}

// The first class whose every Block holds `bytes`: the smallest class whose lower bound is at
// least `bytes` (searching rounds up), one above the class that filing `bytes - 1` would take.
// Only the catch-all class can hold Blocks too small. Valid from 1 byte up.
constexpr std::size_t searchClassOf(std::size_t bytes) {
  // From 1 to 512 bytes, where the classes are 4 bytes apart, without the bit scan: the same
  // class (mappingsAgreeWithTheTable), in fewer steps.
  if (bytes - 1 < 512) return ((bytes - 1) >> 2) + 1;
  const std::size_t sizeClass = classBelowCatchAll(bytes - 1) + 1;
  return sizeClass < kCatchAllBin ? sizeClass : kCatchAllBin;
}

namespace detail {
// Both mappings against the table, at every class bound and on either side of it.
constexpr bool mappingsAgreeWithTheTable() {
  for (std::size_t c = 1; c < kNumBins; ++c) {
    const std::size_t bound = kClassBound[c];
    if (classOf(bound) != c || classOf(bound - 1) != c - 1) return false;
    if (searchClassOf(bound) != c || searchClassOf(bound + 1) != std::min(c + 1, kCatchAllBin))
      return false;
  }
  // searchClassOf's short way for small sizes against the bit scan, at every size it covers.
  for (std::size_t bytes = 1; bytes <= 1024; ++bytes) {
    if (searchClassOf(bytes) != classBelowCatchAll(bytes - 1) + 1) return false;
  }
  return classOf(std::size_t{1} << 31) == kCatchAllBin &&
         searchClassOf(~std::size_t{0} >> 1) == kCatchAllBin;
}
}  // namespace detail
static_assert(detail::mappingsAgreeWithTheTable());

}  // namespace velk
