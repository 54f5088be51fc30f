// The malloc shim under load: run with LD_PRELOAD=libvelkmalloc.so.
//
//   malloc_shim_stress threads [--smoke | --seconds N] [--threads T] [--seed S]
//   malloc_shim_stress fork [--children N]
//
// threads: the C library's allocation functions from several threads, Blocks handed between
// threads to be freed (or grown) there, payload patterns checked throughout.
// fork: children forked while the parent's threads allocate and free; each child allocates and
// frees (from a thread of its own too) and must exit 0 before its alarm goes off.
#include <dlfcn.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/stress/payload_pattern.h"
#include "tests/stress/thread_workload.h"

namespace {

using velk::stress::draw;
using velk::stress::RunOptions;
using velk::stress::takeAt;

constexpr velk::stress::PayloadPattern kPattern{61u, 5u, 0xFFu, 4096, 256};
constexpr velk::stress::SizeBands kSizes{300, 20000, 20000, 2u << 20};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "FAILED: %s\n", what);
  std::fflush(stderr);
  std::_Exit(1);
}

struct LiveBlock {
  unsigned char* payload;
  std::size_t size;
  std::uint32_t id;
};

void fillPattern(const LiveBlock& block) {
  kPattern.fill(block.payload, block.size, block.id);
}

void checkPattern(const LiveBlock& block) {
  if (!kPattern.holds(block.payload, block.size, block.id)) fail("payload pattern overwritten");
}

// Every way into the allocator, with what each promises checked.
LiveBlock allocate(std::mt19937_64& random, std::uint32_t id) {
  const std::size_t size = kSizes.pick(random);
  void* pointer = nullptr;
  std::size_t alignment = alignof(std::max_align_t);
  const char* how = "malloc";
  switch (draw(random, 5)) {
    case 0:
      how = "calloc";
      pointer = std::calloc(1, size);
      if (pointer != nullptr) {
        const auto* bytes = static_cast<const unsigned char*>(pointer);
        kPattern.forEachOffset(size, [&](std::size_t offset) {
          if (bytes[offset] != 0) fail("calloc memory is not zero");
        });
      }
      break;
    case 1:
      how = "posix_memalign";
      alignment = std::size_t{1} << (4 + draw(random, 10));
      if (posix_memalign(&pointer, alignment, size) != 0) pointer = nullptr;
      break;
    case 2:
      how = "aligned_alloc";
      alignment = std::size_t{1} << (3 + draw(random, 20));  // up to 4 MiB, beyond the engine's
      pointer = std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
      break;
    default:
      pointer = std::malloc(size);
      break;
  }
  if (pointer == nullptr) fail("an allocation failed");
  if (reinterpret_cast<std::uintptr_t>(pointer) % alignment != 0) {
    std::fprintf(stderr, "%s gave %p for %zu bytes aligned to %zu\n", how, pointer, size,
                 alignment);
    fail("misaligned allocation");
  }
  if (malloc_usable_size(pointer) < size) fail("malloc_usable_size below the size asked for");
  const LiveBlock block{static_cast<unsigned char*>(pointer), size, id};
  fillPattern(block);
  return block;
}

void release(const LiveBlock& block) {
  checkPattern(block);
  std::free(block.payload);
}

// Grows or shrinks with realloc; the common part must survive.
LiveBlock resize(std::mt19937_64& random, const LiveBlock& block) {
  checkPattern(block);
  // Never 0, which realloc may answer by freeing.
  const std::size_t size = draw(random, 2) == 0 ? block.size / 2 + 1 : block.size * 2 + 16;
  auto* moved = static_cast<unsigned char*>(std::realloc(block.payload, size));
  if (moved == nullptr) fail("realloc failed");
  const LiveBlock result{moved, size, block.id};
  const std::size_t kept = std::min({block.size, size, kPattern.edgeBytes});
  if (!kPattern.prefixHolds(moved, kept, block.id)) fail("realloc lost the payload");
  fillPattern(result);
  return result;
}

class ThreadStress {
 public:
  explicit ThreadStress(const RunOptions& options) : options_(options) {}

  void run(unsigned threads) {
    const auto start = std::chrono::steady_clock::now();
    velk::stress::runThreads(threads, [&](unsigned index) { worker(index, start); });
    for (const LiveBlock& block : exchange_.drain()) release(block);
    std::printf("threads: seed %" PRIu64 ", %u threads, %zu operations, %zu handed over, %.1f s\n",
                options_.seed, threads, operations_.load(), exchange_.handedOver(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }

  // For the fork test: runs until told to stop.
  void worker(unsigned index, std::chrono::steady_clock::time_point start,
              const std::atomic<bool>* stop = nullptr) {
    std::mt19937_64 random(options_.seed * 104729u + index);
    std::vector<LiveBlock> live;
    std::size_t done = 0;
    const velk::stress::WorkerPace pace(options_, start);
    const auto running = [&] {
      if (stop != nullptr) return !stop->load(std::memory_order_relaxed);
      return pace.goesOn(done);
    };
    while (running()) {
      ++done;
      const std::size_t choice = draw(random, 100);
      if (choice < 40 && live.size() < 256) {
        live.push_back(allocate(random, nextId_.fetch_add(1) ^ (index << 24)));
      } else if (choice < 55 && !live.empty()) {
        release(takeAt(live, draw(random, live.size())));
      } else if (choice < 65 && !live.empty()) {
        LiveBlock& block = live[draw(random, live.size())];
        if (block.size < (4u << 20)) block = resize(random, block);
      } else if (choice < 80 && !live.empty()) {
        exchange_.put(takeAt(live, draw(random, live.size())));
      } else {
        std::optional<LiveBlock> taken = exchange_.take(random);
        if (!taken) continue;
        LiveBlock block = *taken;
        // Freed, or grown, by a thread other than the one that allocated it.
        if (draw(random, 4) == 0 && block.size < (4u << 20)) block = resize(random, block);
        release(block);
      }
    }
    for (const LiveBlock& block : live) release(block);
    operations_.fetch_add(done, std::memory_order_relaxed);
  }

 private:
  RunOptions options_;
  velk::stress::HandOffQueue<LiveBlock> exchange_;
  std::atomic<std::uint32_t> nextId_{1};
  std::atomic<std::size_t> operations_{0};
};

// A child of a threaded parent: its allocator must work, though the parent's other threads
// vanished mid-operation, from the child's main thread and from a new thread.
[[noreturn]] void childWork(std::uint64_t seed) {
  alarm(20);  // a deadlock shows as death by SIGALRM
  RunOptions options;
  options.threads = 2;
  options.operationsPerThread = 3000;
  options.seed = seed;
  ThreadStress stress(options);
  stress.worker(0, std::chrono::steady_clock::now());
  std::thread helper([&] { stress.worker(1, std::chrono::steady_clock::now()); });
  helper.join();
  std::_Exit(0);
}

void forkTest(const RunOptions& options, unsigned threadCount, unsigned children) {
  ThreadStress parentLoad(options);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (unsigned index = 0; index < threadCount; ++index) {
    threads.emplace_back(
        [&, index] { parentLoad.worker(index, std::chrono::steady_clock::now(), &stop); });
  }
  unsigned passed = 0;
  for (unsigned child = 0; child < children; ++child) {
    // Let the threads get busy, so the fork lands in the middle of their work.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const pid_t pid = fork();
    if (pid < 0) fail("fork failed");
    if (pid == 0) childWork(options.seed + child);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) fail("waitpid failed");
    if (WIFSIGNALED(status)) {
      std::fprintf(stderr, "child %u died by signal %d%s\n", child, WTERMSIG(status),
                   WTERMSIG(status) == SIGALRM ? " (deadlocked)" : "");
      fail("a forked child did not finish");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("a forked child failed");
    ++passed;
  }
  stop = true;
  for (std::thread& thread : threads) thread.join();
  std::printf("fork: %u children forked from %u busy threads, all exited 0\n", passed, threadCount);
}

// The test means nothing unless the shim is the allocator in use.
void requireShim() {
  Dl_info info;
  void* active = dlsym(RTLD_DEFAULT, "malloc");
  if (active == nullptr || dladdr(active, &info) == 0 || info.dli_fname == nullptr ||
      std::strstr(info.dli_fname, "velkmalloc") == nullptr) {
    fail("malloc is not the shim's: run with LD_PRELOAD=libvelkmalloc.so");
  }
}

int usage() {
  std::fprintf(stderr,
               "usage: malloc_shim_stress threads [--smoke | --seconds N] [--threads T] "
               "[--seed S]\n       malloc_shim_stress fork [--children N] [--threads T]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  requireShim();
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const std::string mode = argv[1];
  RunOptions options;
  options.operationsPerThread = 30000;
  options.seed = std::random_device{}();
  unsigned children = 24;
  for (int index = 2; index < argc; ++index) {
    if (velk::stress::readRunOption(argc, argv, index, options)) continue;
    if (std::string(argv[index]) == "--children" && index + 1 < argc) {
      children = static_cast<unsigned>(std::clamp(std::atoi(argv[++index]), 1, 10000));
    } else {
      return usage();
    }
  }
  const auto threads = static_cast<unsigned>(std::clamp(options.threads, 1, 64));
  std::printf("%s: seed %" PRIu64 " (replay with --seed)\n", mode.c_str(), options.seed);
  if (mode == "threads") {
    ThreadStress(options).run(threads);
  } else if (mode == "fork") {
    forkTest(options, threads, children);
  } else {
    return usage();
  }
  std::printf("%s: passed\n", mode.c_str());
  return 0;
}
