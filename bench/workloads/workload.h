// What the workload programs share: a deterministic random generator (the same numbers under
// every allocator), a stopwatch, and the one result line bench/run.sh reads. Every program also
// prints a check value that depends only on its input, so that a run under any allocator can be
// held against the run under the C library's.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace velk::bench {

// xorshift64*: fast, and good enough to pick sizes and slots.
struct Random {
  std::uint64_t state;
  explicit Random(std::uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull | 1) {}
  std::uint64_t next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1Dull;
  }
  std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }
  // Uniform in [low, high].
  std::size_t between(std::size_t low, std::size_t high) { return low + below(high - low + 1); }
};

class Stopwatch {
 public:
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

inline std::size_t argument(int argc, char** argv, int index, std::size_t fallback) {
  return argc > index ? std::strtoull(argv[index], nullptr, 10) : fallback;
}

inline void report(const char* workload, const Stopwatch& stopwatch, std::uint64_t check) {
  std::printf("%s check=%llu seconds=%.3f\n", workload, static_cast<unsigned long long>(check),
              stopwatch.seconds());
}

// Keeps `slots` objects and, each step, replaces a random one with a fresh object that
// `make(random, size)` allocates (setting its size), whose bytes `touch(object, size, step)`
// writes; the last byte of every object replaced goes into `sum`.
template <typename Make, typename Touch>
void replaceMadeAtRandom(Random& random, std::size_t slots, std::size_t steps, std::uint64_t& sum,
                         Make make, Touch touch) {
  std::vector<char*> objects(slots, nullptr);
  std::vector<std::size_t> sizes(slots, 0);
  for (std::size_t step = 0; step < steps; ++step) {
    const std::size_t slot = random.below(slots);
    if (objects[slot] != nullptr) sum += static_cast<unsigned char>(objects[slot][sizes[slot] - 1]);
    std::free(objects[slot]);
    objects[slot] = make(random, sizes[slot]);
    touch(objects[slot], sizes[slot], step);
  }
  for (char* object : objects) std::free(object);
}

// replaceMadeAtRandom with objects from malloc, of the size `sizeOf(random)` picks.
template <typename SizeOf, typename Touch>
void replaceAtRandom(Random& random, std::size_t slots, std::size_t steps, std::uint64_t& sum,
                     SizeOf sizeOf, Touch touch) {
  replaceMadeAtRandom(
      random, slots, steps, sum,
      [&sizeOf](Random& sizes, std::size_t& size) {
        size = sizeOf(sizes);
        return static_cast<char*>(std::malloc(size));
      },
      touch);
}

// Runs `work(Random, steps, sum)` on `threads` threads, each with a generator of its own, and
// reports the workload with the sums of all of them as its check.
template <typename Work>
void runThreads(const char* workload, std::size_t threads, std::size_t steps, Work work) {
  const Stopwatch stopwatch;
  std::vector<std::uint64_t> sums(threads);
  std::vector<std::thread> workers;
  for (std::size_t index = 0; index < threads; ++index) {
    workers.emplace_back(work, Random(index + 1), steps, std::ref(sums[index]));
  }
  for (std::thread& worker : workers) worker.join();
  std::uint64_t check = 0;
  for (std::uint64_t sum : sums) check += sum;
  report(workload, stopwatch, check);
}

}  // namespace velk::bench
