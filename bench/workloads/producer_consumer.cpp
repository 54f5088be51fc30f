// Producer-consumer: producers allocate 64-byte messages and pass them through rings to
// consumers, which read and free them, so every free is remote. Two producers each feed their
// own consumer. Usage: producer_consumer [pairs] [messages per producer]
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "workload.h"

namespace {

class Ring {
 public:
  bool put(char* message) {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) == kSlots) return false;
    slots_[tail % kSlots] = message;
    tail_.store(tail + 1, std::memory_order_release);
    return true;
  }
  char* take() {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    if (head == tail_.load(std::memory_order_acquire)) return nullptr;
    char* message = slots_[head % kSlots];
    head_.store(head + 1, std::memory_order_release);
    return message;
  }

 private:
  static constexpr std::size_t kSlots = 1024;
  char* slots_[kSlots];
  alignas(64) std::atomic<std::size_t> head_{0};
  alignas(64) std::atomic<std::size_t> tail_{0};
};

constexpr std::size_t kMessageBytes = 64;
char endOfMessages;

void produce(Ring& ring, std::size_t messages) {
  for (std::size_t index = 0; index < messages; ++index) {
    char* message = static_cast<char*>(std::malloc(kMessageBytes));
    std::memset(message, static_cast<int>(index), kMessageBytes);
    while (!ring.put(message)) std::this_thread::yield();
  }
  while (!ring.put(&endOfMessages)) std::this_thread::yield();
}

void consume(Ring& ring, std::uint64_t& sum) {
  for (;;) {
    char* message = ring.take();
    if (message == nullptr) {
      std::this_thread::yield();
      continue;
    }
    if (message == &endOfMessages) return;
    sum += static_cast<unsigned char>(message[kMessageBytes - 1]);
    std::free(message);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t pairs = velk::bench::argument(argc, argv, 1, 2);
  const std::size_t messages = velk::bench::argument(argc, argv, 2, 6000000);
  const velk::bench::Stopwatch stopwatch;
  std::vector<std::unique_ptr<Ring>> rings;
  std::vector<std::uint64_t> sums(pairs);
  std::vector<std::thread> threads;
  for (std::size_t index = 0; index < pairs; ++index) rings.push_back(std::make_unique<Ring>());
  for (std::size_t index = 0; index < pairs; ++index) {
    threads.emplace_back(produce, std::ref(*rings[index]), messages);
    threads.emplace_back(consume, std::ref(*rings[index]), std::ref(sums[index]));
  }
  for (std::thread& thread : threads) thread.join();
  std::uint64_t check = 0;
  for (std::uint64_t sum : sums) check += sum;
  velk::bench::report("producer_consumer", stopwatch, check);
  return 0;
}
