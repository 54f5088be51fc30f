// Buffers built by realloc: one thread keeps 64 buffers and, each round, rebuilds a random one
// from nothing by appending pieces of 16 to 256 bytes (of which it writes the ends), growing it
// by half again whenever it is full, as a reader of a file or a builder of a string does, to a
// final size of 1 KiB to 1 MiB (most below 64 KiB); between appends it makes and drops a small
// object now and then. What realloc copies is most of the work.
// Usage: realloc_builders [rounds]

#include "workload.h"

using velk::bench::Random;

int main(int argc, char** argv) {
  const std::size_t rounds = velk::bench::argument(argc, argv, 1, 60000);
  const velk::bench::Stopwatch stopwatch;
  Random random(1);
  constexpr std::size_t kBuffers = 64;
  std::vector<char*> buffers(kBuffers, nullptr);
  std::vector<std::size_t> lengths(kBuffers, 0);
  std::vector<char*> smalls(256, nullptr);
  std::uint64_t sum = 0;
  for (std::size_t round = 0; round < rounds; ++round) {
    const std::size_t slot = random.below(kBuffers);
    if (buffers[slot] != nullptr)
      sum += static_cast<unsigned char>(buffers[slot][lengths[slot] - 1]);
    std::free(buffers[slot]);
    const std::size_t target = random.below(8) == 0 ? random.between(64 << 10, 1 << 20)
                                                    : random.between(1 << 10, 64 << 10);
    std::size_t capacity = 64;
    std::size_t length = 0;
    char* buffer = static_cast<char*>(std::malloc(capacity));
    while (length < target) {
      const std::size_t add = random.between(16, 256);
      if (length + add > capacity) {
        while (length + add > capacity) capacity += capacity / 2;
        buffer = static_cast<char*>(std::realloc(buffer, capacity));
      }
      // The piece's bytes: its first and last stand for them.
      buffer[length] = static_cast<char>(length);
      length += add;
      buffer[length - 1] = static_cast<char>(add);
      if (random.below(16) == 0) {
        char*& small = smalls[random.below(smalls.size())];
        std::free(small);
        small = static_cast<char*>(std::malloc(random.between(8, 200)));
        small[0] = static_cast<char>(length);
      }
    }
    buffers[slot] = buffer;
    lengths[slot] = length;
  }
  for (char* buffer : buffers) std::free(buffer);
  for (char* small : smalls) std::free(small);
  velk::bench::report("realloc_builders", stopwatch, sum);
  return 0;
}
