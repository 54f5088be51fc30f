// False sharing between threads' small objects: every thread allocates its own small counters at
// the same time as the others, then updates only its own. An allocator that hands neighbouring
// bytes of one cache line to different threads makes the updates fight over that line.
// Usage: false_sharing <threads> <objects per thread> <rounds>.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

std::atomic<unsigned> arrived{0};

void work(unsigned threads, std::size_t objects, std::size_t rounds, std::uint64_t& result) {
  std::vector<std::uint64_t*> counters(objects);
  // Allocate in step with the other threads, so their objects are made at the same moments.
  arrived.fetch_add(1);
  while (arrived.load() < threads) std::this_thread::yield();
  for (std::uint64_t*& counter : counters) {
    counter = static_cast<std::uint64_t*>(std::malloc(sizeof(std::uint64_t)));
    *counter = 0;
  }
  for (std::size_t round = 0; round < rounds; ++round) {
    for (std::uint64_t* counter : counters) {
      *counter += round;
      std::atomic_signal_fence(std::memory_order_seq_cst);  // keep every update a store
    }
  }
  std::uint64_t sum = 0;
  for (std::uint64_t* counter : counters) {
    sum += *counter;
    std::free(counter);
  }
  result = sum;
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned threads = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 2;
  const std::size_t objects = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 64;
  const std::size_t rounds = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 2000000;
  std::vector<std::uint64_t> results(threads);
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (unsigned index = 0; index < threads; ++index)
    workers.emplace_back(work, threads, objects, rounds, std::ref(results[index]));
  for (std::thread& worker : workers) worker.join();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("false_sharing threads=%u objects=%zu sum=%llu seconds=%.3f\n", threads, objects,
              static_cast<unsigned long long>(results[0]), elapsed.count());
  return 0;
}
