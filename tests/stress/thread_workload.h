// The frame the thread stress programs share: their command-line options, how long a worker
// runs, and the queue through which workers hand Blocks to one another, so that Blocks are freed
// (or resized) by a thread other than the one that allocated them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velk::stress {

struct RunOptions {
  bool timed = false;
  double seconds = 0;
  // As given on the command line; each program holds it to its own bounds.
  int threads = 6;
  std::size_t operationsPerThread = 20000;
  std::uint64_t seed = 0;
};

// Reads argv[index] when it is --smoke, --seconds N, --threads T or --seed S, and moves `index`
// onto the last argument it read; false for anything else, which is the caller's to read.
inline bool readRunOption(int argc, char** argv, int& index, RunOptions& options) {
  const std::string argument = argv[index];
  const char* value = index + 1 < argc ? argv[index + 1] : nullptr;
  if (argument == "--smoke") {
    options.timed = false;
    return true;
  }
  if (value == nullptr) return false;
  if (argument == "--seconds") {
    options.timed = true;
    options.seconds = std::atof(value);
  } else if (argument == "--threads") {
    options.threads = std::atoi(value);
  } else if (argument == "--seed") {
    options.seed = std::strtoull(value, nullptr, 10);
  } else {
    return false;
  }
  ++index;
  return true;
}

// Whether a worker that has done `done` operations goes on: a fixed count, or until the time is
// up (the clock read only every 256 operations, where it would otherwise dominate).
class WorkerPace {
 public:
  WorkerPace(const RunOptions& options, std::chrono::steady_clock::time_point start)
      : options_(options), deadline_(start + std::chrono::duration<double>(options.seconds)) {}

  bool goesOn(std::size_t done) const {
    return options_.timed ? (done % 256 != 0 || std::chrono::steady_clock::now() < deadline_)
                          : done < options_.operationsPerThread;
  }

 private:
  const RunOptions& options_;
  // Kept in fractional ticks, as the seconds are given, so the deadline is not rounded.
  decltype(std::chrono::steady_clock::now() + std::chrono::duration<double>()) deadline_;
};

// Runs `work(index)` on `count` threads and waits for all of them.
template <typename Work>
void runThreads(unsigned count, Work work) {
  std::vector<std::thread> threads;
  for (unsigned index = 0; index < count; ++index) {
    threads.emplace_back([&work, index] { work(index); });
  }
  for (std::thread& thread : threads) thread.join();
}

// A number below `bound`; the small bias of the modulo does not matter here.
inline std::size_t draw(std::mt19937_64& random, std::size_t bound) {
  return static_cast<std::size_t>(random() % bound);
}

// Request sizes in three bands: seven in ten small, a quarter medium, one in twenty large.
struct SizeBands {
  std::size_t smallEnd;
  std::size_t mediumSpan;
  std::size_t largeStart;
  std::size_t largeSpan;

  std::size_t pick(std::mt19937_64& random) const {
    const std::size_t band = draw(random, 100);
    return band < 70   ? draw(random, smallEnd)
           : band < 95 ? smallEnd + draw(random, mediumSpan)
                       : largeStart + draw(random, largeSpan);
  }
};

// Removes and returns the item at `index`, moving the last one into its place.
template <typename Item>
Item takeAt(std::vector<Item>& items, std::size_t index) {
  const Item item = items[index];
  items[index] = items.back();
  items.pop_back();
  return item;
}

// Blocks one worker gives up for whichever worker takes them next.
template <typename Item>
class HandOffQueue {
 public:
  void put(const Item& item) {
    std::lock_guard<std::mutex> guard(lock_);
    items_.push_back(item);
    ++handedOver_;
  }

  // One of the waiting items, drawn at random; none when the queue is empty.
  std::optional<Item> take(std::mt19937_64& random) {
    std::lock_guard<std::mutex> guard(lock_);
    if (items_.empty()) return std::nullopt;
    return takeAt(items_, draw(random, items_.size()));
  }

  // Everything left once the workers have stopped.
  std::vector<Item> drain() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(items_, {});
  }

  std::size_t handedOver() {
    std::lock_guard<std::mutex> guard(lock_);
    return handedOver_;
  }

 private:
  std::mutex lock_;
  std::vector<Item> items_;
  std::size_t handedOver_ = 0;
};

}  // namespace velk::stress
