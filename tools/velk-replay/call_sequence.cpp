#include "call_sequence.h"

#include <algorithm>
#include <unordered_map>

#include "pointer_slots.h"

namespace velk::replay {

using tracelog::CallKind;
using tracelog::TracedCall;

CallSequence buildCallSequence(const tracelog::TraceLog& log) {
  CallSequence sequence;
  sequence.steps.reserve(log.calls.size());
  PointerSlots live;
  // Pointers whose free was moved before a later allocation of the same pointer, with the number
  // of free lines still to pass over.
  std::unordered_map<std::uint64_t, std::uint32_t> freesAhead;
  std::vector<std::uint32_t> threads;
  std::uint32_t lastThread = 0;

  for (std::uint32_t index = 0; index < log.calls.size(); ++index) {
    const TracedCall& call = log.calls[index];
    if (call.thread != lastThread) {
      lastThread = call.thread;
      if (std::find(threads.begin(), threads.end(), call.thread) == threads.end()) {
        threads.push_back(call.thread);
      }
    }
    switch (call.kind) {
      case CallKind::kAlloc: {
        if (call.pointer == 0) {
          ++sequence.failedAllocations;
          sequence.steps.push_back({index, kNoSlot, call.value, StepKind::kAlloc});
          break;
        }
        const std::uint32_t earlier = live.find(call.pointer);
        if (earlier != PointerSlots::kNone) {
          sequence.steps.push_back({index, earlier, 0, StepKind::kFree});
          live.erase(call.pointer);
          ++freesAhead[call.pointer];
          ++sequence.freesMovedEarlier;
        }
        live.insert(call.pointer, sequence.slotCount);
        sequence.steps.push_back({index, sequence.slotCount++, call.value, StepKind::kAlloc});
        break;
      }
      case CallKind::kFree: {
        if (call.pointer == 0) {
          ++sequence.nullFrees;
          break;
        }
        if (!freesAhead.empty()) {
          const auto ahead = freesAhead.find(call.pointer);
          if (ahead != freesAhead.end()) {
            if (--ahead->second == 0) freesAhead.erase(ahead);
            break;
          }
        }
        const std::uint32_t slot = live.find(call.pointer);
        if (slot == PointerSlots::kNone) {
          if (sequence.unknownFrees++ == 0) sequence.firstUnknownFreeLine = call.line;
          break;
        }
        live.erase(call.pointer);
        sequence.steps.push_back({index, slot, 0, StepKind::kFree});
        break;
      }
      case CallKind::kSize: {
        if (call.pointer == 0) break;
        const std::uint32_t slot = live.find(call.pointer);
        if (slot == PointerSlots::kNone) {
          ++sequence.unknownSizeQueries;
          break;
        }
        sequence.steps.push_back({index, slot, call.value, StepKind::kSize});
        break;
      }
      case CallKind::kFlushCache:
      case CallKind::kFlushCacheAll:
        ++sequence.flushes;
        break;
    }
  }
  sequence.threads = static_cast<std::uint32_t>(threads.size());
  return sequence;
}

}  // namespace velk::replay
