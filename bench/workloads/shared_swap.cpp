// Objects of random sizes swapped through a shared array by rounds of threads: each of four
// threads allocates (mostly 8 to 512 bytes, one in a hundred up to 64 KiB, one in two thousand
// up to 5 MiB), writes the object, swaps it into a random slot of an array all threads share, and
// frees what it took out. The threads end after each round and new ones start; the array, and the
// objects in it, survive from round to round. Usage: shared_swap [threads] [rounds] [steps]
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "workload.h"

using velk::bench::Random;

namespace {

constexpr std::size_t kSlots = 20000;
std::atomic<char*> shared[kSlots];

std::size_t sizeFrom(Random& random) {
  const std::size_t roll = random.below(2000);
  if (roll == 0) return random.between(64 << 10, 5 << 20);
  if (roll < 20) return random.between(513, 64 << 10);
  return random.between(8, 512);
}

// Writes the first bytes and one byte in every page, as a program that fills its objects would.
void touch(char* object, std::size_t size) {
  std::memset(object, static_cast<int>(size), size < 64 ? size : 64);
  for (std::size_t offset = 4096; offset < size; offset += 4096) object[offset] = 1;
  object[size - 1] = static_cast<char>(size);
}

void work(Random random, std::size_t steps, std::uint64_t& sum) {
  for (std::size_t step = 0; step < steps; ++step) {
    const std::size_t size = sizeFrom(random);
    char* object = static_cast<char*>(std::malloc(size));
    touch(object, size);
    char* old = shared[random.below(kSlots)].exchange(object, std::memory_order_acq_rel);
    if (old != nullptr) {
      sum += static_cast<unsigned char>(old[0]);
      std::free(old);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t threads = velk::bench::argument(argc, argv, 1, 4);
  const std::size_t rounds = velk::bench::argument(argc, argv, 2, 20);
  const std::size_t steps = velk::bench::argument(argc, argv, 3, 50000);
  const velk::bench::Stopwatch stopwatch;
  std::vector<std::uint64_t> sums(threads);
  for (std::size_t round = 0; round < rounds; ++round) {
    std::vector<std::thread> workers;
    for (std::size_t index = 0; index < threads; ++index) {
      workers.emplace_back(work, Random(round * threads + index + 1), steps, std::ref(sums[index]));
    }
    for (std::thread& worker : workers) worker.join();
  }
  for (std::atomic<char*>& slot : shared) std::free(slot.load());
  // Which thread took which object out depends on the timing: only the count is fixed.
  velk::bench::report("shared_swap", stopwatch, threads * rounds * steps);
  return 0;
}
