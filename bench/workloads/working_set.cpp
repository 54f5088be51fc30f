// Working sets: two threads, each with 1,024 slots, replace the object in a random slot with a
// fresh one of a random size from 4 bytes to 32 KiB and write its ends, so that each thread's
// live memory stays around 16 MiB while every size in that range keeps coming and going.
// Usage: working_set [threads] [steps per thread]

#include "workload.h"

using velk::bench::Random;

namespace {

constexpr std::size_t kSlots = 1024;

void work(Random random, std::size_t steps, std::uint64_t& sum) {
  std::vector<char*> slots(kSlots, nullptr);
  std::vector<std::size_t> sizes(kSlots, 0);
  for (std::size_t step = 0; step < steps; ++step) {
    const std::size_t slot = random.below(kSlots);
    if (slots[slot] != nullptr) sum += static_cast<unsigned char>(slots[slot][sizes[slot] - 1]);
    std::free(slots[slot]);
    const std::size_t size = random.between(4, 32 << 10);
    slots[slot] = static_cast<char*>(std::malloc(size));
    slots[slot][0] = static_cast<char>(step);
    slots[slot][size - 1] = static_cast<char>(size);
    sizes[slot] = size;
  }
  for (char* object : slots) std::free(object);
}

}  // namespace

int main(int argc, char** argv) {
  velk::bench::runThreads("working_set", velk::bench::argument(argc, argv, 1, 2),
                          velk::bench::argument(argc, argv, 2, 2000000), work);
  return 0;
}
