// The seven entry points served by an engine linked into the host, for map mode: the library
// shows nothing of its heap but the log, so to draw a heap the host runs its own, behind the same
// exports, with the same alignment rule and request limit as MemAlloc.
#pragma once

#include "allocator_library.h"
#include "heap/heap.h"

namespace velk::host {

// Serves the returned exports from `heap` until the next call; one heap at a time.
AllocatorExports engineExports(Heap& heap);

}  // namespace velk::host
