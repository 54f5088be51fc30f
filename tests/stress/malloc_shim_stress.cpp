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
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

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

unsigned char patternByte(std::uint32_t id, std::size_t offset) {
  return static_cast<unsigned char>(id * 61u + offset * 5u);
}

constexpr std::size_t kFullPatternBytes = 4096;
constexpr std::size_t kEdgePatternBytes = 256;

template <typename Visit>
void forPatternBytes(std::size_t size, Visit visit) {
  if (size <= kFullPatternBytes) {
    for (std::size_t offset = 0; offset < size; ++offset) visit(offset);
    return;
  }
  for (std::size_t offset = 0; offset < kEdgePatternBytes; ++offset) visit(offset);
  for (std::size_t offset = size - kEdgePatternBytes; offset < size; ++offset) visit(offset);
}

void fillPattern(const LiveBlock& block) {
  forPatternBytes(block.size, [&](std::size_t offset) {
    block.payload[offset] = patternByte(block.id, offset);
  });
}

void checkPattern(const LiveBlock& block, std::size_t size) {
  forPatternBytes(size, [&](std::size_t offset) {
    if (block.payload[offset] != patternByte(block.id, offset)) fail("payload pattern overwritten");
  });
}

std::size_t draw(std::mt19937_64& random, std::size_t bound) {
  return static_cast<std::size_t>(random() % bound);
}

// Every way into the allocator, with what each promises checked.
LiveBlock allocate(std::mt19937_64& random, std::uint32_t id) {
  const std::size_t band = draw(random, 100);
  const std::size_t size = band < 70   ? draw(random, 300)
                           : band < 95 ? 300 + draw(random, 20000)
                                       : 20000 + draw(random, 2u << 20);
  void* pointer = nullptr;
  std::size_t alignment = alignof(std::max_align_t);
  const char* how = "malloc";
  switch (draw(random, 5)) {
    case 0:
      how = "calloc";
      pointer = std::calloc(1, size);
      if (pointer != nullptr) {
        const auto* bytes = static_cast<const unsigned char*>(pointer);
        forPatternBytes(size, [&](std::size_t offset) {
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
  checkPattern(block, block.size);
  std::free(block.payload);
}

// Grows or shrinks with realloc; the common part must survive.
LiveBlock resize(std::mt19937_64& random, const LiveBlock& block) {
  checkPattern(block, block.size);
  // Never 0, which realloc may answer by freeing.
  const std::size_t size = draw(random, 2) == 0 ? block.size / 2 + 1 : block.size * 2 + 16;
  auto* moved = static_cast<unsigned char*>(std::realloc(block.payload, size));
  if (moved == nullptr) fail("realloc failed");
  const LiveBlock result{moved, size, block.id};
  const std::size_t kept = std::min(block.size, size);
  for (std::size_t offset = 0; offset < std::min(kept, kEdgePatternBytes); ++offset) {
    if (moved[offset] != patternByte(block.id, offset)) fail("realloc lost the payload");
  }
  fillPattern(result);
  return result;
}

struct Options {
  bool timed = false;
  double seconds = 0;
  unsigned threads = 6;
  std::size_t operationsPerThread = 30000;
  std::uint64_t seed = 0;
  unsigned children = 24;
};

class ThreadStress {
 public:
  explicit ThreadStress(const Options& options) : options_(options) {}

  void run() {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (unsigned index = 0; index < options_.threads; ++index) {
      threads.emplace_back([this, index, start] { worker(index, start); });
    }
    for (std::thread& thread : threads) thread.join();
    for (const LiveBlock& block : exchange_) release(block);
    exchange_.clear();
    std::printf("threads: seed %" PRIu64 ", %u threads, %zu operations, %zu handed over, %.1f s\n",
                options_.seed, options_.threads, operations_.load(), handedOver_.load(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }

  // For the fork test: runs until told to stop.
  void worker(unsigned index, std::chrono::steady_clock::time_point start,
              const std::atomic<bool>* stop = nullptr) {
    std::mt19937_64 random(options_.seed * 104729u + index);
    std::vector<LiveBlock> live;
    std::size_t done = 0;
    const auto deadline = start + std::chrono::duration<double>(options_.seconds);
    const auto running = [&] {
      if (stop != nullptr) return !stop->load(std::memory_order_relaxed);
      if (options_.timed) return done % 256 != 0 || std::chrono::steady_clock::now() < deadline;
      return done < options_.operationsPerThread;
    };
    while (running()) {
      ++done;
      const std::size_t choice = draw(random, 100);
      if (choice < 40 && live.size() < 256) {
        live.push_back(allocate(random, nextId_.fetch_add(1) ^ (index << 24)));
      } else if (choice < 55 && !live.empty()) {
        const std::size_t at = draw(random, live.size());
        release(live[at]);
        live[at] = live.back();
        live.pop_back();
      } else if (choice < 65 && !live.empty()) {
        LiveBlock& block = live[draw(random, live.size())];
        if (block.size < (4u << 20)) block = resize(random, block);
      } else if (choice < 80 && !live.empty()) {
        const std::size_t at = draw(random, live.size());
        std::lock_guard<std::mutex> guard(exchangeLock_);
        exchange_.push_back(live[at]);
        live[at] = live.back();
        live.pop_back();
        handedOver_.fetch_add(1, std::memory_order_relaxed);
      } else {
        LiveBlock block{};
        {
          std::lock_guard<std::mutex> guard(exchangeLock_);
          if (exchange_.empty()) continue;
          const std::size_t at = draw(random, exchange_.size());
          block = exchange_[at];
          exchange_[at] = exchange_.back();
          exchange_.pop_back();
        }
        // Freed, or grown, by a thread other than the one that allocated it.
        if (draw(random, 4) == 0 && block.size < (4u << 20)) block = resize(random, block);
        release(block);
      }
    }
    for (const LiveBlock& block : live) release(block);
    operations_.fetch_add(done, std::memory_order_relaxed);
  }

 private:
  Options options_;
  std::mutex exchangeLock_;
  std::vector<LiveBlock> exchange_;
  std::atomic<std::uint32_t> nextId_{1};
  std::atomic<std::size_t> operations_{0};
  std::atomic<std::size_t> handedOver_{0};
};

// A child of a threaded parent: its allocator must work, though the parent's other threads
// vanished mid-operation, from the child's main thread and from a new thread.
[[noreturn]] void childWork(std::uint64_t seed) {
  alarm(20);  // a deadlock shows as death by SIGALRM
  Options options;
  options.threads = 2;
  options.operationsPerThread = 3000;
  options.seed = seed;
  ThreadStress stress(options);
  stress.worker(0, std::chrono::steady_clock::now());
  std::thread helper([&] { stress.worker(1, std::chrono::steady_clock::now()); });
  helper.join();
  std::_Exit(0);
}

void forkTest(const Options& options) {
  ThreadStress parentLoad(options);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (unsigned index = 0; index < options.threads; ++index) {
    threads.emplace_back(
        [&, index] { parentLoad.worker(index, std::chrono::steady_clock::now(), &stop); });
  }
  unsigned passed = 0;
  for (unsigned child = 0; child < options.children; ++child) {
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
  std::printf("fork: %u children forked from %u busy threads, all exited 0\n", passed,
              options.threads);
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
  Options options;
  options.seed = std::random_device{}();
  for (int index = 2; index < argc; ++index) {
    const std::string argument = argv[index];
    const char* value = index + 1 < argc ? argv[index + 1] : nullptr;
    if (argument == "--smoke") {
      options.timed = false;
    } else if (argument == "--seconds" && value != nullptr) {
      options.timed = true;
      options.seconds = std::atof(value);
      ++index;
    } else if (argument == "--threads" && value != nullptr) {
      options.threads = static_cast<unsigned>(std::clamp(std::atoi(value), 1, 64));
      ++index;
    } else if (argument == "--children" && value != nullptr) {
      options.children = static_cast<unsigned>(std::clamp(std::atoi(value), 1, 10000));
      ++index;
    } else if (argument == "--seed" && value != nullptr) {
      options.seed = std::strtoull(value, nullptr, 10);
      ++index;
    } else {
      return usage();
    }
  }
  std::printf("%s: seed %" PRIu64 " (replay with --seed)\n", mode.c_str(), options.seed);
  if (mode == "threads") {
    ThreadStress(options).run();
  } else if (mode == "fork") {
    forkTest(options);
  } else {
    return usage();
  }
  std::printf("%s: passed\n", mode.c_str());
  return 0;
}
