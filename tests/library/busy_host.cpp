// A Linux host whose two threads keep allocating, filling, checking and freeing through the
// exports while its main thread does what programs do around such threads:
//   busy_host LIBRARY exit RUNS       RUNS times, a fresh process loads the library, starts the
//                                     threads and returns from main without stopping them; it
//                                     must exit 0 and leave the unload line and the whole report.
//   busy_host LIBRARY fork CHILDREN   forks CHILDREN times from the busy process; every child
//                                     must allocate and free through the exports and exit 0.
// Prints each failure and exits 0 only when there was none.
#include <pthread.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "allocator_library.h"
#include "trace-log/trace_log.h"

namespace {

using velk::host::AllocatorExports;
using velk::host::AllocatorLibrary;

std::atomic<bool> stopChurning{false};
std::atomic<int> threadsChurning{0};
std::atomic<bool> standingStill{false};

// Stops a churning thread wherever the signal found it, perhaps holding the heap's lock, for two
// milliseconds, as the system stops a thread it preempts.
void standStill(int) {
  standingStill = true;
  const timespec pause{0, 2'000'000};
  nanosleep(&pause, nullptr);
}

// `steps` rounds of freeing or allocating (1 to 100 bytes) in one of 16 slots, picked at random;
// payloads hold every byte value and are checked before they are freed.
void churn(const AllocatorExports& heap, std::uint64_t seed, std::uint64_t steps) {
  unsigned char* held[16] = {};
  std::uint32_t sizes[16] = {};
  auto byteAt = [](std::uint32_t size, std::uint32_t i) {
    return static_cast<unsigned char>(size * 7 + i * 131);
  };
  ++threadsChurning;
  for (std::uint64_t step = 0; step < steps && !stopChurning.load(std::memory_order_relaxed);
       ++step) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    const auto slot = static_cast<std::size_t>(seed >> 60);
    if (held[slot] != nullptr) {
      for (std::uint32_t i = 0; i < sizes[slot]; ++i) {
        if (held[slot][i] != byteAt(sizes[slot], i)) std::abort();
      }
      heap.memFree(held[slot]);
      held[slot] = nullptr;
      continue;
    }
    sizes[slot] = 1 + static_cast<std::uint32_t>(seed >> 32) % 100;
    held[slot] = static_cast<unsigned char*>(heap.memAlloc(sizes[slot]));
    if (held[slot] == nullptr) std::abort();
    for (std::uint32_t i = 0; i < sizes[slot]; ++i) held[slot][i] = byteAt(sizes[slot], i);
  }
  for (unsigned char* payload : held) heap.memFree(payload);
}

// Empty when `child` exited with status 0; otherwise how it ended.
std::string endOf(pid_t child) {
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return "not started";
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  return std::string("killed by ") + strsignal(WTERMSIG(status));
}

// The load lines, then (after any trace lines) the unload line and the whole report, with no
// line inside or after them: 19 lines after the last trace line or the load lines.
bool logIsWhole() {
  std::string error;
  const std::optional<velk::tracelog::TraceLog> log =
      velk::tracelog::readLog("VelkAllocator.log", error);
  if (!log) return false;
  const std::uint32_t beforeUnload = log->calls.empty() ? 2 : log->calls.back().line;
  return log->loaded && log->upFrontSegment == 1 && log->shutDown && log->report.size() == 15 &&
         log->problems.empty() && !log->truncatedLastLine && log->lineCount == beforeUnload + 19;
}

int returnFromMainWithThreadsRunning(const char* libraryPath) {
  // The host's own teardown, registered before the library's and so run after it, takes a few
  // milliseconds, as writing out a file would.
  std::atexit([] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); });
  // Never unloaded by the host: the end of the process does it.
  static AllocatorLibrary* library = new AllocatorLibrary(libraryPath);
  if (!library->loaded()) return 2;
  for (std::uint64_t seed : {1u, 2u}) {
    std::thread(churn, std::cref(library->exports()), seed, UINT64_MAX).detach();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return 0;
}

int exitRuns(char** argv, int runs) {
  int failures = 0;
  for (int run = 0; run < runs; ++run) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
      alarm(10);  // a run that hangs at exit fails, and the others still run
      const char* arguments[] = {argv[0], argv[1], "return-from-main", nullptr};
      execv("/proc/self/exe", const_cast<char* const*>(arguments));
      _exit(127);
    }
    std::string failure = endOf(child);
    if (failure.empty() && !logIsWhole()) failure = "log without the unload line and report";
    if (failure.empty()) continue;
    std::printf("run %d: %s\n", run, failure.c_str());
    ++failures;
  }
  std::printf("%d of %d runs failed\n", failures, runs);
  return failures == 0 ? 0 : 1;
}

int forkChildren(const char* libraryPath, int children) {
  AllocatorLibrary library(libraryPath);
  if (!library.loaded()) return 2;
  std::thread threads[] = {std::thread(churn, std::cref(library.exports()), 1u, UINT64_MAX),
                           std::thread(churn, std::cref(library.exports()), 2u, UINT64_MAX)};
  std::signal(SIGUSR1, standStill);
  // A thread still starting may hold the runtime's own locks, which are no concern here.
  while (threadsChurning < 2) {
  }
  int failures = 0;
  for (int index = 0; index < children; ++index) {
    std::fflush(nullptr);
    standingStill = false;
    pthread_kill(threads[index % 2].native_handle(), SIGUSR1);
    while (!standingStill) {
    }
    const pid_t child = fork();
    if (child == 0) {
      // A child that inherited a lock nobody will release hangs: the alarm ends it.
      alarm(5);
      churn(library.exports(), 3, 2000);
      std::exit(0);
    }
    const std::string failure = endOf(child);
    if (failure.empty()) continue;
    std::printf("child %d: %s\n", index, failure.c_str());
    ++failures;
  }
  stopChurning = true;
  for (std::thread& thread : threads) thread.join();
  library.unload();
  // The library's fork handlers left with it: a fork must not call into its unmapped code.
  const pid_t child = fork();
  if (child == 0) _exit(0);
  const std::string failure = endOf(child);
  if (!failure.empty()) std::printf("fork after unloading: %s\n", failure.c_str());
  failures += failure.empty() ? 0 : 1;
  std::printf("%d of %d children failed\n", failures, children);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[2], "return-from-main") == 0) {
    return returnFromMainWithThreadsRunning(argv[1]);
  }
  if (argc == 4 && std::strcmp(argv[2], "exit") == 0) return exitRuns(argv, std::atoi(argv[3]));
  if (argc == 4 && std::strcmp(argv[2], "fork") == 0) {
    return forkChildren(argv[1], std::atoi(argv[3]));
  }
  std::fprintf(stderr, "usage: %s LIBRARY exit RUNS | fork CHILDREN\n", argv[0]);
  return 2;
}
