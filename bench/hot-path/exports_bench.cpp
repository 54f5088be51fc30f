// The exports' hot path as a host meets it: loads a built library by path and drives MemAlloc and
// MemFree in one of three shapes, then times the floors the exports stand on.
//
//   velk-exports-bench LIBRARY SHAPE OPERATIONS      run a shape (for callgrind: count the exports)
//   velk-exports-bench LIBRARY times                 ns per pair beside the floors
//
// Shapes (deterministic, so instruction counts repeat exactly):
//   pair   MemAlloc(100) and MemFree of it, OPERATIONS times (a pair is one operation)
//   mixed  a live set of 1,000 payloads of 8 to 2,048 bytes; each operation frees one at random
//          or allocates into an empty slot
//   burst  1,024 allocations of 16 to 72 bytes, then 1,024 frees, over and over
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "allocator_library.h"
#include "pal/pal.h"

namespace {

using velk::host::AllocatorExports;

struct Random {
  std::uint64_t state;
  std::uint32_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<std::uint32_t>(state);
  }
  std::uint32_t below(std::uint32_t bound) { return next() % bound; }
};

// Every shape writes a byte into each payload, as a host would, so that nothing is optimised away.
void runPairs(const AllocatorExports& e, std::uint64_t operations) {
  for (std::uint64_t index = 0; index < operations; ++index) {
    void* payload = e.memAlloc(100);
    static_cast<volatile char*>(payload)[0] = 1;
    e.memFree(payload);
  }
}

void runMixed(const AllocatorExports& e, std::uint64_t operations) {
  constexpr std::uint32_t kSlots = 1000;
  std::vector<void*> slots(kSlots, nullptr);
  Random random{0x9E3779B97F4A7C15u};
  for (std::uint64_t index = 0; index < operations; ++index) {
    void*& slot = slots[random.below(kSlots)];
    if (slot != nullptr) {
      e.memFree(slot);
      slot = nullptr;
    } else {
      slot = e.memAlloc(8 + random.below(2041));
      static_cast<volatile char*>(slot)[0] = 1;
    }
  }
  for (void* slot : slots) e.memFree(slot);
}

void runBursts(const AllocatorExports& e, std::uint64_t operations) {
  constexpr std::uint32_t kBurst = 1024;
  std::vector<void*> burst(kBurst);
  Random random{0xD1B54A32D192ED03u};
  for (std::uint64_t done = 0; done < operations; done += 2 * kBurst) {
    for (void*& payload : burst) {
      payload = e.memAlloc(16 + random.below(57));
      static_cast<volatile char*>(payload)[0] = 1;
    }
    for (void* payload : burst) e.memFree(payload);
  }
}

template <typename Body>
double nanosecondsPer(std::uint64_t count, Body body) {
  double best = 1e300;
  for (int round = 0; round < 7; ++round) {
    const auto start = std::chrono::steady_clock::now();
    body(count);
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  return best / static_cast<double>(count);
}

int printTimes(const AllocatorExports& e) {
  constexpr std::uint64_t kCount = 2'000'000;
  const double exports = nanosecondsPer(kCount, [&](std::uint64_t n) { runPairs(e, n); });
  velk::pal::LockStorage storage;
  velk::pal::Lock* lock = velk::pal::lockCreateIn(storage);
  const double lockFloor = nanosecondsPer(kCount, [&](std::uint64_t n) {
    for (std::uint64_t index = 0; index < n; ++index) {
      velk::pal::lockEnter(lock);
      velk::pal::lockLeave(lock);
      velk::pal::lockEnter(lock);
      velk::pal::lockLeave(lock);
    }
  });
  velk::pal::lockDelete(lock);
  const double runtime = nanosecondsPer(kCount, [](std::uint64_t n) {
    for (std::uint64_t index = 0; index < n; ++index) {
      void* payload = std::malloc(100);
      static_cast<volatile char*>(payload)[0] = 1;
      std::free(payload);
    }
  });
  std::printf("exports pair      %6.1f ns\n", exports);
  std::printf("two lock pairs    %6.1f ns  (exports / floor %.2f)\n", lockFloor,
              exports / lockFloor);
  std::printf("runtime malloc    %6.1f ns  (exports / runtime %.2f)\n", runtime, exports / runtime);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s LIBRARY pair|mixed|burst OPERATIONS | LIBRARY times\n",
                 argv[0]);
    return 2;
  }
  velk::host::AllocatorLibrary library(argv[1]);
  if (!library.loaded()) {
    std::fprintf(stderr, "cannot load %s: %s\n", argv[1], library.error().c_str());
    return 1;
  }
  const AllocatorExports& e = library.exports();
  const std::string shape = argv[2];
  if (shape == "times") return printTimes(e);
  const std::uint64_t operations = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 100000;
  if (shape == "pair") {
    runPairs(e, operations);
  } else if (shape == "mixed") {
    runMixed(e, operations);
  } else if (shape == "burst") {
    runBursts(e, operations);
  } else {
    std::fprintf(stderr, "unknown shape %s (pair, mixed, burst, times)\n", shape.c_str());
    return 2;
  }
  return 0;
}
