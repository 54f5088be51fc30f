// Server churn across thread generations: each worker owns a table of slots and, step by step,
// frees the object in a random slot and puts a fresh one of 8 to 1,000 bytes there. After a few
// thousand steps the worker exits and a new thread takes over its table, so most objects are
// freed by a thread other than the one that made them, as when a server's connection threads
// come and go. Usage: server_churn [threads] [generations] [slots per thread] [steps per thread]
#include <thread>
#include <vector>

#include "workload.h"

using velk::bench::Random;

namespace {

struct Table {
  std::vector<char*> slots;
  std::uint64_t sum = 0;
};

void fill(char* object, std::size_t size, std::uint64_t stamp) {
  object[0] = static_cast<char>(stamp);
  object[size / 2] = static_cast<char>(stamp >> 8);
  object[size - 1] = static_cast<char>(size);
}

void work(Table& table, Random random, std::size_t steps) {
  for (std::size_t step = 0; step < steps; ++step) {
    char*& slot = table.slots[random.below(table.slots.size())];
    if (slot != nullptr) table.sum += static_cast<unsigned char>(slot[0]);
    std::free(slot);
    const std::size_t size = random.between(8, 1000);
    slot = static_cast<char*>(std::malloc(size));
    fill(slot, size, random.state);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t threads = velk::bench::argument(argc, argv, 1, 2);
  const std::size_t generations = velk::bench::argument(argc, argv, 2, 1000);
  const std::size_t slots = velk::bench::argument(argc, argv, 3, 10000);
  const std::size_t steps = velk::bench::argument(argc, argv, 4, 5000);
  const velk::bench::Stopwatch stopwatch;
  std::vector<Table> tables(threads);
  for (Table& table : tables) table.slots.assign(slots, nullptr);
  for (std::size_t generation = 0; generation < generations; ++generation) {
    std::vector<std::thread> workers;
    for (std::size_t index = 0; index < threads; ++index) {
      workers.emplace_back(work, std::ref(tables[index]), Random(generation * threads + index + 1),
                           steps);
    }
    for (std::thread& worker : workers) worker.join();
  }
  std::uint64_t check = 0;
  for (Table& table : tables) {
    check += table.sum;
    for (char* slot : table.slots) std::free(slot);
  }
  velk::bench::report("server_churn", stopwatch, check);
  return 0;
}
