// The malloc shim under load: run with LD_PRELOAD=libvelkmalloc.so.
//
//   malloc_shim_stress threads [--seconds N | --operations N] [--threads T] [--seed S]
//   malloc_shim_stress fork [--children N] [--threads T]
//
// threads: every allocation function from several threads, Blocks handed to other threads to be
// freed or grown there, payload patterns checked throughout. fork: children forked while the
// parent's threads allocate and free; each child allocates and frees, from a thread of its own
// too, and must exit 0 before its alarm goes off.
#include <dlfcn.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/operation_run.h"

namespace {

using velk::testing::fail;

struct Held {
  unsigned char* payload;
  std::size_t size;
  unsigned char mark;
};

// Bytes of every value; only the head and tail of large payloads, so they cost little memory.
template <typename Visit>
bool forEachPatterned(const Held& held, Visit visit) {
  bool same = true;
  for (std::size_t offset = 0; offset < held.size;
       offset = offset == 255 ? std::max<std::size_t>(256, held.size - 64) : offset + 1) {
    same =
        visit(held.payload[offset], static_cast<unsigned char>(held.mark + offset * 131)) && same;
  }
  return same;
}
void fill(const Held& held) {
  forEachPatterned(held, [](unsigned char& byte, unsigned char value) {
    byte = value;
    return true;
  });
}
void check(const Held& held) {
  if (!forEachPatterned(held,
                        [](unsigned char& byte, unsigned char value) { return byte == value; })) {
    fail("payload pattern overwritten");
  }
}

Held allocate(std::mt19937_64& random) {
  const std::size_t size = random() % 100 < 90 ? random() % 300 : random() % (2u << 20);
  std::size_t alignment = alignof(std::max_align_t);
  void* pointer = nullptr;
  switch (random() % 4) {
    case 0:
      pointer = std::calloc(1, size);
      if (pointer != nullptr &&
          std::any_of(static_cast<char*>(pointer),
                      static_cast<char*>(pointer) + std::min<std::size_t>(size, 4096),
                      [](char c) { return c != 0; })) {
        fail("calloc memory is not zero");
      }
      break;
    case 1:
      alignment = std::size_t{16} << random() % 10;
      if (posix_memalign(&pointer, alignment, size) != 0) pointer = nullptr;
      break;
    case 2:
      alignment = std::size_t{8} << random() % 20;  // up to 4 MiB, beyond the engine's own
      pointer = std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
      break;
    default:
      pointer = std::malloc(size);
  }
  if (pointer == nullptr) fail("an allocation failed");
  if (reinterpret_cast<std::uintptr_t>(pointer) % alignment != 0) fail("misaligned allocation");
  if (malloc_usable_size(pointer) < size) fail("malloc_usable_size below the size asked for");
  const Held held{static_cast<unsigned char*>(pointer), size, static_cast<unsigned char>(random())};
  fill(held);
  return held;
}

void release(const Held& held) {
  check(held);
  std::free(held.payload);
}

// Grows or shrinks with realloc, never to 0; the head both sizes share must survive.
Held resize(std::mt19937_64& random, Held held) {
  check(held);
  const std::size_t size = random() % 2 == 0 ? held.size / 2 + 1 : held.size * 2 + 16;
  held.payload = static_cast<unsigned char*>(std::realloc(held.payload, size));
  if (held.payload == nullptr) fail("realloc failed");
  check({held.payload, std::min({held.size, size, std::size_t{256}}), held.mark});
  held.size = size;
  fill(held);
  return held;
}

// Blocks one thread gives up for another to free or grow.
struct Exchange {
  std::mutex lock;
  std::vector<Held> blocks;
};

void worker(std::uint64_t seed, const velk::testing::StressOptions& options,
            const std::atomic<bool>* stop, Exchange& exchange) {
  std::mt19937_64 random(seed);
  std::vector<Held> live;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long>(options.seconds * 1000));
  for (std::size_t done = 0; stop != nullptr       ? !stop->load()
                             : options.seconds > 0 ? std::chrono::steady_clock::now() < deadline
                                                   : done < options.operations;
       ++done) {
    const std::size_t choice = random() % 100;
    if (choice < 40 && live.size() < 256) {
      live.push_back(allocate(random));
    } else if (choice < 80 && !live.empty()) {
      const std::size_t index = random() % live.size();
      const Held held = live[index];
      live[index] = live.back();
      live.pop_back();
      if (choice < 55) {
        release(held);
      } else if (choice < 65 && held.size < (4u << 20)) {
        live.push_back(resize(random, held));
      } else {
        std::lock_guard<std::mutex> guard(exchange.lock);
        exchange.blocks.push_back(held);
      }
    } else {
      std::unique_lock<std::mutex> guard(exchange.lock);
      if (exchange.blocks.empty()) continue;
      Held held = exchange.blocks.back();
      exchange.blocks.pop_back();
      guard.unlock();
      if (random() % 4 == 0 && held.size < (4u << 20)) held = resize(random, held);
      release(held);
    }
  }
  for (const Held& held : live) release(held);
}

void run(const velk::testing::StressOptions& options, const std::atomic<bool>* stop) {
  Exchange exchange;
  std::vector<std::thread> threads;
  for (unsigned index = 0; index < options.threads; ++index) {
    threads.emplace_back(worker, options.seed * 104729u + index, std::cref(options), stop,
                         std::ref(exchange));
  }
  for (std::thread& thread : threads) thread.join();
  for (const Held& held : exchange.blocks) release(held);
}

}  // namespace

int main(int argc, char** argv) {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(dlsym(RTLD_DEFAULT, "malloc")), &info) == 0 ||
      info.dli_fname == nullptr || std::strstr(info.dli_fname, "velkmalloc") == nullptr) {
    fail("malloc is not the shim's: run with LD_PRELOAD=libvelkmalloc.so");
  }
  const std::string mode = argc > 1 ? argv[1] : "";
  velk::testing::StressOptions options = velk::testing::parseStressOptions(argc, argv, 2);
  if (mode == "threads") {
    run(options, nullptr);
  } else if (mode == "fork") {
    const int children = argc > 3 && std::string(argv[2]) == "--children" ? std::atoi(argv[3]) : 24;
    std::atomic<bool> stop{false};
    std::thread parentLoad([&] { run(options, &stop); });
    for (int child = 0; child < children; ++child) {
      // Let the threads get busy, so the fork lands in the middle of their work.
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const pid_t pid = fork();
      if (pid == 0) {
        alarm(20);  // a deadlock shows as death by SIGALRM
        options.threads = 1;
        options.operations = 3000;
        run(options, nullptr);
        std::thread([&] { run(options, nullptr); }).join();
        std::_Exit(0);
      }
      int status = 0;
      if (pid < 0 || waitpid(pid, &status, 0) != pid) fail("fork or waitpid failed");
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "child %d: status %d%s\n", child, status,
                     WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM ? " (deadlocked)" : "");
        fail("a forked child did not finish");
      }
    }
    stop = true;
    parentLoad.join();
  } else {
    std::fprintf(stderr, "usage: malloc_shim_stress threads|fork [options]\n");
    return 2;
  }
  std::printf("%s: passed\n", mode.c_str());
  return 0;
}
