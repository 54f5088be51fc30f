// Large buffers in threads: two threads, each keeping 16 buffers, replace a random one with a
// fresh buffer of 64 KiB to 4 MiB (most below 1 MiB), as server workers allocate a buffer per
// request, and write its first and last lines (a request fills only what it needs).
// Usage: large_threaded [threads] [steps per thread]

#include "workload.h"

using velk::bench::Random;

namespace {

constexpr std::size_t kSlots = 16;

void work(Random random, std::size_t steps, std::uint64_t& sum) {
  std::vector<char*> slots(kSlots, nullptr);
  std::vector<std::size_t> sizes(kSlots, 0);
  for (std::size_t step = 0; step < steps; ++step) {
    const std::size_t slot = random.below(kSlots);
    if (slots[slot] != nullptr) sum += static_cast<unsigned char>(slots[slot][sizes[slot] - 1]);
    std::free(slots[slot]);
    const std::size_t size =
        random.below(8) == 0 ? random.between(1 << 20, 4 << 20) : random.between(64 << 10, 1 << 20);
    char* buffer = static_cast<char*>(std::malloc(size));
    buffer[0] = static_cast<char>(step);
    buffer[64] = static_cast<char>(size);
    buffer[size - 1] = static_cast<char>(size >> 8);
    slots[slot] = buffer;
    sizes[slot] = size;
  }
  for (char* buffer : slots) std::free(buffer);
}

}  // namespace

int main(int argc, char** argv) {
  velk::bench::runThreads("large_threaded", velk::bench::argument(argc, argv, 1, 2),
                          velk::bench::argument(argc, argv, 2, 50000), work);
  return 0;
}
