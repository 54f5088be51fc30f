#include "library/lifetime.h"

#include "heap/report.h"
#include "library/log.h"

namespace velk::library {

// The static objects, all in this file so that they come up in the order written and go down
// in reverse.
StaticLock logLock;
Heap heap;
LoaderLink loaderLink;

void attach() {
  if (!openLog()) return;
  std::fprintf(logFile, "Velk allocator loaded\n");
  // No other thread can call in before the loader returns, so the heap's lock is not taken.
  const bool made = heap.addSegment(kPreallocSize, kPreallocAlign);
  std::fprintf(logFile, "Pre-allocated 640M VA segment, result = %d\n", made ? 1 : 0);
  std::fflush(logFile);
}

void detach() {
  if (logFile == nullptr) return;
  std::fprintf(logFile, "shutting down Velk allocator\n");
  writeHeapReport();
  closeLog();
}

void writeHeapReport() {
  if (logFile == nullptr) return;
  HeapStats stats;
  heap.snapshotStats(stats);
  StaticLockGuard guard(logLock);
  printHeapReport(logFile, stats);
  std::fflush(logFile);
}

}  // namespace velk::library
