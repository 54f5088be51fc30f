// Runs a call sequence on an engine of the replay's own, with segments placed as the traced run
// had them (replay_address_space.h), and watches the heap as it goes: figures over the call index
// for the timeline, the call at which the heap held the most, and the heap map at a chosen call.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "call_sequence.h"
#include "heap-map/heap_map.h"
#include "heap/heap.h"
#include "trace-log/trace_log.h"

namespace velk::replay {

inline constexpr std::uint64_t kUnknownMaxFree = ~std::uint64_t{0};

// The heap's figures after one call.
struct TimelinePoint {
  std::uint32_t call;  // 1-based call number
  std::uint32_t line;
  std::uint64_t totalAlloc;
  std::uint64_t totalFree;
  std::uint64_t maxFree;  // kUnknownMaxFree where the replay did not walk the heap
  std::uint64_t totalSize;
  std::uint32_t segments;
  std::uint64_t liveBlocks;
};

struct ReplayOptions {
  // Figures for about this many points over the run; 0 for none.
  std::uint32_t timelinePoints = 0;
  // Stop after this call (1-based; calls that do not reach the heap count too) and picture the
  // heap there; 0 runs to the end without a picture.
  std::uint32_t pictureAtCall = 0;
  bool pictureAtEnd = false;
};

struct ReplayResult {
  bool addressSpaceReady = false;
  HeapStats stats{};  // a snapshot at the end (or at the picture's call)
  std::uint32_t callsReplayed = 0;
  std::uint32_t peakCall = 0;  // the call after which the heap held the most (peak alloc)
  // Allocations whose payload lies where the traced run's did, of those the replay could compare.
  std::uint64_t placedAsTraced = 0;
  std::uint64_t placementsCompared = 0;
  std::uint32_t firstMisplacedLine = 0;
  std::uint64_t sizeAnswersDiffering = 0;  // MemSize answers unlike the traced run's
  std::uint32_t firstSizeDifferenceLine = 0;
  std::uint64_t nullsUnlikeTrace = 0;  // allocations that failed in one run and not the other
  std::size_t segmentRanges = 0;
  std::size_t rangesPlacedAsTraced = 0;
  double seconds = 0;
  std::vector<TimelinePoint> timeline;
  std::optional<heapmap::HeapPicture> picture;
};

ReplayResult replay(const tracelog::TraceLog& log, const CallSequence& sequence,
                    const ReplayOptions& options);

// The up-front segment the library makes at load.
inline constexpr std::size_t kUpFrontSize = 0x28000000;
inline constexpr std::size_t kUpFrontAlign = 16;

}  // namespace velk::replay
