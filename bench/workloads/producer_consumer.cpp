// Producer-consumer across threads: producers allocate messages and pass them through
// single-producer rings to one consumer, which reads and frees them, so every block is freed by a
// thread that did not allocate it. Usage: producer_consumer <producers> <messages per producer>.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

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
  static constexpr std::size_t kSlots = 4096;
  char* slots_[kSlots];
  alignas(64) std::atomic<std::size_t> head_{0};
  alignas(64) std::atomic<std::size_t> tail_{0};
};

char doneMarker;

void produce(Ring& ring, unsigned seed, std::size_t messages) {
  std::uint32_t state = seed * 2654435761u + 1;
  for (std::size_t index = 0; index < messages; ++index) {
    state = state * 1664525u + 1013904223u;
    const std::size_t size = 16 + (state >> 8) % 496;
    char* message = static_cast<char*>(std::malloc(size));
    std::memset(message, static_cast<int>(size), size < 64 ? size : 64);
    message[size - 1] = 0;
    while (!ring.put(message)) std::this_thread::yield();
  }
  while (!ring.put(&doneMarker)) std::this_thread::yield();
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned producers = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 1;
  const std::size_t messages = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 5000000;
  std::vector<std::unique_ptr<Ring>> rings;
  for (unsigned index = 0; index < producers; ++index) rings.push_back(std::make_unique<Ring>());
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (unsigned index = 0; index < producers; ++index)
    threads.emplace_back(produce, std::ref(*rings[index]), index, messages);
  std::uint64_t checksum = 0;
  unsigned finished = 0;
  while (finished < producers) {
    bool tookAny = false;
    for (auto& ring : rings) {
      while (char* message = ring->take()) {
        tookAny = true;
        if (message == &doneMarker) {
          ++finished;
          break;
        }
        checksum += static_cast<unsigned char>(message[0]);
        std::free(message);
      }
    }
    if (!tookAny) std::this_thread::yield();
  }
  for (std::thread& thread : threads) thread.join();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("producer_consumer producers=%u messages=%zu checksum=%llu seconds=%.3f\n", producers,
              messages, static_cast<unsigned long long>(checksum), elapsed.count());
  return 0;
}
