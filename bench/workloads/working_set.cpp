// Working sets: two threads, each with 1,024 slots, replace the object in a random slot with a
// fresh one of a random size from 4 bytes to 32 KiB and write its ends, so that each thread's
// live memory stays around 16 MiB while every size in that range keeps coming and going.
// Usage: working_set [threads] [steps per thread]

#include "workload.h"

using velk::bench::Random;

namespace {

void work(Random random, std::size_t steps, std::uint64_t& sum) {
  velk::bench::replaceAtRandom(
      random, 1024, steps, sum, [](Random& sizes) { return sizes.between(4, 32 << 10); },
      [](char* object, std::size_t size, std::size_t step) {
        object[0] = static_cast<char>(step);
        object[size - 1] = static_cast<char>(size);
      });
}

}  // namespace

int main(int argc, char** argv) {
  velk::bench::runThreads("working_set", velk::bench::argument(argc, argv, 1, 2),
                          velk::bench::argument(argc, argv, 2, 2000000), work);
  return 0;
}
