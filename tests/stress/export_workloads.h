// Workloads that drive the loaded library through its exports. Each one checks what it can see
// from outside (alignment, sizes, payload patterns) and says what the unload report must show.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tests/stress/library_loader.h"
#include "tests/stress/thread_workload.h"

namespace velk::stress {

// What the report written at unload must show. Counts of -1 are not checked.
struct ExpectedReport {
  std::int64_t allocBlocks = 0;
  std::int64_t numFrees = -1;
  std::int64_t numAllocs = -1;
};

// Reports a failed check and ends the process with exit code 1.
[[noreturn]] void failStress(const char* what);

// Holds the report in the log of the current directory, written by the last unload, against what
// the host expects; fails when they differ, or when, with nothing allocated, a segment is not one
// free Block.
void checkReport(const ExpectedReport& expected);

// Threads (1 to 64) allocate, free, query and hand Blocks to one another to be freed there.
ExpectedReport runThreadStress(const AllocatorExports& exports, const RunOptions& options);

// Null, runtime-heap pointers, double frees, interior, unaligned and header pointers, and sizes
// at and beyond the limit, all mixed with live Blocks. With `freeLive` the live Blocks are freed
// at the end; otherwise they stay for the report to count.
ExpectedReport runBadInput(const AllocatorExports& exports, bool freeLive);

// Allocates mixed sizes, largest first, until the address space is exhausted at every size, then
// frees everything and checks the library serves again.
ExpectedReport runExhaustion(const AllocatorExports& exports);

}  // namespace velk::stress
