// The depot: batches of cached Blocks that threads leave for one another, one shelf per class.
// A thread whose list of a class runs over puts a batch here; a thread whose list runs dry takes
// one before it asks the engine. Blocks handed from producing to consuming threads, and from
// threads that exit to their successors, go round through here without the heap lock and without
// the bins. Every Block on a shelf is still an allocated Block to the heap.
//
// Each shelf has a lock of its own, held only to put or take one batch, never together with the
// heap lock or another shelf's. A shelf's room grows under bursts of frees and shrinks when what
// it holds lies idle; a full shelf sends the batch on to the engine; and when the heap has to grow,
// every shelf gives back what it holds (depot.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "heap/heap.h"

namespace velk::shim {

// A chain of Blocks linked through their first unit (CachedBlock::next), ending in null.
struct Batch {
  void* head;
  std::uint32_t count;
};

// Leaves `batch` of class `sizeClass` for another thread; when the shelf is full, frees its
// Blocks in the heap instead (and, from a shelf that lies idle, the newest batches beyond its
// shrunken room with them).
void depotPut(std::size_t sizeClass, Batch batch);
// A batch of `sizeClass`, or {null, 0} when the shelf is empty.
Batch depotTake(std::size_t sizeClass);
// Frees every Block on every shelf in the heap, and lets each shelf start again from its first
// room: for when the heap had to grow. Takes each shelf's lock in turn, and the heap lock after
// it, never together.
void depotGiveBack();

// Every shelf's lock, for fork(): taken before, released in the parent and the child after.
void depotLockAll();
void depotUnlockAll();
// Creates the shelves' locks; called once while the heap is being built.
void prepareDepot();

}  // namespace velk::shim
