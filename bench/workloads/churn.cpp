// Server-like random churn: each thread keeps a table of live objects and replaces a random one
// at every step with a fresh object of a random small size (mostly under 256 bytes, a few up to
// 4 KiB), touching what it gets. Usage: churn <threads> <steps per thread> <live objects>.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

std::size_t sizeFrom(Random& random) {
  const std::uint64_t roll = random.next();
  if (roll % 64 == 0) return 256 + roll % 3840;
  return 8 + (roll >> 8) % 248;
}

void churn(unsigned seed, std::size_t steps, std::size_t live) {
  Random random{0x9E3779B97F4A7C15ull * (seed + 1)};
  std::vector<char*> slots(live, nullptr);
  for (std::size_t step = 0; step < steps; ++step) {
    char*& slot = slots[random.next() % live];
    std::free(slot);
    const std::size_t size = sizeFrom(random);
    slot = static_cast<char*>(std::malloc(size));
    slot[0] = static_cast<char>(step);
    slot[size - 1] = static_cast<char>(step);
  }
  for (char* slot : slots) std::free(slot);
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned threads = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 1;
  const std::size_t steps = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 10000000;
  const std::size_t live = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 10000;
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (unsigned index = 0; index < threads; ++index)
    workers.emplace_back(churn, index, steps, live);
  for (std::thread& worker : workers) worker.join();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("churn threads=%u steps=%zu live=%zu seconds=%.3f\n", threads, steps, live,
              elapsed.count());
  return 0;
}
