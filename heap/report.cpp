#include "heap/report.h"

#include <cinttypes>

namespace velk {

// Figures are as wide as an address ("%u" on 32-bit Windows); the event counters are unsigned
// 64-bit decimals, in whatever conversion the runtime library spells them.
#ifdef _WIN32
#define VELK_FIGURE "%u"
#else
#define VELK_FIGURE "%zu"
#endif
#define VELK_COUNTER "%" PRIu64

void printHeapReport(std::FILE* out, const HeapStats& stats) {
  std::fprintf(out, "HEAP STATS:\n");
  std::fprintf(out, "-----------\n");
  std::fprintf(out, "total size        : " VELK_FIGURE "\n", stats.totalSize);
  std::fprintf(out, "total alloc       : " VELK_FIGURE "\n", stats.totalAlloc);
  std::fprintf(out, "peak alloc (+bkpg): " VELK_FIGURE "\n", stats.peakAlloc);
  std::fprintf(out, "max alloc blk size: " VELK_FIGURE "\n", stats.maxAllocBlockSize);
  // With no free Block at all the ratio has no finite value.
  if (stats.maxFree == 0) {
    std::fprintf(out, "fragmentation     : n/a\n");
  } else {
    std::fprintf(
        out, "fragmentation     : %0.2lf%%\n",
        static_cast<double>(stats.totalSize) * 100.0 / static_cast<double>(stats.maxFree) - 100.0);
  }
  std::fprintf(out, "total free        : " VELK_FIGURE "\n", stats.totalFree);
  std::fprintf(out, "alloc blocks      : " VELK_FIGURE "\n", stats.allocBlocks);
  std::fprintf(out, "free blocks       : " VELK_FIGURE "\n", stats.freeBlocks);
  std::fprintf(out, "max alloc         : " VELK_FIGURE "\n", stats.maxAlloc);
  std::fprintf(out, "max free          : " VELK_FIGURE "\n", stats.maxFree);
  std::fprintf(out, "largest free chain: " VELK_FIGURE "\n", stats.largestFreeChain);
  std::fprintf(out, "num segments      : " VELK_FIGURE "\n", stats.numSegments);
  std::fprintf(out, "num allocs        : " VELK_COUNTER "\n", stats.numAllocs);
  std::fprintf(out, "num frees         : " VELK_COUNTER "\n", stats.numFrees);
  std::fprintf(out, "slow bucket       : " VELK_COUNTER "\n", stats.slowBucket);
  std::fprintf(out, "\n");
}

}  // namespace velk
