// Randomized runs of the operation interpreter, each on a fresh engine: long ones that grow a deep
// heap, and many short ones; first from a fixed seed, then from a new one each time. VELK_SEED
// replays a seed, VELK_RANDOM_OPS sets the length of the long runs, VELK_REPLAY=FILE runs one
// input of the fuzz target.
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

TEST(RandomRuns, EveryStepKeepsEveryPromise) {
  if (const char* file = std::getenv("VELK_REPLAY")) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    return runFuzzInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  const char* replay = std::getenv("VELK_SEED");
  const char* length = std::getenv("VELK_RANDOM_OPS");
  const std::size_t operations = length ? std::strtoul(length, nullptr, 10) : 30000;
  const std::uint64_t next = replay ? std::strtoull(replay, nullptr, 10) : std::random_device{}();
  for (const std::uint64_t seed : {std::uint64_t{1}, next}) {
    std::printf("seed %llu (replay with VELK_SEED)\n", static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    std::mt19937_64 random(seed);
    std::vector<std::uint8_t> bytes;
    for (int run = 0; run < 100; ++run) {
      bytes.resize(run == 0 ? 6 * operations : static_cast<std::size_t>(random() % 2500));
      for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
      Input input(bytes.data(), bytes.size());
      runOnFreshHeap(input, run == 0 ? operations : 512, FakeAddressSpace::kDefaultArena,
                     run == 0 ? 1000 : 400);
    }
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
