// Micro-benchmarks of the allocation functions, run unchanged under every allocator (the
// allocator is chosen by LD_PRELOAD). Each benchmark touches the memory it gets, as a program
// would, so that no allocator wins by handing out memory nobody looks at.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void touch(void* payload, std::size_t size) {
  auto* bytes = static_cast<volatile unsigned char*>(payload);
  bytes[0] = 1;
  bytes[size - 1] = 1;
}

// One malloc and one free per iteration, at sizes from 8 bytes to 64 MiB.
void MallocFreePair(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    void* payload = std::malloc(size);
    touch(payload, size);
    std::free(payload);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(MallocFreePair)->RangeMultiplier(8)->Range(8, 64 << 20);

// A burst of allocations followed by a burst of frees, as a parser or a request handler does.
void AllocManyFreeMany(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  constexpr std::size_t kCount = 10000;
  std::vector<void*> payloads(kCount);
  for (auto _ : state) {
    for (void*& payload : payloads) {
      payload = std::malloc(size);
      touch(payload, size);
    }
    for (void* payload : payloads) std::free(payload);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(AllocManyFreeMany)->Arg(16)->Arg(128)->Arg(1024)->Arg(8192);

// A buffer grown by half again at every step from 16 bytes to 4 MiB, as a growing vector or
// string does, with a second allocation in between now and then to get in its way.
void ReallocGrowth(benchmark::State& state) {
  for (auto _ : state) {
    std::size_t size = 16;
    void* buffer = std::malloc(size);
    void* obstacle = nullptr;
    while (size < (4u << 20)) {
      size += size / 2;
      buffer = std::realloc(buffer, size);
      touch(buffer, size);
      if (size % 3 == 0) {
        std::free(obstacle);
        obstacle = std::malloc(64);
      }
    }
    std::free(obstacle);
    std::free(buffer);
  }
}
BENCHMARK(ReallocGrowth);

}  // namespace

BENCHMARK_MAIN();
