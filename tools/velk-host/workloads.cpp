#include "workloads.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "payload_pattern.h"

namespace velk::host {
namespace {

// Mostly small requests, some page-sized ones and a few large ones, as a typical host makes.
std::uint32_t mixedSize(Random& random) {
  const std::uint32_t pick = random.below(100);
  if (pick < 70) return random.below(257);
  if (pick < 95) return 257 + random.below(8192 - 257);
  if (pick < 99) return 8192 + random.below(256 * 1024);
  return 256 * 1024 + random.below(2 * 1024 * 1024);
}

// Object-sized requests, most of them under 64 bytes.
std::uint32_t smallSize(Random& random) {
  return random.below(4) == 0 ? random.between(65, 256) : random.between(1, 64);
}

// Buffers from 64 KiB to 4 MiB.
std::uint32_t largeSize(Random& random) {
  return random.between(64 * 1024, 4 * 1024 * 1024);
}

// Spread evenly over the powers of two from 8 bytes to 64 KiB, so that each freed hole is rarely
// the size of the next request: the heap is left with holes between live payloads.
std::uint32_t churnSize(Random& random) {
  const std::uint32_t low = 8u << random.below(13);
  return random.between(low, 2 * low - 1);
}

// A workload over a pool of slots per thread. Each operation picks a slot: an empty one gets a
// fresh payload; a held one is freed, and with `replace` at once refilled with a new size, which
// keeps the live set full while its sizes keep changing.
struct SlotPlan {
  std::uint32_t slots;  // over all threads
  std::uint32_t (*size)(Random& random);
  bool replace;
};

constexpr std::uint64_t kProgressBatch = 1024;

// Holds every thread until all have arrived, then runs the atPeak hook on the last one, before any
// of them frees its slots. A mutex and a condition variable rather than std::barrier, whose
// waiting under the mingw runtime has been seen to hang.
class PeakBarrier {
 public:
  PeakBarrier(unsigned threads, const WorkloadOptions& options)
      : waiting_(threads), options_(options) {}
  void arriveAndWait() {
    std::unique_lock<std::mutex> guard(mutex_);
    if (--waiting_ == 0) {
      if (options_.atPeak) options_.atPeak();
      allArrived_.notify_all();
      return;
    }
    allArrived_.wait(guard, [this] { return waiting_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable allArrived_;
  unsigned waiting_;
  const WorkloadOptions& options_;
};

WorkloadResult runSlotThread(const AllocatorExports& exports, const WorkloadOptions& options,
                             const SlotPlan& plan, unsigned index, PeakBarrier& peak) {
  Random random(options.seed + 0x1000193ull * index);
  WorkloadResult result;
  const std::uint32_t slotCount = std::max<std::uint32_t>(1, plan.slots / options.threads);
  std::vector<Held> slots(slotCount, Held{nullptr, 0, 0});
  const std::uint64_t ops = opsOfThread(options, index, options.threads);
  std::uint64_t unreported = 0;
  for (std::uint64_t op = 0; op < ops;) {
    Held& held = slots[random.below(slotCount)];
    const std::uint64_t before = result.allocations + result.frees;
    if (held.payload != nullptr) releaseChecked(exports, held, result);
    if (held.payload == nullptr && (before == result.allocations + result.frees || plan.replace)) {
      held = allocateChecked(exports, plan.size(random), static_cast<unsigned char>(op), result);
    }
    const std::uint64_t done = result.allocations + result.frees - before;
    op += done;
    unreported += done;
    if (unreported >= kProgressBatch) {
      noteOps(options, unreported);
      unreported = 0;
    }
  }
  noteOps(options, unreported);
  peak.arriveAndWait();
  for (Held& held : slots) {
    if (held.payload != nullptr) releaseChecked(exports, held, result);
  }
  return result;
}

WorkloadResult runSlots(const AllocatorExports& exports, const WorkloadOptions& options,
                        const SlotPlan& plan) {
  const unsigned threadCount = std::max(1u, options.threads);
  WorkloadOptions threadOptions = options;
  threadOptions.threads = threadCount;
  PeakBarrier peak(threadCount, options);
  std::vector<WorkloadResult> results(threadCount);
  std::vector<std::thread> threads;
  for (unsigned index = 1; index < threadCount; ++index) {
    threads.emplace_back(
        [&, index] { results[index] = runSlotThread(exports, threadOptions, plan, index, peak); });
  }
  results[0] = runSlotThread(exports, threadOptions, plan, 0, peak);
  for (std::thread& thread : threads) thread.join();
  WorkloadResult total;
  for (const WorkloadResult& result : results) total += result;
  // The flushes and totals are part of the interface even though they report nothing.
  if (exports.memFlushCache(0) != 0) ++total.faults;
  exports.memFlushCacheAll();
  if (exports.memTotalReserved() != 0 || exports.memTotalCommitted() != 0) ++total.faults;
  return total;
}

WorkloadResult runMixed(const AllocatorExports& exports, const WorkloadOptions& options) {
  return runSlots(exports, options, {1024, mixedSize, false});
}

WorkloadResult runSmall(const AllocatorExports& exports, const WorkloadOptions& options) {
  return runSlots(exports, options, {4096, smallSize, false});
}

WorkloadResult runLarge(const AllocatorExports& exports, const WorkloadOptions& options) {
  return runSlots(exports, options, {32, largeSize, false});
}

WorkloadResult runChurn(const AllocatorExports& exports, const WorkloadOptions& options) {
  return runSlots(exports, options, {4096, churnSize, true});
}

// No calls at all: the log then shows the heap as the load left it.
WorkloadResult runEmpty(const AllocatorExports&, const WorkloadOptions& options) {
  if (options.atPeak) options.atPeak();
  return {};
}

const Workload kWorkloads[] = {
    {"empty", "no calls: load and unload only", runEmpty},
    {"mixed", "random allocations and frees of mixed sizes over 1024 slots; frees everything",
     runMixed},
    {"small", "random allocations and frees of 1 to 256 bytes over 4096 slots", runSmall},
    {"large", "random allocations and frees of 64 KiB to 4 MiB over 32 slots", runLarge},
    {"churn", "4096 live payloads of 8 bytes to 64 KiB, each freed and replaced at random",
     runChurn},
    {"producer-consumer",
     "producers allocate and pass payloads through a bounded queue to consumers, which check "
     "and free them",
     runProducerConsumer},
};

}  // namespace

std::span<const Workload> workloads() {
  return kWorkloads;
}

const Workload* findWorkload(std::string_view name) {
  for (const Workload& workload : kWorkloads) {
    if (name == workload.name) return &workload;
  }
  return nullptr;
}

std::uint64_t opsOfThread(const WorkloadOptions& options, unsigned index, unsigned count) {
  return options.ops / count + (index < options.ops % count ? 1 : 0);
}

void noteOps(const WorkloadOptions& options, std::uint64_t count) {
  if (options.opsDone != nullptr && count != 0) {
    options.opsDone->fetch_add(count, std::memory_order_relaxed);
  }
}

}  // namespace velk::host
