#include "library/lifetime.h"

#include "heap/report.h"
#include "library/log.h"

namespace velk::library {

bool teardownReleases = true;

// The static objects, all in this file so that they come up in the order written and go down
// in reverse.
Lasting<StaticLock> lastingLogLock;
Lasting<Heap> lastingHeap;
LoaderLink loaderLink;

void attach() {
  heap.setDamageHook(logDamageIfFound);
  if (!openLog()) return;
  std::FILE* file = logFile;
  std::fprintf(file, "Velk allocator loaded\n");
  // No other thread can call in before the loader returns, so the heap's lock is not taken.
  const bool made = heap.addSegment(kPreallocSize, kPreallocAlign);
  std::fprintf(file, "Pre-allocated 640M VA segment, result = %d\n", made ? 1 : 0);
  std::fflush(file);
}

void detach() {
  if (logFile == nullptr) return;
  // The figures are taken under the heap's lock alone; then the unload line, the report and the
  // closing are one piece under logLock, so that no trace line from a thread that still runs
  // falls inside them or reaches a closed stream.
  HeapStats stats;
  heap.snapshotStats(stats);
  StaticLockGuard guard(logLock);
  std::FILE* file = logFile;
  logDamageTotal(file);
  std::fprintf(file, "shutting down Velk allocator\n");
  printHeapReport(file, stats);
  closeLog();
}

}  // namespace velk::library
