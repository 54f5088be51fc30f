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
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "heap/heap.h"
#include "tests/support/fake_address_space.h"

namespace {

using velk::Heap;
using velk::HeapLockGuard;

constexpr std::size_t kSmokeOperationsPerThread = 20000;
constexpr std::size_t kMaxLivePerThread = 256;
constexpr std::size_t kValidateEvery = 2000;
// Larger payloads carry their pattern at both ends only.
constexpr std::size_t kFullPatternBytes = 4096;
constexpr std::size_t kEdgePatternBytes = 512;

struct Options {
  bool timed = false;
  double seconds = 0;
  unsigned threads = 6;
  std::uint64_t seed = 0;
};

struct LiveBlock {
  unsigned char* payload;
  std::size_t size;
  std::uint32_t id;
};

unsigned char patternByte(std::uint32_t id, std::size_t offset) {
  return static_cast<unsigned char>(id * 131u + offset * 7u);
}

template <typename Visit>
void forPatternBytes(std::size_t size, Visit visit) {
  if (size <= kFullPatternBytes) {
    for (std::size_t offset = 0; offset < size; ++offset) visit(offset);
    return;
  }
  for (std::size_t offset = 0; offset < kEdgePatternBytes; ++offset) visit(offset);
  for (std::size_t offset = size - kEdgePatternBytes; offset < size; ++offset) visit(offset);
}

// A number below `bound`; the small bias of the modulo does not matter here.
std::size_t draw(std::mt19937_64& random, std::size_t bound) {
  return static_cast<std::size_t>(random() % bound);
}

void describeViolation(const char* violation) {
  std::fprintf(stderr, "heap_thread_stress: invariant broken: %s\n", violation);
}

[[noreturn]] void fail(const char* what, std::uint64_t seed) {
  std::fprintf(stderr, "heap_thread_stress: %s (seed %" PRIu64 ")\n", what, seed);
  std::abort();
}

class Stress {
 public:
  explicit Stress(const Options& options) : options_(options), heap_(space_) {}

  void run() {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (unsigned index = 0; index < options_.threads; ++index) {
      threads.emplace_back([this, index, start] { worker(index, start); });
    }
    for (std::thread& thread : threads) thread.join();
    for (const LiveBlock& block : exchange_) release(block);
    exchange_.clear();

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
                seed(), options_.threads, operations_.load(), handedOver_.load(), elapsed,
                heap_.segmentCount(), stats.peakAlloc, stats.freeBlocks);
  }

 private:
  std::uint64_t seed() const { return options_.seed; }

  void worker(unsigned index, std::chrono::steady_clock::time_point start) {
    std::mt19937_64 random(options_.seed * 1000003u + index);
    std::vector<LiveBlock> live;
    std::size_t done = 0;
    const auto deadline = start + std::chrono::duration<double>(options_.seconds);
    while (options_.timed ? (done % 256 != 0 || std::chrono::steady_clock::now() < deadline)
                          : done < kSmokeOperationsPerThread) {
      ++done;
      const unsigned choice = static_cast<unsigned>(draw(random, 100));
      if (choice < 45 && live.size() < kMaxLivePerThread) {
        live.push_back(allocate(random, index));
      } else if (choice < 65 && !live.empty()) {
        release(takeAt(live, draw(random, live.size())));
      } else if (choice < 80 && !live.empty()) {
        std::lock_guard<std::mutex> guard(exchangeLock_);
        exchange_.push_back(takeAt(live, draw(random, live.size())));
        handedOver_.fetch_add(1, std::memory_order_relaxed);
      } else if (choice < 95) {
        LiveBlock block{};
        {
          std::lock_guard<std::mutex> guard(exchangeLock_);
          if (exchange_.empty()) continue;
          block = takeAt(exchange_, draw(random, exchange_.size()));
        }
        release(block);
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

  static LiveBlock takeAt(std::vector<LiveBlock>& blocks, std::size_t index) {
    const LiveBlock block = blocks[index];
    blocks[index] = blocks.back();
    blocks.pop_back();
    return block;
  }

  LiveBlock allocate(std::mt19937_64& random, unsigned thread) {
    static constexpr std::size_t kAligns[] = {0, 4, 8, 16, 16, 16, 32, 64, 4096};
    const unsigned band = static_cast<unsigned>(draw(random, 100));
    const std::size_t size = band < 70   ? draw(random, 257)
                             : band < 95 ? 257 + draw(random, 16128)
                                         : 16384 + draw(random, 1u << 20);
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
    forPatternBytes(
        size, [&](std::size_t offset) { block.payload[offset] = patternByte(block.id, offset); });
    return block;
  }

  void release(const LiveBlock& block) {
    forPatternBytes(block.size, [&](std::size_t offset) {
      if (block.payload[offset] != patternByte(block.id, offset)) {
        fail("payload pattern overwritten", seed());
      }
    });
    HeapLockGuard guard(heap_);
    heap_.deallocate(block.payload);
  }

  Options options_;
  velk::testing::FakeAddressSpace space_;
  Heap heap_;
  std::mutex exchangeLock_;
  std::vector<LiveBlock> exchange_;
  std::atomic<std::uint32_t> nextId_{1};
  std::atomic<std::size_t> operations_{0};
  std::atomic<std::size_t> handedOver_{0};
};

Options parse(int argc, char** argv) {
  Options options;
  options.seed = std::random_device{}();
  for (int index = 1; index < argc; ++index) {
    const std::string argument = argv[index];
    const char* value = index + 1 < argc ? argv[index + 1] : nullptr;
    if (argument == "--smoke") {
      options.timed = false;
    } else if (argument == "--seconds" && value != nullptr) {
      options.timed = true;
      options.seconds = std::atof(value);
      ++index;
    } else if (argument == "--threads" && value != nullptr) {
      options.threads = static_cast<unsigned>(std::clamp(std::atoi(value), 1, 64));
      ++index;
    } else if (argument == "--seed" && value != nullptr) {
      options.seed = std::strtoull(value, nullptr, 10);
      ++index;
    } else {
      std::fprintf(stderr,
                   "usage: heap_thread_stress [--smoke | --seconds N] [--threads T] [--seed S]\n");
      std::exit(2);
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  std::printf("heap_thread_stress: seed %" PRIu64 " (replay with --seed)\n", options.seed);
  std::fflush(stdout);
  Stress stress(options);
  stress.run();
  return 0;
}
