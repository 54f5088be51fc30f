// Large zero-filled blocks: 2,000 blocks of 5 to 25 MiB from calloc, each written once per page
// as a program filling a buffer would, with up to 20 alive at a time, each new one replacing a
// random old one. Usage: large_zeroed [blocks]
#include "workload.h"

int main(int argc, char** argv) {
  constexpr std::size_t kAlive = 20;
  constexpr std::size_t kPage = 4096;
  const std::size_t blocks = velk::bench::argument(argc, argv, 1, 2000);
  const velk::bench::Stopwatch stopwatch;
  velk::bench::Random random(3);
  char* alive[kAlive] = {};
  std::size_t sizes[kAlive] = {};
  std::uint64_t check = 0;
  for (std::size_t made = 0; made < blocks; ++made) {
    const std::size_t slot = random.below(kAlive);
    std::free(alive[slot]);
    const std::size_t size = random.between(5 << 20, 25 << 20);
    char* block = static_cast<char*>(std::calloc(size, 1));
    // Each page is read (it must be zero) and written.
    for (std::size_t offset = 0; offset < size; offset += kPage) {
      check += static_cast<unsigned char>(block[offset]);
      block[offset] = static_cast<char>(made);
    }
    alive[slot] = block;
    sizes[slot] = size;
  }
  for (std::size_t slot = 0; slot < kAlive; ++slot) {
    if (alive[slot] != nullptr) check += static_cast<unsigned char>(alive[slot][sizes[slot] - 1]);
    std::free(alive[slot]);
  }
  velk::bench::report("large_zeroed", stopwatch, check);
  return 0;
}
