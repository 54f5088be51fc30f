// Aligned objects: two threads, each with 4,096 slots, replace the object in a random slot with a
// fresh one made as C++ makes an over-aligned type (aligned_alloc, the size rounded up to the
// alignment): nine in ten are cache-line aligned objects of 64 to 512 bytes, the rest page-aligned
// buffers of 4 to 16 KiB, as direct I/O and vector code ask for. Usage: aligned_objects [threads]
// [steps per thread]

#include "workload.h"

using velk::bench::Random;

namespace {

void work(Random random, std::size_t steps, std::uint64_t& sum) {
  velk::bench::replaceMadeAtRandom(
      random, 4096, steps, sum,
      [](Random& sizes, std::size_t& size) {
        const bool page = sizes.below(10) == 0;
        size = page ? 4096 * sizes.between(1, 4) : 64 * sizes.between(1, 8);
        return static_cast<char*>(std::aligned_alloc(page ? 4096 : 64, size));
      },
      [](char* object, std::size_t size, std::size_t step) {
        object[0] = static_cast<char>(step);
        object[size - 1] = static_cast<char>(size >> 6);
      });
}

}  // namespace

int main(int argc, char** argv) {
  velk::bench::runThreads("aligned_objects", velk::bench::argument(argc, argv, 1, 2),
                          velk::bench::argument(argc, argv, 2, 2000000), work);
  return 0;
}
