// The front end's classes: the sizes that threads keep in their caches and pass around in
// batches. A class is named by its footprint, which is a multiple of kMallocAlign so that objects
// carved side by side all stay aligned:
//
//   classes 1 to 16:   slots of 16 to 256 bytes, every 16 bytes, carved side by side out of runs
//                      (runs.h) and carrying no header: footprint and payload are one;
//   classes 17 to 64:  Blocks of footprints of 272 to 1,024 bytes, every 16 bytes, header
//                      included;
//   classes 65 to 129: eight round sizes to each doubling from 1 KiB to 256 KiB, each with
//                      kCoarseHeader on top: a payload holds its round size whole. Programs ask
//                      for round sizes more than any others (buffers of 4, 8 or 64 KiB, blocks of
//                      an allocator of their own), and with the header on top of 16 KiB, say, a
//                      footprint of round sizes alone would put the request a class higher and
//                      waste an eighth of it.
//
// Most objects programs make are small, and a header of 16 bytes on each (in 64-bit) was a third
// of the memory of a program of 24-byte objects: slots take what the request rounds to and no
// more. Above 256 bytes a header is at most a sixteenth of the object, while every slot class
// keeps a run of its own partly carved and gives up the run's first slot: Blocks serve them.
// Requests up to kLargestCachedRequest are served from a class; coarser steps above 1 KiB keep
// the classes few while wasting at most an eighth. A freed Block goes to the largest class its
// footprint covers, so a Block that came out of class c always goes back to class c; a slot goes
// back to its run's.
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
// What a coarse class's footprint holds beyond its round size: room for the header, one fine step
// so that footprints stay multiples of it.
inline constexpr std::size_t kCoarseHeader = kFineStep;
static_assert(kHeaderSize <= kCoarseHeader);
inline constexpr std::size_t kLargestCachedRequest = 262144;
// The slot classes, and the largest request a slot serves.
inline constexpr std::size_t kSlotClasses = 16;
inline constexpr std::size_t kLargestSlot = kSlotClasses * kFineStep;

// The footprint of a Block (not a slot) that serves `bytes`: what requestSize() asks of the engine
// plus the header.
constexpr std::size_t footprintOfRequest(std::size_t bytes) {
  return requestSize(bytes) + kHeaderSize;
}

// The footprint of the coarse class of round size `round`.
constexpr std::size_t footprintOfRound(std::size_t round) {
  return round + kCoarseHeader;
}

// The largest class whose footprint is at most `footprint` (at least one step).
constexpr std::size_t classAtOrBelow(std::size_t footprint) {
  if (footprint <= kFineTop) return footprint / kFineStep;
  if (footprint < footprintOfRound(kFineTop)) return kFineClasses;
  // Octave o covers round sizes [kFineTop << o, kFineTop << (o + 1)) in steps of
  // kFineTop >> 3 << o.
  const std::size_t round = footprint - kCoarseHeader;
  const auto top = static_cast<unsigned>(std::bit_width(round) - 1);
  const unsigned octave = top - kFineTopBits;
  return kFineClasses + 1 + (octave << kCoarseStepsBits) +
         ((round - (kFineTop << octave)) >> (top - kCoarseStepsBits));
}

constexpr std::size_t footprintOfClass(std::size_t sizeClass) {
  if (sizeClass <= kFineClasses) return sizeClass * kFineStep;
  const std::size_t coarse = sizeClass - kFineClasses - 1;
  const std::size_t octave = coarse >> kCoarseStepsBits;
  const std::size_t step = (kFineTop >> kCoarseStepsBits) << octave;
  return footprintOfRound((kFineTop << octave) + (coarse & ((1u << kCoarseStepsBits) - 1)) * step);
}

// The smallest class whose footprint is at least `footprint`.
constexpr std::size_t classAtOrAbove(std::size_t footprint) {
  const std::size_t below = classAtOrBelow(footprint);
  return footprintOfClass(below) < footprint ? below + 1 : below;
}

constexpr bool isSlotClass(std::size_t sizeClass) {
  return sizeClass <= kSlotClasses;
}

constexpr std::size_t payloadOfClass(std::size_t sizeClass) {
  return footprintOfClass(sizeClass) - (isSlotClass(sizeClass) ? 0 : kHeaderSize);
}

inline constexpr std::size_t kLastClass = classAtOrAbove(footprintOfRequest(kLargestCachedRequest));
inline constexpr std::size_t kClasses = kLastClass + 1;

// The classes of Blocks up to 4 KiB, which programs make and drop by the ten thousand: their
// lists and shelves may grow to hold whole bursts of them (thread_cache.cpp, depot.cpp).
inline constexpr std::size_t kLargestBurstFootprint = footprintOfRound(4096);

namespace detail {
// Above kFineTop every class's round size is a multiple of kCoarseGrain, so one table entry per
// kCoarseGrain of round size answers both directions without the arithmetic above.
inline constexpr std::size_t kCoarseGrain = kFineTop >> kCoarseStepsBits;
inline constexpr std::size_t kCoarseEntries =
    (footprintOfClass(kLastClass) - kCoarseHeader) / kCoarseGrain + 1;
struct ClassTables {
  std::uint8_t atOrAbove[kCoarseEntries];  // by (footprint - kCoarseHeader - 1) / kCoarseGrain
  std::uint8_t atOrBelow[kCoarseEntries];  // by (footprint - kCoarseHeader) / kCoarseGrain
};
constexpr ClassTables makeClassTables() {
  ClassTables tables{};
  for (std::size_t entry = 0; entry < kCoarseEntries; ++entry) {
    tables.atOrAbove[entry] =
        static_cast<std::uint8_t>(classAtOrAbove(footprintOfRound((entry + 1) * kCoarseGrain)));
    // The entry of the first coarse class also holds the footprints between it and kFineTop.
    const std::size_t least = footprintOfRound(entry * kCoarseGrain);
    tables.atOrBelow[entry] =
        static_cast<std::uint8_t>(classAtOrBelow(least > kFineTop ? least : kFineTop + 1));
  }
  return tables;
}
inline constexpr ClassTables kClassTables = makeClassTables();
}  // namespace detail

// The smallest class that serves `bytes`, for bytes up to kLargestCachedRequest.
constexpr std::size_t classOfRequest(std::size_t bytes) {
  if (bytes <= kLargestSlot) return bytes == 0 ? 1 : (bytes + kFineStep - 1) / kFineStep;
  const std::size_t footprint = footprintOfRequest(bytes);
  if (footprint <= kFineTop) return footprint / kFineStep;
  return detail::kClassTables.atOrAbove[(footprint - kCoarseHeader - 1) / detail::kCoarseGrain];
}

inline constexpr std::size_t kFirstClass = classOfRequest(0);
// The first class of Blocks, above the slots (in 64-bit the one after it, whose payload a slot
// holds, serves no request).
inline constexpr std::size_t kFirstBlockClass = classOfRequest(kLargestSlot + 1);

// classOfRequest for the fast path, which takes a request of 0 bytes as one of none: its class may
// lie below kFirstClass, whose lists are never opened, so that the slow path, which asks
// classOfRequest, serves it.
constexpr std::size_t listOfRequest(std::size_t bytes) {
  if (bytes <= kLargestSlot) return (bytes + kFineStep - 1) / kFineStep;
  const std::size_t footprint = (bytes + kHeaderSize + kFineStep - 1) & ~(kFineStep - 1);
  if (footprint <= kFineTop) return footprint / kFineStep;
  return detail::kClassTables.atOrAbove[(footprint - kCoarseHeader - 1) / detail::kCoarseGrain];
}
static_assert(listOfRequest(0) <= kFirstClass && listOfRequest(1) == kFirstClass &&
              listOfRequest(kFineTop) == classOfRequest(kFineTop) &&
              listOfRequest(kLargestCachedRequest) == kLastClass);

// The class a freed Block (not a slot) of `payloadBytes` goes back to, or 0 when it is kept by no
// class: Blocks too small for the Block classes (served while no run could be had, or cut down by
// an aligned request or a resize) go back to the heap.
constexpr std::size_t classOfPayload(std::size_t payloadBytes) {
  const std::size_t footprint = payloadBytes + kHeaderSize;
  if (footprint <= kFineTop) return payloadBytes > kLargestSlot ? footprint / kFineStep : 0;
  if (footprint > footprintOfClass(kLastClass)) return 0;
  return detail::kClassTables.atOrBelow[(footprint - kCoarseHeader) / detail::kCoarseGrain];
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

static_assert(kFirstClass == 1 && payloadOfClass(kFirstClass) == kFineStep,
              "the least slot is one step");
static_assert(classOfRequest(kLargestSlot) == kSlotClasses &&
              listOfRequest(kLargestSlot + 1) == kFirstBlockClass &&
              classOfPayload(payloadOfClass(kFirstBlockClass) - kFineStep) == 0);
static_assert(footprintOfClass(kFineClasses) == kFineTop);
static_assert(classAtOrBelow(footprintOfRound(kFineTop)) == kFineClasses + 1);
static_assert(classAtOrBelow(footprintOfRound(kFineTop) - kFineStep) == kFineClasses);
static_assert(classAtOrBelow(footprintOfRound(2 * kFineTop) - 1) == kFineClasses + 8);
static_assert(classAtOrBelow(footprintOfRound(2 * kFineTop)) == kFineClasses + 9);
static_assert(footprintOfClass(classAtOrBelow(40000)) == footprintOfRound(36864));
static_assert(classOfRequest(16384) == classAtOrBelow(footprintOfRound(16384)),
              "a round request takes the class of its round size");
static_assert(kLastClass == kFineClasses + 8 * 8 + 1, "256 KiB requests take the last round size");
static_assert(classOfRequest(kLargestCachedRequest) == kLastClass);
static_assert(classOfRequest(kFineTop) == kFineClasses + 1 && classOfRequest(1) == kFirstClass);
static_assert(classOfPayload(payloadOfClass(kLastClass)) == kLastClass);
static_assert(classOfPayload(payloadOfClass(kFineClasses + 3) + kUnit) == kFineClasses + 3);
// Every class, both ways: its footprints rise in whole steps, a request of its payload takes it
// and one byte more the next, and its Blocks go back to it, with a unit to spare or not (but for
// the last, whose Blocks with a unit to spare go to the heap); slots go to no Block class.
static_assert([] {
  for (std::size_t sizeClass = kFirstClass; sizeClass <= kLastClass; ++sizeClass) {
    if (sizeClass > kSlotClasses && sizeClass < kFirstBlockClass) continue;
    const std::size_t payload = payloadOfClass(sizeClass);
    const std::size_t blockClass = isSlotClass(sizeClass) ? 0 : sizeClass;
    if (footprintOfClass(sizeClass) % kFineStep != 0 || classOfRequest(payload) != sizeClass ||
        classOfPayload(payload) != blockClass) {
      return false;
    }
    if (sizeClass < kLastClass &&
        ((blockClass != 0 && classOfPayload(payload + kUnit) != blockClass) ||
         classOfRequest(payload + 1) !=
             (sizeClass == kSlotClasses ? kFirstBlockClass : sizeClass + 1) ||
         footprintOfClass(sizeClass + 1) <= footprintOfClass(sizeClass))) {
      return false;
    }
  }
  return true;
}());

}  // namespace velk::shim
