#include "workloads.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace velk::host {
namespace {

// splitmix64: small, fast, and the same sequence on every system for a given seed.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }

 private:
  std::uint64_t state_;
};

struct Held {
  unsigned char* payload;
  std::uint32_t size;
  unsigned char mark;
};

// Mostly small requests, some page-sized ones and a few large ones, as a typical host makes.
std::uint32_t mixedSize(Random& random) {
  const std::uint32_t pick = random.below(100);
  if (pick < 70) return random.below(257);
  if (pick < 95) return 257 + random.below(8192 - 257);
  if (pick < 99) return 8192 + random.below(256 * 1024);
  return 256 * 1024 + random.below(2 * 1024 * 1024);
}

std::uint32_t alignmentFor(std::uint32_t size) {
  if (size >= 16) return 16;
  if (size >= 8) return 8;
  return 4;
}

// The first and last byte of every payload carry a mark, checked before it is freed.
bool intact(const Held& held) {
  if (held.size == 0) return true;
  return held.payload[0] == held.mark && held.payload[held.size - 1] == held.mark;
}

void release(const AllocatorExports& exports, Held& held, WorkloadResult& result) {
  if (!intact(held)) ++result.faults;
  exports.memFree(held.payload);
  ++result.frees;
  held.payload = nullptr;
}

// Allocates and frees at random over a pool of slots, checking each answer, then frees
// everything that is still held.
WorkloadResult runMixed(const AllocatorExports& exports, const WorkloadOptions& options) {
  Random random(options.seed);
  WorkloadResult result;
  std::vector<Held> slots(1024, Held{nullptr, 0, 0});
  for (std::uint64_t op = 0; op < options.ops; ++op) {
    Held& held = slots[random.below(static_cast<std::uint32_t>(slots.size()))];
    if (held.payload != nullptr) {
      release(exports, held, result);
      continue;
    }
    const std::uint32_t size = mixedSize(random);
    auto* payload = static_cast<unsigned char*>(exports.memAlloc(size));
    ++result.allocations;
    if (payload == nullptr) {
      ++result.faults;
      continue;
    }
    if (reinterpret_cast<std::uintptr_t>(payload) % alignmentFor(size) != 0) ++result.faults;
    if (exports.memSize(payload) < static_cast<std::int32_t>(size)) ++result.faults;
    held = {payload, size, static_cast<unsigned char>(op)};
    if (size != 0) {
      payload[0] = held.mark;
      payload[size - 1] = held.mark;
    }
  }
  for (Held& held : slots) {
    if (held.payload != nullptr) release(exports, held, result);
  }
  // The flushes and totals are part of the interface even though they report nothing.
  if (exports.memFlushCache(0) != 0) ++result.faults;
  exports.memFlushCacheAll();
  if (exports.memTotalReserved() != 0 || exports.memTotalCommitted() != 0) ++result.faults;
  return result;
}

// No calls at all: the log then shows the heap as the load left it.
WorkloadResult runEmpty(const AllocatorExports&, const WorkloadOptions&) {
  return {};
}

const Workload kWorkloads[] = {
    {"empty", "no calls: load and unload only", runEmpty},
    {"mixed", "random allocations and frees of mixed sizes over 1024 slots; frees everything",
     runMixed},
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

}  // namespace velk::host
