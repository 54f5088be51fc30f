// Runs: granules of the main heap carved into the slots of one slot class (size_classes.h), side
// by side and with no header between them. To the heap a run is one allocated Block, whose
// payload begins at the granule's first byte and ends before the header of the Block after it.
// What each slot is lies in a table of runs apart from the slots, found from any address in the
// granule: nothing a program writes past a slot, or into a freed one, can change it.
//
// A run's slots are carved in address order as refills ask for them, slots [1, carved): slot 0
// begins where the run Block's payload does, an address the heap's record names as that Block's,
// and stays unused. Carved slots pass through the threads' lists and the depot as cached Blocks
// do; when the depot gives them back they return to their run, onto its chain, linked and checked
// as lists are (thread_cache.h). The next refill of the class takes chained slots before it carves
// new ones, and a run whose every carved slot has come back is freed in the heap. All of it under
// the main heap's lock, but for slotClassAt, which a free asks without a lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "heap/heap.h"
#include "size_classes.h"
#include "thread_cache.h"

namespace velk::shim {

inline constexpr unsigned kRunShift = PayloadMap::kGranuleShift;
inline constexpr std::size_t kRunBytes = std::size_t{1} << kRunShift;
// The run Block's payload: the granule but for the header of the Block after it.
inline constexpr std::size_t kRunPayload = kRunBytes - kHeaderSize;
static_assert(kRunPayload % kUnit == 0 && kRunBytes <= kMaxAlign);

constexpr std::uint32_t slotsOfRun(std::size_t sizeClass) {
  return static_cast<std::uint32_t>(kRunPayload / footprintOfClass(sizeClass));
}

struct Run {
  // The class (low byte) and the slots carved so far, as one word that a free reads in one load:
  // 0 where the granule holds no run. Written under the lock.
  std::atomic<std::uint32_t> shape;
  // Slots carved and not come back (in use, on a list, in the depot), and slots on the chain.
  std::uint16_t out;
  std::uint16_t chained;
  CachedBlock* chain;
  // The granule: the run Block's payload.
  char* base;
  // The class's open runs: those with slots to hand out, chained or still to carve.
  Run* previous;
  Run* next;
};

namespace detail {
// A two-level table with an entry for every granule an address can lie in: a leaf for every
// 4 GiB, mapped on the first run there.
inline constexpr unsigned kLeafShift = 32;
inline constexpr std::size_t kLeafRuns = std::size_t{1} << (kLeafShift - kRunShift);
inline constexpr std::size_t kTopEntries =
    sizeof(void*) == 8 ? std::size_t{1} << (48 - kLeafShift) : 1;
extern std::atomic<Run*> runLeaves[kTopEntries];

// The top entry of `address`'s 4 GiB, or kTopEntries beyond the addresses the table covers.
inline std::size_t topOf(const void* address) {
  const std::uint64_t top =
      static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(address)) >> kLeafShift;
  return top < kTopEntries ? static_cast<std::size_t>(top) : kTopEntries;
}

// ceil(2^32 / footprint) for each slot class, 0 for class 0: (offset * reciprocal) >> 32 is the
// slot that holds an offset into a run, exactly, for every offset within one.
struct SlotReciprocals {
  std::uint64_t of[kSlotClasses + 1];
};
constexpr SlotReciprocals makeSlotReciprocals() {
  SlotReciprocals table{};
  for (std::size_t sizeClass = 1; sizeClass <= kSlotClasses; ++sizeClass) {
    const std::uint64_t footprint = footprintOfClass(sizeClass);
    table.of[sizeClass] = ((std::uint64_t{1} << 32) + footprint - 1) / footprint;
  }
  return table;
}
inline constexpr SlotReciprocals kSlotReciprocals = makeSlotReciprocals();
static_assert([] {
  for (std::size_t sizeClass = 1; sizeClass <= kSlotClasses; ++sizeClass) {
    for (std::uint64_t offset = 0; offset < kRunBytes; offset += 7) {
      if ((offset * kSlotReciprocals.of[sizeClass]) >> 32 != offset / footprintOfClass(sizeClass))
        return false;
    }
  }
  return true;
}());
}  // namespace detail

// The entry of the granule that holds `address`, or null where no run was ever made in its 4 GiB.
inline Run* runAt(const void* address) {
  const std::size_t top = detail::topOf(address);
  if (top == detail::kTopEntries) return nullptr;
  Run* leaf = detail::runLeaves[top].load(std::memory_order_acquire);
  if (leaf == nullptr) return nullptr;
  return leaf +
         ((reinterpret_cast<std::uintptr_t>(address) >> kRunShift) & (detail::kLeafRuns - 1));
}

// The class of the slot that begins at `address`, or 0 when no carved slot begins there. Asked
// without the lock by a free: a slot handed out was carved before, and its run stays while it is
// out.
inline std::size_t slotClassAt(const void* address) {
  const Run* run = runAt(address);
  if (run == nullptr) return 0;
  const std::uint32_t shape = run->shape.load(std::memory_order_relaxed);
  const std::uint32_t sizeClass = shape & 0xff;
  if (sizeClass == 0) return 0;
  const std::uint64_t offset = reinterpret_cast<std::uintptr_t>(address) & (kRunBytes - 1);
  const auto index =
      static_cast<std::uint32_t>((offset * detail::kSlotReciprocals.of[sizeClass]) >> 32);
  // Index 0 and indices from `carved` on fall out together.
  const bool carved = index - 1 < (shape >> 8) - 1;
  return carved && index * sizeClass * kFineStep == offset ? sizeClass : 0;
}

// Whether `payload` is a run's own Block, which no caller was handed: only its slots were.
inline bool isRunBlock(const void* payload) {
  if ((reinterpret_cast<std::uintptr_t>(payload) & (kRunBytes - 1)) != 0) return false;
  const Run* run = runAt(payload);
  return run != nullptr && (run->shape.load(std::memory_order_relaxed) & 0xff) != 0;
}

// Up to `count` slots of `sizeClass` into `slots`, chained ones first, then carved ones in address
// order; none when no run can be had. The caller holds the main heap's lock.
std::size_t takeSlots(Heap& heap, std::size_t sizeClass, void** slots, std::size_t count);
// Puts `slot`, a carved slot of `sizeClass` that a list held, back on its run's chain, and frees
// the run in the heap once all its slots are back. The caller holds the main heap's lock.
void returnSlot(Heap& heap, CachedBlock* slot, std::size_t sizeClass);

}  // namespace velk::shim
