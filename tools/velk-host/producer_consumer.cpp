// Producers allocate and fill payloads and hand them through a bounded queue to consumers, which
// check and free them: every payload is freed on another thread than the one that allocated it.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "payload_pattern.h"
#include "workloads.h"

namespace velk::host {
namespace {

constexpr std::size_t kQueueCapacity = 256;
constexpr std::uint64_t kProgressBatch = 1024;

class HandOver {
 public:
  explicit HandOver(unsigned producers) : producersLeft_(producers) {}

  void push(const Held& held) {
    std::unique_lock<std::mutex> guard(mutex_);
    notFull_.wait(guard, [this] { return queue_.size() < kQueueCapacity; });
    queue_.push_back(held);
    notEmpty_.notify_one();
  }
  // False once every producer has finished and the queue is empty.
  bool pop(Held& held) {
    std::unique_lock<std::mutex> guard(mutex_);
    notEmpty_.wait(guard, [this] { return !queue_.empty() || producersLeft_ == 0; });
    if (queue_.empty()) return false;
    held = queue_.front();
    queue_.pop_front();
    notFull_.notify_one();
    return true;
  }
  // True for the last producer to finish.
  bool producerDone() {
    std::lock_guard<std::mutex> guard(mutex_);
    const bool last = --producersLeft_ == 0;
    if (last) notEmpty_.notify_all();
    return last;
  }

 private:
  std::mutex mutex_;
  std::condition_variable notFull_;
  std::condition_variable notEmpty_;
  std::deque<Held> queue_;
  unsigned producersLeft_;
};

// Mostly small messages with an occasional buffer of up to 64 KiB.
std::uint32_t messageSize(Random& random) {
  return random.below(16) == 0 ? random.between(4097, 64 * 1024) : random.between(1, 1024);
}

}  // namespace

WorkloadResult runProducerConsumer(const AllocatorExports& exports,
                                   const WorkloadOptions& options) {
  // Half the threads produce and half consume; a single thread still gets one of each.
  const unsigned producerCount = std::max(1u, options.threads / 2);
  const unsigned consumerCount = std::max(1u, options.threads - producerCount);
  // Each payload costs one allocation and one free.
  const std::uint64_t messages = options.ops / 2;
  WorkloadOptions messageOptions = options;
  messageOptions.ops = messages;
  HandOver handOver(producerCount);
  std::vector<WorkloadResult> results(producerCount + consumerCount);
  std::vector<std::thread> threads;
  for (unsigned index = 0; index < producerCount; ++index) {
    threads.emplace_back([&, index] {
      Random random(options.seed + 0x1000193ull * index);
      WorkloadResult& result = results[index];
      const std::uint64_t count = opsOfThread(messageOptions, index, producerCount);
      for (std::uint64_t message = 0; message < count; ++message) {
        const Held held = allocateChecked(exports, messageSize(random),
                                          static_cast<unsigned char>(message), result);
        if (held.payload != nullptr) handOver.push(held);
        if (message % kProgressBatch == kProgressBatch - 1) noteOps(options, kProgressBatch);
      }
      noteOps(options, count % kProgressBatch);
      // The queue is as full as it gets while the last producer finishes.
      if (handOver.producerDone() && options.atPeak) options.atPeak();
    });
  }
  for (unsigned index = 0; index < consumerCount; ++index) {
    threads.emplace_back([&, index] {
      WorkloadResult& result = results[producerCount + index];
      Held held{};
      std::uint64_t freed = 0;
      while (handOver.pop(held)) {
        releaseChecked(exports, held, result);
        if (++freed % kProgressBatch == 0) noteOps(options, kProgressBatch);
      }
      noteOps(options, freed % kProgressBatch);
    });
  }
  for (std::thread& thread : threads) thread.join();
  WorkloadResult total;
  for (const WorkloadResult& result : results) total += result;
  return total;
}

}  // namespace velk::host
