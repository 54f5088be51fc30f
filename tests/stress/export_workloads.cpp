#include "tests/stress/export_workloads.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <vector>

#include "tests/stress/log_report.h"
#include "tests/stress/payload_pattern.h"

namespace velk::stress {
namespace {

// The header in front of every payload: two address-wide words.
constexpr std::uintptr_t kHeaderBytes = 2 * sizeof(void*);
// The top bit of every pattern byte is clear, since bad pointers make the library look at
// payloads. Larger payloads carry their pattern at both ends only, so that exhausting the address
// space does not also exhaust memory.
constexpr PayloadPattern kPattern{29u, 13u, 0x7Fu, 4096, 64};
constexpr SizeBands kSizes{257, 16128, 16384, 1u << 20};

struct LiveBlock {
  unsigned char* payload;
  std::uint32_t size;
  std::uint32_t id;
};

void checkPattern(const LiveBlock& block) {
  if (!kPattern.holds(block.payload, block.size, block.id)) {
    failStress("payload pattern overwritten");
  }
}

// The alignment MemAlloc promises for a size.
std::uintptr_t promisedAlignment(std::uint32_t size) {
  return size >= 16 ? 16 : size >= 8 ? 8 : 4;
}

// Allocates through the export and checks what a host can see; null passes through.
LiveBlock allocateChecked(const AllocatorExports& exports, std::uint32_t size, std::uint32_t id) {
  auto* payload = static_cast<unsigned char*>(exports.memAlloc(size));
  const LiveBlock block{payload, size, id};
  if (payload == nullptr) return block;
  if (reinterpret_cast<std::uintptr_t>(payload) % promisedAlignment(size) != 0) {
    failStress("MemAlloc returned a misaligned payload");
  }
  const std::int32_t usable = exports.memSize(payload);
  if (usable < static_cast<std::int64_t>(std::max<std::uint32_t>(size, 4)) &&
      !(usable == 0 && size > INT32_MAX)) {
    failStress("MemSize below the size asked for");
  }
  kPattern.fill(block.payload, block.size, block.id);
  return block;
}

void freeChecked(const AllocatorExports& exports, const LiveBlock& block) {
  checkPattern(block);
  exports.memFree(block.payload);
}

class ThreadStress {
 public:
  ThreadStress(const AllocatorExports& exports, const RunOptions& options)
      : exports_(exports), options_(options) {}

  ExpectedReport run() {
    const auto start = std::chrono::steady_clock::now();
    runThreads(static_cast<unsigned>(options_.threads),
               [&](unsigned index) { worker(index, start); });
    const std::vector<LiveBlock> left = exchange_.drain();
    for (const LiveBlock& block : left) freeChecked(exports_, block);
    frees_ += left.size();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("threads: seed %" PRIu64
                ", %u threads, %zu operations, %zu allocations, %zu handed to another thread, "
                "%.1f s\n",
                options_.seed, options_.threads, operations_.load(), allocations_.load(),
                exchange_.handedOver(), elapsed);
    ExpectedReport expected;
    expected.numAllocs = static_cast<std::int64_t>(allocations_.load());
    expected.numFrees = static_cast<std::int64_t>(frees_.load());
    return expected;
  }

 private:
  void worker(unsigned index, std::chrono::steady_clock::time_point start) {
    std::mt19937_64 random(options_.seed * 7919u + index);
    std::vector<LiveBlock> live;
    std::size_t done = 0;
    std::size_t frees = 0;
    const WorkerPace pace(options_, start);
    while (pace.goesOn(done)) {
      ++done;
      const std::size_t choice = draw(random, 100);
      if (choice < 45 && live.size() < 256) {
        const std::size_t size = kSizes.pick(random);
        const LiveBlock block =
            allocateChecked(exports_, static_cast<std::uint32_t>(size),
                            nextId_.fetch_add(1, std::memory_order_relaxed) ^ (index << 24));
        if (block.payload == nullptr) failStress("MemAlloc failed under load");
        live.push_back(block);
        allocations_.fetch_add(1, std::memory_order_relaxed);
      } else if (choice < 65 && !live.empty()) {
        freeChecked(exports_, takeAt(live, draw(random, live.size())));
        ++frees;
      } else if (choice < 80 && !live.empty()) {
        exchange_.put(takeAt(live, draw(random, live.size())));
      } else if (choice < 95) {
        const std::optional<LiveBlock> block = exchange_.take(random);
        if (!block) continue;
        freeChecked(exports_, *block);
        ++frees;
      } else if (!live.empty()) {
        const LiveBlock& block = live[draw(random, live.size())];
        if (exports_.memSize(block.payload) < static_cast<std::int32_t>(block.size)) {
          failStress("MemSize below the size asked for");
        }
      }
    }
    for (const LiveBlock& block : live) freeChecked(exports_, block);
    frees_.fetch_add(frees + live.size(), std::memory_order_relaxed);
    operations_.fetch_add(done, std::memory_order_relaxed);
  }

  const AllocatorExports& exports_;
  RunOptions options_;
  HandOffQueue<LiveBlock> exchange_;
  std::atomic<std::uint32_t> nextId_{1};
  std::atomic<std::size_t> operations_{0};
  std::atomic<std::size_t> allocations_{0};
  std::atomic<std::size_t> frees_{0};
};

}  // namespace

[[noreturn]] void failStress(const char* what) {
  std::fprintf(stderr, "FAILED: %s\n", what);
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(1);
}

void checkReport(const ExpectedReport& expected) {
  const ReportFigures report = readReport(kLogName);
  if (!report.found) failStress("the log holds no report");
  std::printf("report: alloc blocks %" PRIu64 ", free blocks %" PRIu64 ", num segments %" PRIu64
              ", total size %" PRIu64 ", num allocs %" PRIu64 ", num frees %" PRIu64 "\n",
              report.allocBlocks, report.freeBlocks, report.numSegments, report.totalSize,
              report.numAllocs, report.numFrees);
  if (static_cast<std::int64_t>(report.allocBlocks) != expected.allocBlocks) {
    failStress("the report's alloc blocks differ from the Blocks left allocated");
  }
  if (expected.allocBlocks == 0 && report.freeBlocks != report.numSegments) {
    failStress("with nothing allocated, every segment must be one free Block");
  }
  if (expected.numFrees >= 0 && static_cast<std::int64_t>(report.numFrees) != expected.numFrees) {
    failStress("the report's num frees differ from the frees of library pointers");
  }
  if (expected.numAllocs >= 0 &&
      static_cast<std::int64_t>(report.numAllocs) != expected.numAllocs) {
    failStress("the report's num allocs differ from the requests made");
  }
}

ExpectedReport runThreadStress(const AllocatorExports& exports, const RunOptions& options) {
  ThreadStress stress(exports, options);
  return stress.run();
}

ExpectedReport runBadInput(const AllocatorExports& exports, bool freeLive) {
  std::int64_t allocations = 0;
  std::int64_t frees = 0;
  std::vector<LiveBlock> live;
  std::uint32_t id = 1;
  for (const std::uint32_t size : {0u, 1u, 3u, 7u, 8u, 24u, 100u, 5000u, 1u << 20}) {
    const LiveBlock block = allocateChecked(exports, size, id++);
    if (block.payload == nullptr) failStress("MemAlloc failed for an ordinary size");
    ++allocations;
    live.push_back(block);
  }

  // Null.
  exports.memFree(nullptr);
  if (exports.memSize(nullptr) != 0) failStress("MemSize(null) is not 0");

  // Pointers from the runtime library's heap: not the library's, handed to free.
  for (const std::size_t size : {1u, 64u, 4096u, 1u << 20}) {
    void* foreign = std::malloc(size);
    if (foreign == nullptr) failStress("the runtime heap has no memory");
    if (exports.memSize(foreign) != 0) failStress("MemSize of a runtime-heap pointer is not 0");
    exports.memFree(foreign);
  }

  // Freed twice: the second time, and any size query afterwards, find no allocated Block.
  for (const std::uint32_t size : {16u, 200u, 70000u}) {
    const LiveBlock block = allocateChecked(exports, size, id++);
    if (block.payload == nullptr) failStress("MemAlloc failed for an ordinary size");
    ++allocations;
    freeChecked(exports, block);
    ++frees;
    if (exports.memSize(block.payload) != 0) failStress("MemSize of a freed payload is not 0");
    exports.memFree(block.payload);
    exports.memFree(block.payload);
  }

  // Inside, in front of and just behind live payloads: ignored by MemFree and sized 0. Only
  // addresses inside some live Block (header or payload) are used, so that none of them lies
  // outside the heap, where MemFree would hand it to the runtime library's free.
  const auto insideLiveBlock = [&](std::uintptr_t address) {
    for (const LiveBlock& other : live) {
      const auto payload = reinterpret_cast<std::uintptr_t>(other.payload);
      if (address + kHeaderBytes >= payload && address < payload + std::max(other.size, 1u)) {
        return address != payload;
      }
    }
    return false;
  };
  std::size_t badPointers = 0;
  for (const LiveBlock& block : live) {
    const auto payload = reinterpret_cast<std::uintptr_t>(block.payload);
    const std::uintptr_t bad[] = {payload + 1,
                                  payload + 2,
                                  payload + 4,
                                  payload + 8,
                                  payload + 16,
                                  payload + block.size / 2,
                                  payload + block.size,
                                  payload - 1,
                                  payload - 4,
                                  payload - kHeaderBytes,
                                  payload - kHeaderBytes / 2,
                                  payload - 2 * kHeaderBytes};
    for (const std::uintptr_t address : bad) {
      if (!insideLiveBlock(address)) continue;
      void* pointer = reinterpret_cast<void*>(address);
      if (exports.memSize(pointer) != 0) failStress("MemSize answered for a bad pointer");
      exports.memFree(pointer);
      ++badPointers;
    }
  }
  if (badPointers < 3 * live.size()) failStress("too few bad pointers were tried");

  // Sizes at and beyond the limit. The largest accepted size may be served by a 64-bit build.
  if (exports.memAlloc(0xFFF00001u) != nullptr) failStress("MemAlloc(0xFFF00001) was served");
  if (exports.memAlloc(0xFFFFFFFFu) != nullptr) failStress("MemAlloc(0xFFFFFFFF) was served");
  const LiveBlock largest = allocateChecked(exports, 0xFFF00000u, id++);
  ++allocations;
  if (largest.payload != nullptr) {
    if (sizeof(void*) == 4) failStress("MemAlloc(0xFFF00000) was served in 4 GiB");
    live.push_back(largest);
  }

  // Every live Block is untouched by all of the above.
  for (const LiveBlock& block : live) {
    checkPattern(block);
    if (exports.memSize(block.payload) < static_cast<std::int64_t>(block.size) &&
        block.size <= INT32_MAX) {
      failStress("MemSize of a live payload changed");
    }
  }
  if (exports.memFlushCache(3) != 0) failStress("MemFlushCache returned non-zero");
  exports.memFlushCacheAll();
  if (exports.memTotalReserved() != 0 || exports.memTotalCommitted() != 0) {
    failStress("MemTotalReserved or MemTotalCommitted returned non-zero");
  }

  ExpectedReport expected;
  expected.allocBlocks = static_cast<std::int64_t>(live.size());
  if (freeLive) {
    for (const LiveBlock& block : live) freeChecked(exports, block);
    frees += static_cast<std::int64_t>(live.size());
    expected.allocBlocks = 0;
  }
  std::printf("bad input: %zu bad pointers, %zu live Blocks %s\n", badPointers, live.size(),
              freeLive ? "freed at the end" : "left for the report");
  expected.numAllocs = allocations;
  expected.numFrees = frees;
  return expected;
}

ExpectedReport runExhaustion(const AllocatorExports& exports) {
  // Reserved up front: once the address space is gone the host's own heap may have none either.
  std::vector<LiveBlock> live;
  live.reserve(1u << 18);
  std::mt19937_64 random(20261206);
  std::uint32_t id = 1;
  std::int64_t allocations = 0;
  std::uint64_t bytes = 0;
  // Each band runs until the first null; the sizes vary within a band so the Blocks mix.
  for (std::uint32_t band = 1u << 30; band >= 64; band /= 4) {
    std::size_t served = 0;
    while (live.size() < live.capacity()) {
      const auto size = static_cast<std::uint32_t>(band / 2 + draw(random, band / 2 + 1));
      const LiveBlock block = allocateChecked(exports, size, id++);
      ++allocations;
      if (block.payload == nullptr) break;
      live.push_back(block);
      bytes += size;
      ++served;
    }
    std::printf("exhaustion: band %u bytes: %zu served before the first null\n", band, served);
  }
  std::printf("exhaustion: %zu Blocks, %" PRIu64 " bytes live at the peak\n", live.size(), bytes);
  if (live.empty()) failStress("nothing could be allocated");

  std::shuffle(live.begin(), live.end(), random);
  for (const LiveBlock& block : live) freeChecked(exports, block);
  const std::int64_t frees = static_cast<std::int64_t>(live.size());

  // Space returned to the heap serves again, even the largest band.
  const LiveBlock again = allocateChecked(exports, 1u << 28, id++);
  ++allocations;
  if (again.payload == nullptr) failStress("nothing served after freeing everything");
  freeChecked(exports, again);

  ExpectedReport expected;
  expected.numAllocs = allocations;
  expected.numFrees = frees + 1;
  return expected;
}

}  // namespace velk::stress
