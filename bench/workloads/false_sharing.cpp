// Passive false sharing: the main thread allocates one 1-byte object per worker, side by side, and
// hands each worker its own. A worker frees the object it was given, then over and over allocates
// a 1-byte object, writes it many times and frees it. An allocator that gives the workers bytes of
// one cache line, because their first frees put the main thread's neighbouring objects in their
// hands, makes every write fight over that line. Usage: false_sharing [threads] [rounds] [writes]
#include <atomic>
#include <thread>
#include <vector>

#include "workload.h"

namespace {

void work(char* given, std::size_t rounds, std::size_t writes, std::uint64_t& sum) {
  std::free(given);
  for (std::size_t round = 0; round < rounds; ++round) {
    auto* object = static_cast<volatile char*>(std::malloc(1));
    *object = 0;
    for (std::size_t write = 0; write < writes; ++write) *object = static_cast<char>(*object + 1);
    sum += static_cast<unsigned char>(*object);
    std::free(const_cast<char*>(object));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t threads = velk::bench::argument(argc, argv, 1, 2);
  const std::size_t rounds = velk::bench::argument(argc, argv, 2, 10000);
  const std::size_t writes = velk::bench::argument(argc, argv, 3, 10000);
  const velk::bench::Stopwatch stopwatch;
  std::vector<char*> given(threads);
  for (char*& object : given) object = static_cast<char*>(std::malloc(1));
  std::vector<std::uint64_t> sums(threads);
  std::vector<std::thread> workers;
  for (std::size_t index = 0; index < threads; ++index) {
    workers.emplace_back(work, given[index], rounds, writes, std::ref(sums[index]));
  }
  for (std::thread& worker : workers) worker.join();
  std::uint64_t check = 0;
  for (std::uint64_t sum : sums) check += sum;
  velk::bench::report("false_sharing", stopwatch, check);
  return 0;
}
