// The heap's calls rebuilt from a trace: each traced pointer mapped to the allocation that
// returned it, so that a free names the live Block it frees.
//
// The log's order is not quite the heap's. MemAlloc writes its line after leaving the heap's lock
// and MemFree before taking it, so with several threads an allocation may have happened earlier
// and a free later than their lines say. A pointer cannot be freed before its allocation's line is
// written (the caller does not have it yet), so for one pointer the lines keep their order; if a
// log ever shows a pointer handed out again while it is still live, the free still pending for it
// is taken to have come first, and its line, when it comes, is passed over.
#pragma once

#include <cstdint>
#include <vector>

#include "trace-log/trace_log.h"

namespace velk::replay {

enum class StepKind : std::uint8_t { kAlloc, kFree, kSize };

struct Step {
  std::uint32_t call;   // index into TraceLog::calls
  std::uint32_t slot;   // the allocation named; kNoSlot for an allocation that returned null
  std::uint32_t value;  // bytes asked for, or the size the traced run answered
  StepKind kind;
};

inline constexpr std::uint32_t kNoSlot = ~std::uint32_t{0};

struct CallSequence {
  std::vector<Step> steps;
  std::uint32_t slotCount = 0;
  // Calls that do not reach the heap's state, or name pointers the trace never returned.
  std::uint64_t unknownFrees = 0;
  std::uint64_t unknownSizeQueries = 0;
  std::uint64_t nullFrees = 0;
  std::uint64_t flushes = 0;
  std::uint64_t failedAllocations = 0;  // MemAlloc returned null
  std::uint64_t freesMovedEarlier = 0;  // a pointer handed out again while still live
  std::uint32_t firstUnknownFreeLine = 0;
  std::uint32_t threads = 0;
};

CallSequence buildCallSequence(const tracelog::TraceLog& log);

}  // namespace velk::replay
