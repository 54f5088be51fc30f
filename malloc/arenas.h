// Arenas: heaps beside the main one, for large requests made by threads side by side.
//
// A request no thread list serves (above the largest cached request, or aligned beyond what every
// Block has) takes a heap lock for as long as its search and carve take. With one heap, threads
// that make such requests side by side take turns at its lock, and run no faster than one; and
// the main heap's lock is also where every thread's lists are refilled. So a thread of a
// threaded process whose first requests above kLeastArenaRequest outnumber its small ones is
// given an arena: from then on those requests, and the refills of its lists of classes above that
// line, are carved there, so that it keeps its large free memory in one heap (its 100 KiB buffers
// can be cut from its freed 1 MiB ones). Threads are spread over the arenas in turn, up to one
// arena per processor the process may run on. A single-threaded program never has an arena, nor a
// thread whose large requests are rare among small ones: an arena's free memory serves its own
// threads alone, and with little traffic lies idle, to be given back and faulted in again (four
// threads that make one request in two thousand of up to 5 MiB ran twice as long with arenas).
//
// Every Block is freed, sized and resized in the heap whose record holds it, from any thread.
// Lists and shelves of classes above kLeastArenaRequest may hold Blocks of any heap, and each goes
// back to its own; those of smaller classes hold the main heap's alone. Arenas are built on first
// use, in static storage, and never torn down, as the main heap is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "heap/heap.h"
#include "process_heap.h"

namespace velk::shim {

// In a thread that has an arena, requests above this go to it. Blocks this large move between
// lists and the depot one at a time, so looking up each one's heap costs little beside them.
inline constexpr std::size_t kLeastArenaRequest = std::size_t{64} << 10;

// The heap that serves this thread `bytes`, whether for itself or for a list's refill, locked:
// the main heap, or for more than kLeastArenaRequest this thread's arena once it has one. Null
// while the main heap is being built.
Heap* lockHeapFor(std::size_t bytes);
// Counts a refill of a list of Blocks of `payloadBytes`, towards the choice of the thread's heap.
void noteRefill(std::size_t payloadBytes);

// The heap whose record holds `address`, and that record's bits for its granule; both null when
// no heap holds it. The main heap is looked at first.
struct Holder {
  Heap* heap;
  const Word* bits;
};
Holder holderOf(const void* address);
// The record of `heap`'s traffic since its last pass that gave idle pages back
// (noteHeapTraffic), when it is an arena; null for the main heap.
IdleTraffic* arenaTraffic(const Heap* heap);

// trimHeap for every arena built so far; the bytes given back.
std::size_t trimArenas();

// Damage found in the arenas so far (velk_malloc_damage_found adds it).
std::uint64_t arenaDamageFound();

// Every arena's lock, and the right to build one, for fork(): taken before, released in the
// parent and the child after.
void arenasLockAll();
void arenasUnlockAll();

}  // namespace velk::shim
