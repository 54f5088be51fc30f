// Thread stress of the heap engine: several threads allocate, free, query and hand Blocks to one
// another through one Heap over the fake address space, taking the heap's lock around every
// operation, as the library's exports do. Payload patterns are checked before every free; the
// heap is validated now and then under its lock, and at the end nothing may be lost.
//
//   heap_thread_stress [--smoke | --seconds N] [--threads T] [--seed S]
//
// --smoke (the default) runs a fixed number of operations per thread, a few seconds in CI and
// under the thread sanitizer; --seconds runs each thread until the time is up.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <vector>

#include "heap/heap.h"
#include "tests/stress/payload_pattern.h"
#include "tests/stress/thread_workload.h"
#include "tests/support/fake_address_space.h"

namespace {

using velk::Heap;
using velk::HeapLockGuard;
using velk::stress::draw;
using velk::stress::RunOptions;
using velk::stress::takeAt;

constexpr std::size_t kMaxLivePerThread = 256;
constexpr std::size_t kValidateEvery = 2000;
constexpr velk::stress::PayloadPattern kPattern{131u, 7u, 0xFFu, 4096, 512};
constexpr velk::stress::SizeBands kSizes{257, 16128, 16384, 1u << 20};

struct LiveBlock {
  unsigned char* payload;
  std::size_t size;
  std::uint32_t id;
};

void describeViolation(const char* violation) {
  std::fprintf(stderr, "heap_thread_stress: invariant broken: %s\n", violation);
}

[[noreturn]] void fail(const char* what, std::uint64_t seed) {
  std::fprintf(stderr, "heap_thread_stress: %s (seed %" PRIu64 ")\n", what, seed);
  std::abort();
}

class Stress {
 public:
  Stress(const RunOptions& options, unsigned threads)
      : options_(options), threads_(threads), heap_(space_) {}

  void run() {
    const auto start = std::chrono::steady_clock::now();
    velk::stress::runThreads(threads_, [&](unsigned index) { worker(index, start); });
    for (const LiveBlock& block : exchange_.drain()) release(block);

    if (heap_.validate(describeViolation) != 0) fail("the heap is broken at the end", seed());
    const velk::HeapStats& stats = heap_.stats();
    if (stats.allocBlocks != 0 || stats.totalAlloc != 0) fail("allocated Blocks lost", seed());
    if (stats.freeBlocks != static_cast<std::size_t>(heap_.segmentCount())) {
      fail("a segment is not one free Block after freeing all", seed());
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("heap_thread_stress: seed %" PRIu64
                ", %u threads, %zu operations (%zu handed over) in "
                "%.1f s; %d segments, peak %zu bytes; alloc blocks 0, free blocks %zu\n",
                seed(), threads_, operations_.load(), exchange_.handedOver(), elapsed,
                heap_.segmentCount(), stats.peakAlloc, stats.freeBlocks);
  }

 private:
  std::uint64_t seed() const { return options_.seed; }

  void worker(unsigned index, std::chrono::steady_clock::time_point start) {
    std::mt19937_64 random(options_.seed * 1000003u + index);
    std::vector<LiveBlock> live;
    std::size_t done = 0;
    const velk::stress::WorkerPace pace(options_, start);
    while (pace.goesOn(done)) {
      ++done;
      const unsigned choice = static_cast<unsigned>(draw(random, 100));
      if (choice < 45 && live.size() < kMaxLivePerThread) {
        live.push_back(allocate(random, index));
      } else if (choice < 65 && !live.empty()) {
        release(takeAt(live, draw(random, live.size())));
      } else if (choice < 80 && !live.empty()) {
        exchange_.put(takeAt(live, draw(random, live.size())));
      } else if (choice < 95) {
        const std::optional<LiveBlock> block = exchange_.take(random);
        if (!block) continue;
        release(*block);
      } else if (!live.empty()) {
        const LiveBlock& block = live[draw(random, live.size())];
        if (static_cast<std::size_t>(heap_.blockSize(block.payload)) < block.size) {
          fail("blockSize below the size asked for", seed());
        }
      }
      if (done % kValidateEvery == 0) {
        HeapLockGuard guard(heap_);
        if (heap_.validate(describeViolation) != 0) fail("the heap is broken", seed());
      }
    }
    for (const LiveBlock& block : live) release(block);
    operations_.fetch_add(done, std::memory_order_relaxed);
  }

  LiveBlock allocate(std::mt19937_64& random, unsigned thread) {
    static constexpr std::size_t kAligns[] = {0, 4, 8, 16, 16, 16, 32, 64, 4096};
    const std::size_t size = kSizes.pick(random);
    const std::size_t align = kAligns[draw(random, std::size(kAligns))];
    void* pointer;
    {
      HeapLockGuard guard(heap_);
      pointer = heap_.allocate(size, align);
    }
    if (pointer == nullptr) fail("an allocation failed", seed());
    const std::size_t served = align <= velk::kUnit ? velk::kUnit : align;
    if (reinterpret_cast<std::uintptr_t>(pointer) % served != 0) fail("misaligned payload", seed());
    const LiveBlock block{static_cast<unsigned char*>(pointer), size,
                          nextId_.fetch_add(1, std::memory_order_relaxed) ^ (thread << 24)};
    kPattern.fill(block.payload, block.size, block.id);
    return block;
  }

  void release(const LiveBlock& block) {
    if (!kPattern.holds(block.payload, block.size, block.id)) {
      fail("payload pattern overwritten", seed());
    }
    HeapLockGuard guard(heap_);
    heap_.deallocate(block.payload);
  }

  const RunOptions& options_;
  unsigned threads_;
  velk::testing::FakeAddressSpace space_;
  Heap heap_;
  velk::stress::HandOffQueue<LiveBlock> exchange_;
  std::atomic<std::uint32_t> nextId_{1};
  std::atomic<std::size_t> operations_{0};
};

RunOptions parse(int argc, char** argv) {
  RunOptions options;
  options.seed = std::random_device{}();
  for (int index = 1; index < argc; ++index) {
    if (!velk::stress::readRunOption(argc, argv, index, options)) {
      std::fprintf(stderr,
                   "usage: heap_thread_stress [--smoke | --seconds N] [--threads T] [--seed S]\n");
      std::exit(2);
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const RunOptions options = parse(argc, argv);
  std::printf("heap_thread_stress: seed %" PRIu64 " (replay with --seed)\n", options.seed);
  std::fflush(stdout);
  Stress stress(options, static_cast<unsigned>(std::clamp(options.threads, 1, 64)));
  stress.run();
  return 0;
}
