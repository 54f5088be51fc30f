// Batches: 25, 100, 400 and 1,600 blocks of 16, 32 and 64 bytes are allocated, written, and
// freed again in the order they were made, over and over, in the main thread and at the same
// time in a second one. Usage: batches [rounds]
#include <cstring>
#include <thread>
#include <vector>

#include "workload.h"

namespace {

void run(std::size_t rounds, std::uint64_t& sum) {
  std::vector<char*> batch(1600);
  for (std::size_t round = 0; round < rounds; ++round) {
    for (const std::size_t size : {16u, 32u, 64u}) {
      for (const std::size_t count : {25u, 100u, 400u, 1600u}) {
        for (std::size_t index = 0; index < count; ++index) {
          batch[index] = static_cast<char*>(std::malloc(size));
          std::memset(batch[index], static_cast<int>(index), size);
        }
        for (std::size_t index = 0; index < count; ++index) {
          sum += static_cast<unsigned char>(batch[index][size - 1]);
          std::free(batch[index]);
        }
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t rounds = velk::bench::argument(argc, argv, 1, 2000);
  const velk::bench::Stopwatch stopwatch;
  std::uint64_t sums[2] = {0, 0};
  std::thread second(run, rounds, std::ref(sums[1]));
  run(rounds, sums[0]);
  second.join();
  velk::bench::report("batches", stopwatch, sums[0] + sums[1]);
  return 0;
}
