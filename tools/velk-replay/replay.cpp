#include "replay.h"

#include <chrono>
#include <climits>

#include "library/export_requests.h"
#include "replay_address_space.h"

namespace velk::replay {
namespace {

// Blocks visited by all the walks for max free on a timeline together: about a second's work.
constexpr std::uint64_t kTimelineWalkBudget = 200'000'000;
// How far ahead an allocation of another thread is looked for that the heap served first.
constexpr std::size_t kLookahead = 16;
// How far below an allocation's header the Block served just before it may end: an alignment gap
// and a unit the split kept.
constexpr std::uint64_t kAdjacentSlack = 32;

// The replay frees only what it allocated; a pointer outside every segment cannot reach it.
void ignoreForeignPointer(void*) {}

// What MemSize answers for a Block of `bytes`: a count that does not fit 32 bits reads as 0.
std::uint32_t memSizeAnswer(std::ptrdiff_t bytes) {
  return bytes < 0 || bytes > INT32_MAX ? 0 : static_cast<std::uint32_t>(bytes);
}

std::uint64_t firstPayload(const tracelog::TraceLog& log) {
  for (const tracelog::TracedCall& call : log.calls) {
    if (call.kind == tracelog::CallKind::kAlloc && call.pointer != 0) return call.pointer;
  }
  return 0;
}

struct PendingFree {
  std::uint32_t thread;
  std::uint32_t slot;
};

class Replayer {
 public:
  Replayer(const tracelog::TraceLog& log, const CallSequence& sequence, ReplayResult& result)
      : log_(log),
        sequence_(sequence),
        result_(result),
        heap_(space_, LockPlacement::Inside, ignoreForeignPointer),
        payloads_(sequence.slotCount, nullptr),
        done_(sequence.threads > 1 ? sequence.steps.size() : 0, false) {
    result_.addressSpaceReady = space_.ready();
  }

  bool ready() const { return space_.ready(); }
  Heap& heap() { return heap_; }

  // The library makes its up-front segment at load when its log opens; a log without the line
  // was cut at the front, and the segment is assumed.
  void load() {
    if (log_.upFrontSegment.value_or(1) != 1) return;
    space_.setTracedPayload(firstPayload(log_));
    HeapLockGuard guard(heap_);
    heap_.addSegment(kUpFrontSize, kUpFrontAlign);
    peak_ = heap_.stats().peakAlloc;
  }

  void run(std::size_t index) {
    if (done_.empty()) return execute(index);
    if (done_[index]) return;
    const Step& step = sequence_.steps[index];
    const std::uint32_t thread = log_.calls[step.call].thread;
    freePending([&](const PendingFree& free) { return free.thread == thread; });
    switch (step.kind) {
      case StepKind::kFree:
        // MemFree writes its line before it takes the heap's lock, so other threads' calls may
        // reach the heap between the line and the free: it is done before the thread's next
        // call, or before an allocation that the traced run served from its Block.
        pending_.push_back({thread, step.slot});
        return;
      case StepKind::kAlloc:
        if (const std::uint64_t expected = expectedOf(step); expected != 0) {
          freePending([&](const PendingFree& free) {
            const auto start = reinterpret_cast<std::uintptr_t>(payloads_[free.slot]);
            const auto bytes = static_cast<std::uintptr_t>(heap_.blockSize(payloads_[free.slot]));
            return start != 0 && expected + kHeaderSize >= start && expected < start + bytes;
          });
        }
        runEarlierAllocations(index);
        break;
      case StepKind::kSize:
        break;
    }
    execute(index);
  }

  // Runs the frees still pending.
  void finish() {
    freePending([](const PendingFree&) { return true; });
  }

  void noteSegments() {
    result_.segmentRanges = space_.rangeCount();
    result_.rangesPlacedAsTraced = space_.rangesPlacedAsTraced();
  }

 private:
  std::uintptr_t expectedOf(const Step& step) const {
    const std::uint64_t traced = log_.calls[step.call].pointer;
    return traced == 0 ? 0 : space_.replayAddressOf(traced);
  }

  // MemAlloc writes its line after it leaves the heap's lock, so with several threads the heap
  // may have served an allocation before others whose lines come first. Where the traced run
  // carved a later-written allocation of another thread just below this one, out of the same
  // free Block, that one came first, and is run now.
  void runEarlierAllocations(std::size_t index) {
    const Step& step = sequence_.steps[index];
    std::uint64_t expected = expectedOf(step);
    if (expected == 0) return;
    std::uint32_t passedThreads[kLookahead];
    std::size_t passed = 0;
    const std::uint32_t thread = log_.calls[step.call].thread;
    const std::size_t end = std::min(sequence_.steps.size(), index + 1 + kLookahead);
    for (std::size_t next = index + 1; next < end; ++next) {
      const Step& later = sequence_.steps[next];
      const std::uint32_t laterThread = log_.calls[later.call].thread;
      if (done_[next] || laterThread == thread) continue;
      bool blocked = false;
      for (std::size_t i = 0; i < passed; ++i) blocked = blocked || passedThreads[i] == laterThread;
      if (!blocked && later.kind == StepKind::kAlloc) {
        const std::uint64_t laterExpected = expectedOf(later);
        const std::uint64_t laterEnd = laterExpected + later.value;
        if (laterExpected != 0 && laterExpected < expected && expected - kHeaderSize >= laterEnd &&
            expected - kHeaderSize - laterEnd < kAdjacentSlack) {
          freePending([&](const PendingFree& free) { return free.thread == laterThread; });
          execute(next);
          done_[next] = true;
          expected = laterExpected;
          continue;
        }
      }
      // A thread's calls reach the heap in the order of its lines: none of this thread's later
      // calls can come before this one.
      if (!blocked) passedThreads[passed++] = laterThread;
    }
  }

  template <typename Belongs>
  void freePending(Belongs belongs) {
    for (std::size_t i = 0; i < pending_.size();) {
      if (belongs(pending_[i])) {
        free(pending_[i].slot);
        pending_[i] = pending_.back();
        pending_.pop_back();
      } else {
        ++i;
      }
    }
  }

  void free(std::uint32_t slot) {
    HeapLockGuard guard(heap_);
    heap_.deallocate(payloads_[slot]);
    payloads_[slot] = nullptr;
  }

  void execute(std::size_t index) {
    const Step& step = sequence_.steps[index];
    const tracelog::TracedCall& call = log_.calls[step.call];
    switch (step.kind) {
      case StepKind::kAlloc:
        allocate(step, call);
        break;
      case StepKind::kFree:
        free(step.slot);
        break;
      case StepKind::kSize:
        if (memSizeAnswer(heap_.blockSize(payloads_[step.slot])) != step.value) {
          if (result_.sizeAnswersDiffering++ == 0) result_.firstSizeDifferenceLine = call.line;
        }
        break;
    }
  }

  void allocate(const Step& step, const tracelog::TracedCall& call) {
    void* payload = nullptr;
    // Above the limit MemAlloc answers null without asking the heap.
    if (step.value <= library::kLargestRequest) {
      space_.setTracedPayload(call.pointer);
      // A null in the trace means the system refused the segment this call needed.
      space_.refuseRequests(call.pointer == 0);
      HeapLockGuard guard(heap_);
      payload = heap_.allocate(step.value, library::alignmentFor(step.value));
    }
    space_.refuseRequests(false);
    if ((payload == nullptr) != (step.slot == kNoSlot)) ++result_.nullsUnlikeTrace;
    if (step.slot != kNoSlot) payloads_[step.slot] = payload;
    const std::uintptr_t expected = payload == nullptr ? 0 : expectedOf(step);
    if (expected != 0) {
      ++result_.placementsCompared;
      if (expected == reinterpret_cast<std::uintptr_t>(payload)) {
        ++result_.placedAsTraced;
      } else if (result_.firstMisplacedLine == 0) {
        result_.firstMisplacedLine = call.line;
      }
    }
    if (heap_.stats().peakAlloc > peak_) {
      peak_ = heap_.stats().peakAlloc;
      result_.peakCall = step.call + 1;
    }
  }

  const tracelog::TraceLog& log_;
  const CallSequence& sequence_;
  ReplayResult& result_;
  // Declared before the heap, which gives its segments back to it when it goes.
  ReplayAddressSpace space_;
  Heap heap_;
  std::vector<void*> payloads_;
  std::vector<bool> done_;            // steps run ahead of their turn; only with several threads
  std::vector<PendingFree> pending_;  // at most one per thread
  std::size_t peak_ = 0;
};

// The running figures are read as they stand; max free takes a walk over every Block, so it is
// taken only where `withMaxFree` is set and left as kUnknownMaxFree elsewhere.
TimelinePoint pointOf(Heap& heap, const tracelog::TracedCall& call, std::uint32_t number,
                      bool withMaxFree) {
  HeapStats stats = heap.stats();
  std::uint64_t maxFree = kUnknownMaxFree;
  if (withMaxFree) maxFree = heap.snapshotStats(stats).maxFree;
  return {number,
          call.line,
          stats.totalAlloc,
          stats.totalFree,
          maxFree,
          stats.totalSize,
          static_cast<std::uint32_t>(heap.segmentCount()),
          stats.allocBlocks};
}

}  // namespace

ReplayResult replay(const tracelog::TraceLog& log, const CallSequence& sequence,
                    const ReplayOptions& options) {
  ReplayResult result;
  Replayer replayer(log, sequence, result);
  if (!replayer.ready()) return result;
  replayer.load();

  const std::uint32_t callCount = static_cast<std::uint32_t>(log.calls.size());
  const std::uint32_t sampleEvery =
      options.timelinePoints == 0 ? 0
                                  : std::max<std::uint32_t>(1, callCount / options.timelinePoints);
  std::uint32_t nextSample = 0;
  std::uint32_t nextWalk = 0;
  const auto started = std::chrono::steady_clock::now();
  for (std::size_t index = 0; index < sequence.steps.size(); ++index) {
    const std::uint32_t number = sequence.steps[index].call + 1;
    if (options.pictureAtCall != 0 && number > options.pictureAtCall) break;
    replayer.run(index);
    result.callsReplayed = number;
    if (sampleEvery != 0 && number >= nextSample) {
      // Walks are spaced so that all of them together visit about kTimelineWalkBudget Blocks.
      const bool walk = number >= nextWalk;
      result.timeline.push_back(pointOf(replayer.heap(), log.calls[number - 1], number, walk));
      nextSample = number + sampleEvery;
      if (walk) {
        const HeapStats& stats = replayer.heap().stats();
        const std::uint64_t blocks = stats.allocBlocks + stats.freeBlocks + 1;
        nextWalk = number + static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                UINT32_MAX, blocks * callCount / kTimelineWalkBudget));
      }
    }
  }
  replayer.finish();
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (sampleEvery != 0 && result.callsReplayed != 0 &&
      (result.timeline.empty() || result.timeline.back().call != result.callsReplayed)) {
    result.timeline.push_back(
        pointOf(replayer.heap(), log.calls[result.callsReplayed - 1], result.callsReplayed, true));
  }
  if (options.pictureAtCall != 0) result.callsReplayed = std::min(options.pictureAtCall, callCount);
  replayer.heap().snapshotStats(result.stats);
  if (options.pictureAtCall != 0 || options.pictureAtEnd) {
    result.picture = heapmap::takeHeapPicture(replayer.heap());
  }
  replayer.noteSegments();
  return result;
}

}  // namespace velk::replay
