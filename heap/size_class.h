// Size classes: 1473 classes of free Blocks by payload bytes. Below 512 bytes a class every 4
// bytes; from 512 up, each power of two is cut into 64 classes (steps of 8 bytes from 512, 16
// from 1024, and so on); the catch-all class 1472 holds every Block of 1 GiB or more.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

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

// The class a free Block of `bytes` payload bytes is filed in: the largest class whose lower
// bound is at most `bytes` (filing rounds down). Valid from 4 bytes up.
constexpr std::size_t classOf(std::size_t bytes) {
  if (bytes >= kClassBound[kCatchAllBin]) return kCatchAllBin;
  const unsigned highestBit = static_cast<unsigned>(std::bit_width(bytes)) - 1;
  if (highestBit < 9) return bytes >> 2;
  // The octave's first class has the power of two itself as its bound, so no table read is needed.
  const std::size_t octaveBase = 64 * (highestBit - 7);
  return octaveBase + ((bytes - (std::size_t{1} << highestBit)) >> (highestBit - 6));
}

// The first class whose every Block holds `bytes`: the smallest class whose lower bound is at
// least `bytes` (searching rounds up). Only the catch-all class can hold Blocks too small.
constexpr std::size_t searchClassOf(std::size_t bytes) {
  if (bytes >= kClassBound[kCatchAllBin]) return kCatchAllBin;
  const std::size_t c = classOf(bytes);
  return kClassBound[c] < bytes ? c + 1 : c;
}

}  // namespace velk
