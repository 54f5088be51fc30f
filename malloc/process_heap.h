// The one Heap of a process running under the shim: built in static storage on the first call
// into the shim, without calling malloc, and never torn down (exit handlers and other libraries'
// destructors may still free memory after every static object of ours is gone).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "heap/heap.h"

namespace velk::shim {

// What malloc promises: the alignment of max_align_t.
inline constexpr std::size_t kMallocAlign = 16;
// Payload sizes are chosen so that every Block ends where a header for an aligned payload can
// start: in the 64-bit heap (16-byte headers) every payload is a multiple of 16 and every payload
// stays aligned with no alignment request at all; the 32-bit heap (8-byte headers) asks the
// engine for the alignment.
inline constexpr std::size_t kHeaderSlack = kHeaderSize % kMallocAlign;
inline constexpr std::size_t kEngineAlign = kHeaderSlack == 0 ? kUnit : kMallocAlign;

// The payload bytes the shim asks for to serve `bytes`; `bytes` is at most kMaxRequestSize. Never
// less than one step: the engine would serve a request of 0 with a single unit, and the Block
// after it would start off the step.
constexpr std::size_t requestSize(std::size_t bytes) {
  const std::size_t least = bytes == 0 ? 1 : bytes;
  return ((least + kHeaderSize + kMallocAlign - 1) & ~(kMallocAlign - 1)) - kHeaderSize;
}
static_assert(requestSize(0) == kMallocAlign - kHeaderSlack && requestSize(16) == 32 - kHeaderSize);

namespace detail {
extern std::atomic<Heap*> readyHeap;
extern std::atomic<const PayloadMap*> readyRecord;
}  // namespace detail

// The heap, or null while the calling thread is the one building it (its own calls are then
// served from a small bootstrap buffer).
Heap* processHeap();
// Whether the process has ever had a second thread (as far as the C library tells; without its
// word, yes). Read only once the heap is built.
bool processEverThreaded();
// The heap once it is built, else null; never builds it.
inline Heap* heapIfBuilt() {
  return detail::readyHeap.load(std::memory_order_acquire);
}
// The heap's record of payloads once the heap is built, else a record of nothing: whichever it is,
// a lookup answers, so that a free need not ask first whether there is a heap.
inline const PayloadMap& mainRecord() {
  return *detail::readyRecord.load(std::memory_order_acquire);
}

// Counts `bytes` freed in the heap (the caller holds the heap lock) towards the next pass that
// gives idle pages back to the system (Heap::discardIdlePages), and makes that pass once they
// reach an eighth of the heap's size, or 16 MiB in a small heap. Frees reach the heap in batches
// or as large Blocks, so a pass costs a few system calls per many frees. True when the main heap
// grew since traffic was last noted: the caller then has the depot give back what it holds
// (depotGiveBack), once it has left the lock.
bool noteHeapTraffic(Heap& heap, std::size_t bytes);
// Gives back to the system the pages inside every free Block of `heap` (but the Blocks' first and
// last units, and Blocks of less than a few pages), now, whether idle or not: malloc_trim's work.
// Takes the heap's lock. Returns the bytes given back.
std::size_t trimHeap(Heap& heap);
// What noteHeapTraffic goes by, one for each heap; changed under the heap's lock only.
struct IdleTraffic {
  // Bytes carved and freed since the heap's last pass, and when that pass was made.
  std::size_t sincePass;
  std::uint64_t lastPassAt;
  // The heap's size when traffic was last noted.
  std::size_t sizeLastSeen;
};

// Memory for calls made while the heap is being built; never given back.
void* bootstrapAllocate(std::size_t bytes);
bool isBootstrap(const void* pointer);

// The C library's own functions, for pointers the heap did not make. Null until resolved.
struct RealFunctions {
  void (*free)(void*);
  void* (*realloc)(void*, std::size_t);
  std::size_t (*mallocUsableSize)(void*);
};
extern RealFunctions real;

}  // namespace velk::shim
