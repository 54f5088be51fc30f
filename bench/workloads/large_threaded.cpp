// Large buffers in threads: two threads, each keeping 16 buffers, replace a random one with a
// fresh buffer of 64 KiB to 4 MiB (most below 1 MiB), as server workers allocate a buffer per
// request, and write its first and last lines (a request fills only what it needs).
// Usage: large_threaded [threads] [steps per thread]

#include "workload.h"

using velk::bench::Random;

namespace {

void work(Random random, std::size_t steps, std::uint64_t& sum) {
  velk::bench::replaceAtRandom(
      random, 16, steps, sum,
      [](Random& sizes) {
        return sizes.below(8) == 0 ? sizes.between(1 << 20, 4 << 20)
                                   : sizes.between(64 << 10, 1 << 20);
      },
      [](char* buffer, std::size_t size, std::size_t step) {
        buffer[0] = static_cast<char>(step);
        buffer[64] = static_cast<char>(size);
        buffer[size - 1] = static_cast<char>(size >> 8);
      });
}

}  // namespace

int main(int argc, char** argv) {
  velk::bench::runThreads("large_threaded", velk::bench::argument(argc, argv, 1, 2),
                          velk::bench::argument(argc, argv, 2, 50000), work);
  return 0;
}
