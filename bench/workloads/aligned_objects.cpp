// Aligned objects: two threads, each with 4,096 slots, replace the object in a random slot with a
// fresh one made as C++ makes an over-aligned type (aligned_alloc, the size rounded up to the
// alignment): nine in ten are cache-line aligned objects of 64 to 512 bytes, the rest page-aligned
// buffers of 4 to 16 KiB, as direct I/O and vector code ask for. Usage: aligned_objects [threads]
// [steps per thread]

#include "workload.h"

using velk::bench::Random;

namespace {

void work(Random random, std::size_t steps, std::uint64_t& sum) {
  constexpr std::size_t kSlots = 4096;
  std::vector<char*> objects(kSlots, nullptr);
  std::vector<std::size_t> sizes(kSlots, 0);
  for (std::size_t step = 0; step < steps; ++step) {
    const std::size_t slot = random.below(kSlots);
    if (objects[slot] != nullptr) sum += static_cast<unsigned char>(objects[slot][sizes[slot] - 1]);
    std::free(objects[slot]);
    const bool page = random.below(10) == 0;
    const std::size_t align = page ? 4096 : 64;
    const std::size_t size = page ? 4096 * random.between(1, 4) : 64 * random.between(1, 8);
    objects[slot] = static_cast<char*>(std::aligned_alloc(align, size));
    objects[slot][0] = static_cast<char>(step);
    objects[slot][size - 1] = static_cast<char>(size >> 6);
    sizes[slot] = size;
  }
  for (char* object : objects) std::free(object);
}

}  // namespace

int main(int argc, char** argv) {
  velk::bench::runThreads("aligned_objects", velk::bench::argument(argc, argv, 1, 2),
                          velk::bench::argument(argc, argv, 2, 2000000), work);
  return 0;
}
