// Randomized runs of the operation interpreter, each on a fresh engine: long ones that grow a deep
// heap, and many short ones. VELK_SEED replays a seed; VELK_RANDOM_OPS sets the long runs' length.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "tests/support/operation_run.h"
#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

TEST(RandomRuns, EveryStepKeepsEveryPromise) {
  const char* replay = std::getenv("VELK_SEED");
  const std::uint64_t seed = replay ? std::strtoull(replay, nullptr, 10) : std::random_device{}();
  const char* length = std::getenv("VELK_RANDOM_OPS");
  const std::size_t operations = length ? std::strtoull(length, nullptr, 10) : 30000;
  std::printf("seed %llu (replay with VELK_SEED)\n", static_cast<unsigned long long>(seed));
  std::fflush(stdout);
  std::mt19937_64 random(seed);
  std::vector<std::uint8_t> bytes;
  for (int run = 0; run < 203; ++run) {
    const bool isLong = run < 3;
    bytes.resize(isLong ? 6 * operations : random() % 2500);
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
    Input input(bytes.data(), bytes.size());
    runOnFreshHeap(input, isLong ? operations : 512, FakeAddressSpace::kDefaultArena,
                   isLong ? 1000 : 400);
  }
}

// A torn-down Heap takes no lock: calls that reach it late, from other static objects' teardown,
// must not touch the deleted lock.
TEST(Heap, LocksNothingOnceTornDown) {
  FakeAddressSpace space;
  alignas(Heap) static unsigned char storage[sizeof(Heap)];
  Heap* heap = new (storage) Heap(space);
  heap->~Heap();
  heap->lock();
  heap->unlock();
  EXPECT_EQ(heap->blockSize(nullptr), 0);
}

}  // namespace
}  // namespace velk::testing
