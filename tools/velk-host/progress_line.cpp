#include "progress_line.h"

#include <chrono>
#include <cstdio>
#include <thread>

#ifdef _WIN32
#include <io.h>
#define VELK_ISATTY _isatty
#define VELK_FILENO _fileno
#else
#include <unistd.h>
#define VELK_ISATTY isatty
#define VELK_FILENO fileno
#endif

namespace velk::host {

TimedResult runWithProgress(const Workload& workload, const AllocatorExports& exports,
                            WorkloadOptions options) {
  using Clock = std::chrono::steady_clock;
  std::atomic<std::uint64_t> opsDone{0};
  std::atomic<bool> finished{false};
  options.opsDone = &opsDone;
  TimedResult timed;
  const Clock::time_point start = Clock::now();
  // The runner stops its own clock: this thread looks only now and then.
  Clock::time_point end;
  std::thread runner([&] {
    timed.result = workload.run(exports, options);
    end = Clock::now();
    finished.store(true, std::memory_order_release);
  });
  const bool terminal = VELK_ISATTY(VELK_FILENO(stderr)) != 0;
  bool shown = false;
  double shownAt = 0;
  while (!finished.load(std::memory_order_acquire)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    // A few updates a second are enough to read and cost nothing.
    if (!terminal || elapsed <= 1.0 || elapsed - shownAt < 0.25) continue;
    shownAt = elapsed;
    const std::uint64_t done = opsDone.load(std::memory_order_relaxed);
    std::fprintf(
        stderr, "\r%s: %llu of %llu ops (%3.0f%%), %.1f s ", workload.name,
        static_cast<unsigned long long>(done), static_cast<unsigned long long>(options.ops),
        options.ops == 0 ? 100.0
                         : 100.0 * static_cast<double>(done) / static_cast<double>(options.ops),
        elapsed);
    std::fflush(stderr);
    shown = true;
  }
  runner.join();
  timed.seconds = std::chrono::duration<double>(end - start).count();
  if (shown) {
    std::fprintf(stderr, "\r%60s\r", "");
    std::fflush(stderr);
  }
  return timed;
}

}  // namespace velk::host
