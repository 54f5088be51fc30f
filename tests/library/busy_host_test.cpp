// Linux hosts that exit or fork while two of their threads work in the heap: exit leaves the other
// threads running while the library unloads, and fork copies the heap's lock in whatever state
// they left it. Both builds of the library, the traced one writing a line per call meanwhile.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "library_test.h"
#include "trace-log/trace_log.h"

namespace velk::library_test {
namespace {

using BusyHost = LibraryTest;
const char* const kLibraries[] = {VELK_PRODUCT_LIBRARY, VELK_TRACED_LIBRARY};

// The load lines, any trace lines, then the unload line and the whole report, with nothing after
// it; no call made by one of `strangers`.
void expectWholeLog(const std::set<std::uint32_t>& strangers = {}) {
  const tracelog::TraceLog log = tracelog::parseLog(testing::readLog());
  const std::uint32_t beforeUnload = log.calls.empty() ? 2 : log.calls.back().line;
  EXPECT_TRUE(log.loaded && log.upFrontSegment == 1 && log.shutDown && log.report.size() == 15 &&
              log.problems.empty() && !log.truncatedLastLine && log.lineCount == beforeUnload + 19)
      << testing::readLog();
  for (const tracelog::TracedCall& call : log.calls) {
    ASSERT_EQ(strangers.count(call.thread), 0u) << "line " << call.line;
  }
}

// Each run a fresh process returns from main with two threads still calling the library: it must
// exit 0 and leave the unload line and the whole report.
TEST_F(BusyHost, ExitWhileThreadsStillWorkInTheHeap) {
  const char* runs = std::getenv("VELK_EXIT_RUNS");
  for (const char* library : kLibraries) {
    for (int run = 0; run < (runs != nullptr ? std::atoi(runs) : 30); ++run) {
      SCOPED_TRACE(std::string(library) + ", run " + std::to_string(run));
      ASSERT_EQ(runChild("exit-while-busy", library), 0);
      expectWholeLog();
    }
  }
}

// What the threads of a forking host do: allocate, fill, check and free through the exports alone,
// payloads holding every byte value. They never call the runtime's malloc, whose locks not every
// runtime takes across fork (the fuzz build's sanitizer runtime does not): a thread stopped
// anywhere holds no lock but the heap's and perhaps the log's. Aborts on a null or a changed
// payload.
void churn(const host::AllocatorExports& heap, std::uint64_t seed, std::size_t steps,
           const std::atomic<bool>& stop) {
  unsigned char* held[16] = {};
  std::uint32_t sizes[16] = {};
  auto byteAt = [](std::uint32_t size, std::uint32_t at) {
    return static_cast<unsigned char>(size * 7 + at * 131);
  };
  for (std::size_t step = 0; step < steps && !stop.load(std::memory_order_relaxed); ++step) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    const auto slot = static_cast<std::size_t>(seed >> 60);
    if (held[slot] != nullptr) {
      for (std::uint32_t at = 0; at < sizes[slot]; ++at) {
        if (held[slot][at] != byteAt(sizes[slot], at)) std::abort();
      }
      heap.memFree(std::exchange(held[slot], nullptr));
      continue;
    }
    sizes[slot] = 1 + static_cast<std::uint32_t>(seed >> 32) % 100;
    held[slot] = static_cast<unsigned char*>(heap.memAlloc(sizes[slot]));
    if (held[slot] == nullptr) std::abort();
    for (std::uint32_t at = 0; at < sizes[slot]; ++at) held[slot][at] = byteAt(sizes[slot], at);
  }
  for (unsigned char* payload : held) heap.memFree(payload);
}

std::atomic<bool> standingStill{false};

// Stops a busy thread wherever the signal found it, perhaps holding the heap's lock, for two
// milliseconds, as the system stops a thread it preempts.
void standStill(int) {
  standingStill = true;
  const timespec pause{0, 2'000'000};
  nanosleep(&pause, nullptr);
}

// Empty when `child` exited with status 0; otherwise how it ended.
std::string endOf(pid_t child) {
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return "not started";
  if (WIFEXITED(status)) return WEXITSTATUS(status) == 0 ? "" : "exit " + std::to_string(status);
  return std::string("killed by ") + strsignal(WTERMSIG(status));
}

// Children forked while a thread stands still somewhere in the heap must be served (a lock that
// nobody will release would hang them: the alarm ends them) and, exiting with their copy of the
// library loaded, write nothing to the parent's log. The first child lives on past the parent's
// unload: it must not keep the log from the next load. Unloaded, the library leaves no fork
// handler.
TEST_F(BusyHost, ForkFromABusyHost) {
  signal(SIGUSR1, standStill);
  for (const char* library : kLibraries) {
    SCOPED_TRACE(library);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    std::set<std::uint32_t> children;
    pid_t lingering = 0;
    {
      host::AllocatorLibrary loaded(library);
      ASSERT_TRUE(loaded.loaded()) << loaded.error();
      std::atomic<bool> stop{false};
      std::atomic<int> started{0};
      auto run = [&](std::uint64_t seed) {
        ++started;  // a thread still starting may hold the runtime's own locks
        churn(loaded.exports(), seed, SIZE_MAX, stop);
      };
      std::thread busy[] = {std::thread(run, 1), std::thread(run, 2)};
      while (started < 2) continue;
      for (int index = 0; index <= 20; ++index) {
        std::fflush(nullptr);
        standingStill = false;
        pthread_kill(busy[index % 2].native_handle(), SIGUSR1);
        while (!standingStill) continue;
        const pid_t child = fork();
        if (child == 0 && index == 0) {
          const char byte = 1;  // its fork handlers have run
          if (write(ready[1], &byte, 1) == 1) pause();
          _exit(1);
        }
        if (child == 0) {
          alarm(3);
          churn(loaded.exports(), 3, 2000, stop);
          std::exit(0);  // unloads the child's copy of the library
        }
        children.insert(static_cast<std::uint32_t>(child));
        if (index == 0) lingering = child;
        EXPECT_TRUE(index == 0 || endOf(child).empty()) << "child " << index;
      }
      stop = true;
      for (std::thread& thread : busy) thread.join();
      char byte = 0;
      ASSERT_EQ(read(ready[0], &byte, 1), 1);
    }
    expectWholeLog(children);
    {
      host::AllocatorLibrary next(library);
      ASSERT_TRUE(next.loaded()) << next.error();
      next.exports().memFree(next.exports().memAlloc(10));
    }
    EXPECT_EQ(testing::figure(testing::readLog(), "num allocs"), "1");
    kill(lingering, SIGKILL);
    waitpid(lingering, nullptr, 0);
    const pid_t child = fork();
    if (child == 0) _exit(0);
    EXPECT_EQ(endOf(child), "") << "fork after unloading";
    close(ready[0]);
    close(ready[1]);
  }
}

}  // namespace
}  // namespace velk::library_test
