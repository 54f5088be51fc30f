// Remote bursts: the shape of pipelines and servers where some threads make requests and others
// finish them. Two producers allocate batches of 4,096 objects (mostly 64 bytes, the rest 16 to
// 512 bytes and a few to 4 KiB), write them, and put each batch, itself a heap object of just over
// 32 KiB, on a queue that two consumers share; a consumer reads and frees a whole batch in one
// burst while the producers go on allocating fresh ones. Every free is of another thread's
// object, thousands at a time, and a producer never gets its own objects back but by way of the
// allocator. Usage: remote_bursts [producers] [batches per producer]
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "workload.h"

using velk::bench::Random;

namespace {

constexpr std::size_t kObjects = 4096;
constexpr std::size_t kQueued = 32;  // batches the producers may run ahead of the consumers

struct Batch {
  std::size_t count;
  char* objects[kObjects];
};

struct Queue {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<Batch*> batches;
  std::size_t producing = 0;
} queue;

std::size_t sizeOf(Random& random) {
  const std::size_t roll = random.below(16);
  return roll < 10 ? 64 : roll < 15 ? random.between(16, 512) : random.between(513, 4096);
}

void produce(Random random, std::size_t batches) {
  for (std::size_t index = 0; index < batches; ++index) {
    auto* batch = static_cast<Batch*>(std::malloc(sizeof(Batch)));
    batch->count = kObjects;
    for (char*& object : batch->objects) {
      const std::size_t size = sizeOf(random);
      object = static_cast<char*>(std::malloc(size));
      object[0] = static_cast<char>(size);
      object[size - 1] = static_cast<char>(index);
    }
    std::unique_lock guard(queue.lock);
    queue.changed.wait(guard, [] { return queue.batches.size() < kQueued; });
    queue.batches.push_back(batch);
    queue.changed.notify_all();
  }
  const std::lock_guard guard(queue.lock);
  queue.producing -= 1;
  queue.changed.notify_all();
}

void consume(std::uint64_t& sum) {
  for (;;) {
    Batch* batch = nullptr;
    {
      std::unique_lock guard(queue.lock);
      queue.changed.wait(guard, [] { return !queue.batches.empty() || queue.producing == 0; });
      if (queue.batches.empty()) return;
      batch = queue.batches.front();
      queue.batches.pop_front();
      queue.changed.notify_all();
    }
    for (std::size_t index = 0; index < batch->count; ++index) {
      sum += static_cast<unsigned char>(batch->objects[index][0]);
      std::free(batch->objects[index]);
    }
    std::free(batch);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t producers = velk::bench::argument(argc, argv, 1, 2);
  const std::size_t batches = velk::bench::argument(argc, argv, 2, 1500);
  const velk::bench::Stopwatch stopwatch;
  queue.producing = producers;
  std::vector<std::uint64_t> sums(producers);
  std::vector<std::thread> threads;
  for (std::size_t index = 0; index < producers; ++index) {
    threads.emplace_back(produce, Random(index + 1), batches);
    threads.emplace_back(consume, std::ref(sums[index]));
  }
  for (std::thread& thread : threads) thread.join();
  std::uint64_t check = 0;
  for (std::uint64_t sum : sums) check += sum;
  velk::bench::report("remote_bursts", stopwatch, check);
  return 0;
}
