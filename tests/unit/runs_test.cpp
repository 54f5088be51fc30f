// Long runs of the engine. Randomized ones on fresh engines, long and short, from a fixed seed and
// then a new one (VELK_SEED replays a seed, VELK_RANDOM_OPS sets the length of the long runs,
// VELK_REPLAY=FILE runs one input of the fuzz target). And a deterministic one whose addresses and
// final counters fold into a fingerprint: any change of which Block a search takes, where a
// remainder goes or how a bin orders its Blocks changes it. The expected values were taken from
// the straightforward engine before its hot path was tuned.
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

std::uint64_t runFingerprint() {
  FakeAddressSpace space;
  Heap heap(space);
  std::uint64_t state = 0x2545F4914F6CDD1Du;
  auto next = [&state](std::size_t bound) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<std::size_t>(state % bound);
  };
  std::uint64_t fingerprint = 0xCBF29CE484222325u;  // FNV-1a over the bytes of every value added
  auto add = [&fingerprint](std::uint64_t value) {
    for (int byte = 0; byte < 8; ++byte, value >>= 8) {
      fingerprint = (fingerprint ^ (value & 0xFF)) * 0x100000001B3u;
    }
  };
  std::vector<void*> live;
  for (int step = 0; step < 200000; ++step) {
    const std::size_t roll = live.size() < 3000 ? next(100) : 50 + next(50);
    if (roll < 50 || live.empty()) {
      const std::size_t band = next(1000);
      const std::size_t size = band < 700   ? next(200)
                               : band < 950 ? next(8192)
                               : band < 998 ? next(1 << 20)
                                            : next(24 << 20);
      const std::size_t align = std::size_t{1} << next(band < 980 ? 5 : 13);
      void* payload = heap.allocate(size, align);
      add(reinterpret_cast<std::uintptr_t>(payload) - space.arenaBase());
      if (payload != nullptr) live.push_back(payload);
    } else if (roll < 95) {
      const std::size_t index = next(live.size());
      heap.deallocate(live[index]);
      live[index] = live.back();
      live.pop_back();
    } else {
      const std::size_t size = next(4096);
      add(heap.resizeInPlace(live[next(live.size())], size));
    }
  }
  const HeapStats& stats = heap.stats();
  for (std::uint64_t figure : {std::uint64_t{stats.allocBlocks}, std::uint64_t{stats.totalAlloc},
                               std::uint64_t{stats.peakAlloc}, std::uint64_t{stats.freeBlocks},
                               std::uint64_t{stats.totalFree}, std::uint64_t{stats.totalSize},
                               stats.numAllocs, stats.numFrees, stats.slowBucket}) {
    add(figure);
  }
  EXPECT_EQ(violations(heap), "");
  return fingerprint;
}

TEST(BlockChoiceTest, SameBlocksInTheSameOrderAsEver) {
  const std::uint64_t expected = sizeof(void*) == 8 ? 0x23f5c5ba05e6c207u : 0xbeb28f99f67f2659u;
  EXPECT_EQ(runFingerprint(), expected) << std::hex << runFingerprint();
}

}  // namespace
}  // namespace velk::testing
