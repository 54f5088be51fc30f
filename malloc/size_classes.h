// The front end's classes: the Block sizes that threads keep in their caches and pass around in
// batches. A class is named by its footprint, payload plus header, which is a multiple of
// kMallocAlign so that Blocks carved side by side all keep aligned payloads:
//
//   classes 1 to 64:   footprints of 16 to 1,024 bytes, every 16 bytes (the 64-bit heap's
//                      16-byte header leaves class 1 unused);
//   classes 65 to 129: eight classes to each doubling above 1 KiB, up to the 288 KiB footprint
//                      that serves a 256 KiB request.
//
// Requests up to kLargestCachedRequest are served from a class; coarser steps above 1 KiB keep
// the classes few while wasting at most an eighth. A freed Block goes to the largest class its
// footprint covers, so a Block that came out of class c always goes back to class c.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "process_heap.h"

namespace velk::shim {

inline constexpr std::size_t kFineStep = kMallocAlign;
inline constexpr std::size_t kFineClasses = 64;  // up to 1 KiB footprints
inline constexpr std::size_t kFineTop = kFineClasses * kFineStep;
inline constexpr unsigned kFineTopBits = 10;
static_assert(std::size_t{1} << kFineTopBits == kFineTop);
inline constexpr unsigned kCoarseStepsBits = 3;  // eight classes per doubling above kFineTop
inline constexpr std::size_t kLargestCachedRequest = 262144;

// The footprint of the Block that serves `bytes`: what requestSize() asks of the engine plus the
// header.
constexpr std::size_t footprintOfRequest(std::size_t bytes) {
  return requestSize(bytes) + kHeaderSize;
}

// The largest class whose footprint is at most `footprint` (at least one step).
constexpr std::size_t classAtOrBelow(std::size_t footprint) {
  if (footprint <= kFineTop) return footprint / kFineStep;
  // Octave o covers [kFineTop << o, kFineTop << (o + 1)) in steps of kFineTop >> 3 << o.
  const auto top = static_cast<unsigned>(std::bit_width(footprint) - 1);
  const unsigned octave = top - kFineTopBits;
  return kFineClasses + (octave << kCoarseStepsBits) +
         ((footprint - (kFineTop << octave)) >> (top - kCoarseStepsBits));
}

constexpr std::size_t footprintOfClass(std::size_t sizeClass) {
  if (sizeClass <= kFineClasses) return sizeClass * kFineStep;
  const std::size_t octave = (sizeClass - kFineClasses) >> kCoarseStepsBits;
  const std::size_t step = (kFineTop >> kCoarseStepsBits) << octave;
  return (kFineTop << octave) +
         ((sizeClass - kFineClasses) & ((1u << kCoarseStepsBits) - 1)) * step;
}

constexpr std::size_t payloadOfClass(std::size_t sizeClass) {
  return footprintOfClass(sizeClass) - kHeaderSize;
}

inline constexpr std::size_t kLastClass =
    classAtOrBelow(requestSize(kLargestCachedRequest) + kHeaderSize) + 1;
inline constexpr std::size_t kClasses = kLastClass + 1;

namespace detail {
// Above kFineTop every class footprint is a multiple of kCoarseGrain, so one table entry per
// kCoarseGrain answers both directions without the arithmetic above.
inline constexpr std::size_t kCoarseGrain = kFineTop >> kCoarseStepsBits;
inline constexpr std::size_t kCoarseEntries = footprintOfClass(kLastClass) / kCoarseGrain + 1;
struct ClassTables {
  std::uint8_t atOrAbove[kCoarseEntries];  // by (footprint - 1) / kCoarseGrain
  std::uint8_t atOrBelow[kCoarseEntries];  // by footprint / kCoarseGrain
};
constexpr ClassTables makeClassTables() {
  ClassTables tables{};
  for (std::size_t entry = 0; entry < kCoarseEntries; ++entry) {
    const std::size_t most = (entry + 1) * kCoarseGrain;
    const std::size_t below = classAtOrBelow(most);
    tables.atOrAbove[entry] =
        static_cast<std::uint8_t>(footprintOfClass(below) < most ? below + 1 : below);
    tables.atOrBelow[entry] = static_cast<std::uint8_t>(classAtOrBelow(entry * kCoarseGrain));
  }
  return tables;
}
inline constexpr ClassTables kClassTables = makeClassTables();
}  // namespace detail

// The smallest class whose Blocks serve `bytes`, for bytes up to kLargestCachedRequest.
constexpr std::size_t classOfRequest(std::size_t bytes) {
  const std::size_t footprint = footprintOfRequest(bytes);
  if (footprint <= kFineTop) return footprint / kFineStep;
  return detail::kClassTables.atOrAbove[(footprint - 1) / detail::kCoarseGrain];
}

inline constexpr std::size_t kFirstClass = classOfRequest(0);

// The class a freed Block of `payloadBytes` goes back to, or 0 when it is kept by no class.
constexpr std::size_t classOfPayload(std::size_t payloadBytes) {
  const std::size_t footprint = payloadBytes + kHeaderSize;
  if (footprint <= kFineTop)
    return footprint >= footprintOfClass(kFirstClass) ? footprint / kFineStep : 0;
  if (footprint > footprintOfClass(kLastClass)) return 0;
  return detail::kClassTables.atOrBelow[footprint / detail::kCoarseGrain];
}

// How many Blocks move at once between a thread and the shared shelves or the engine: about
// 8 KiB worth, at most 64 and at least 2, but Blocks above 64 KiB one at a time, so that a list
// of them starts with one and parks no more than it has to. Every list a thread opens holds a
// batch ahead of its need, so a batch is kept small: a thread that uses sixty sizes of a few
// hundred bytes each parks half a MiB rather than two.
namespace detail {
constexpr std::uint32_t batchByFootprint(std::size_t footprint) {
  const std::size_t byBytes = 8192 / footprint;
  const std::size_t least = footprint > 65536 ? 1 : 2;
  return static_cast<std::uint32_t>(byBytes < least ? least : byBytes > 64 ? 64 : byBytes);
}
// Looked up on every free of another thread's Block: a table rather than a division.
struct BatchTable {
  std::uint8_t blocks[kClasses];
};
constexpr BatchTable makeBatchTable() {
  BatchTable table{};
  for (std::size_t sizeClass = 0; sizeClass < kClasses; ++sizeClass) {
    table.blocks[sizeClass] = static_cast<std::uint8_t>(
        batchByFootprint(footprintOfClass(sizeClass < kFirstClass ? kFirstClass : sizeClass)));
  }
  return table;
}
inline constexpr BatchTable kBatchTable = makeBatchTable();
}  // namespace detail
constexpr std::uint32_t batchOfClass(std::size_t sizeClass) {
  return detail::kBatchTable.blocks[sizeClass];
}

static_assert(kFirstClass == (kHeaderSize < kFineStep ? 1 : 2), "the least payload is one step");
static_assert(footprintOfClass(kFineClasses) == kFineTop);
static_assert(classAtOrBelow(kFineTop + 128) == kFineClasses + 1);
static_assert(classAtOrBelow(2 * kFineTop - 1) == kFineClasses + 7);
static_assert(classAtOrBelow(2 * kFineTop) == kFineClasses + 8);
static_assert(footprintOfClass(classAtOrBelow(40000)) == 36864);
static_assert(kLastClass == kFineClasses + 8 * 8 + 1, "256 KiB requests fit a 288 KiB footprint");
static_assert(classOfRequest(kLargestCachedRequest) == kLastClass);
static_assert(classOfRequest(kFineTop) == kFineClasses + 1 && classOfRequest(1) == kFirstClass);
static_assert(classOfPayload(payloadOfClass(kLastClass)) == kLastClass);
static_assert(classOfPayload(payloadOfClass(kFineClasses + 3) + kUnit) == kFineClasses + 3);

}  // namespace velk::shim
