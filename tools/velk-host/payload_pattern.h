// What the workloads write into every payload and check before they free it, and the seeded
// random source that picks their sizes. Shared by every workload.
#pragma once

#include <cstddef>
#include <cstdint>

#include "workloads.h"

namespace velk::host {

// splitmix64: small, fast, and the same sequence on every system for a given seed.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }
  std::uint32_t between(std::uint32_t low, std::uint32_t high) {
    return low + below(high - low + 1);
  }

 private:
  std::uint64_t state_;
};

// A payload a workload holds, with the mark its pattern was made from.
struct Held {
  unsigned char* payload;
  std::uint32_t size;
  unsigned char mark;
};

// Writes the pattern of `held.mark` into its payload: every byte of a small payload; of a large
// one the first and last 64 bytes and one byte in every 4 KiB, so that every page is touched
// without the workload turning into a memory copy.
void writePattern(const Held& held);
// Whether the payload still holds the pattern written into it.
bool patternIntact(const Held& held);

// MemAlloc's alignment for a request of `size` bytes, as the heap applies it.
std::uint32_t alignmentFor(std::uint32_t size);

// Allocates `size` bytes, checks the answer (not null, aligned, MemSize large enough) and writes
// the pattern. A null payload in the result means the call failed; it was counted as a fault.
Held allocateChecked(const AllocatorExports& exports, std::uint32_t size, unsigned char mark,
                     WorkloadResult& result);
// Checks the pattern, frees, and clears `held`.
void releaseChecked(const AllocatorExports& exports, Held& held, WorkloadResult& result);

}  // namespace velk::host
