#include "runs.h"

#include "pal/pal.h"

namespace velk::shim {

namespace detail {
std::atomic<Run*> runLeaves[kTopEntries];
}  // namespace detail

namespace {

// Each class's open runs; the one in front serves refills until it has nothing left to hand out.
Run* openRuns[kSlotClasses + 1];

void openRun(Run* run, std::size_t sizeClass) {
  run->previous = nullptr;
  run->next = openRuns[sizeClass];
  if (run->next != nullptr) run->next->previous = run;
  openRuns[sizeClass] = run;
}

void closeRun(Run* run, std::size_t sizeClass) {
  (run->previous != nullptr ? run->previous->next : openRuns[sizeClass]) = run->next;
  if (run->next != nullptr) run->next->previous = run->previous;
}

// Whether `run` is on its class's list of open runs: it has chained slots, or slots to carve.
bool isOpen(const Run* run, std::size_t sizeClass) {
  return run->chain != nullptr ||
         (run->shape.load(std::memory_order_relaxed) >> 8) < slotsOfRun(sizeClass);
}

// The entry of the granule at `base`, its leaf mapped first if need be; null when the system
// refuses the leaf.
Run* entryFor(void* base) {
  const std::size_t top = detail::topOf(base);
  if (top == detail::kTopEntries) return nullptr;
  if (detail::runLeaves[top].load(std::memory_order_relaxed) == nullptr) {
    void* leaf = pal::mapRecords(detail::kLeafRuns * sizeof(Run));
    if (leaf == nullptr) return nullptr;
    detail::runLeaves[top].store(static_cast<Run*>(leaf), std::memory_order_release);
  }
  return runAt(base);
}

// A new run of `sizeClass`, open, or null when the heap has no granule to give.
Run* makeRun(Heap& heap, std::size_t sizeClass) {
  void* base = heap.allocate(kRunPayload, kRunBytes);
  if (base == nullptr) return nullptr;
  Run* run = entryFor(base);
  if (run == nullptr) {
    heap.deallocate(base);
    return nullptr;
  }
  run->out = 0;
  run->chained = 0;
  run->chain = nullptr;
  run->base = static_cast<char*>(base);
  // Slot 0 is never carved.
  run->shape.store(static_cast<std::uint32_t>(sizeClass) | 1u << 8, std::memory_order_relaxed);
  openRun(run, sizeClass);
  return run;
}

}  // namespace

std::size_t takeSlots(Heap& heap, std::size_t sizeClass, void** slots, std::size_t count) {
  const std::size_t footprint = footprintOfClass(sizeClass);
  const std::uint32_t most = slotsOfRun(sizeClass);
  std::size_t got = 0;
  while (got < count) {
    Run* run = openRuns[sizeClass];
    if (run == nullptr && (run = makeRun(heap, sizeClass)) == nullptr) break;
    // Chained slots first. A link whose check fails, or a chain longer than its count (a slot
    // freed twice, its check broken in between), drops the rest of the chain: its slots are free
    // all the same, and go back to the heap with the run once every slot out has come back.
    while (got < count && run->chain != nullptr) {
      CachedBlock* slot = run->chain;
      if (run->chained == 0 || !linkHolds(slot, sizeClass)) [[unlikely]] {
        noteDamage();
        run->chain = nullptr;
        run->chained = 0;
        break;
      }
      run->chain = slot->next;
      run->chained -= 1;
      run->out += 1;
      slots[got++] = slot;
    }
    const std::uint32_t shape = run->shape.load(std::memory_order_relaxed);
    const std::uint32_t carved = shape >> 8;
    const std::size_t wanted = count - got;
    const std::uint32_t carving =
        most - carved < wanted ? most - carved : static_cast<std::uint32_t>(wanted);
    for (std::uint32_t index = carved; index < carved + carving; ++index)
      slots[got++] = run->base + index * footprint;
    run->out = static_cast<std::uint16_t>(run->out + carving);
    run->shape.store(shape + (carving << 8), std::memory_order_relaxed);
    if (!isOpen(run, sizeClass)) closeRun(run, sizeClass);
  }
  return got;
}

void returnSlot(Heap& heap, CachedBlock* slot, std::size_t sizeClass) {
  Run* run = runAt(slot);
  // A list holds only carved slots of its class, and a run stays while any is out; anything else
  // is a slot that came back once already (freed twice, its check broken in between).
  if (run == nullptr || (run->shape.load(std::memory_order_relaxed) & 0xff) != sizeClass ||
      run->out == 0) [[unlikely]] {
    noteDamage();
    return;
  }
  const bool wasOpen = isOpen(run, sizeClass);
  link(slot, run->chain, sizeClass);
  run->chain = slot;
  run->chained += 1;
  run->out -= 1;
  if (run->out != 0) {
    if (!wasOpen) openRun(run, sizeClass);
    return;
  }
  if (wasOpen) closeRun(run, sizeClass);
  run->shape.store(0, std::memory_order_relaxed);
  run->chain = nullptr;
  run->chained = 0;
  heap.deallocate(run->base);
}

}  // namespace velk::shim
