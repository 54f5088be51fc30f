// velk-host: loads a built VelkAllocator library, runs a workload through its exports, unloads it
// and prints its speed and the log the library left in the current directory. With --map it runs
// the workload on an engine of its own instead and draws that heap as a PNG.
//
//   velk-host [--workload NAME] [--threads N] [--ops N] [--seed N] LIBRARY
//   velk-host --map FILE.png [--workload NAME] [--threads N] [--ops N] [--seed N]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "allocator_library.h"
#include "engine_exports.h"
#include "heap/report.h"
#include "heap_map.h"
#include "progress_line.h"
#include "workloads.h"

namespace {

using velk::host::TimedResult;
using velk::host::Workload;
using velk::host::WorkloadOptions;

constexpr const char* kLogName = "VelkAllocator.log";

int usage() {
  std::fprintf(stderr,
               "usage: velk-host [--workload NAME] [--threads N] [--ops N] [--seed N] LIBRARY\n"
               "       velk-host --map FILE.png [--workload NAME] [--threads N] [--ops N] "
               "[--seed N]\n"
               "workloads (default mixed):\n");
  for (const Workload& workload : velk::host::workloads()) {
    std::fprintf(stderr, "  %-17s %s\n", workload.name, workload.description);
  }
  return 2;
}

void printLog() {
  const std::filesystem::path log = std::filesystem::current_path() / kLogName;
  std::ifstream in(log, std::ios::binary);
  if (!in) {
    std::printf("no log at %s\n", log.string().c_str());
    return;
  }
  std::printf("log %s:\n", log.string().c_str());
  std::cout << in.rdbuf();
  std::cout.flush();
}

std::optional<std::uint64_t> number(const char* text) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 0);
  if (end == text || *end != '\0' || text[0] == '-') return std::nullopt;
  return value;
}

void printResult(const Workload& workload, const WorkloadOptions& options,
                 const TimedResult& timed) {
  const velk::host::WorkloadResult& result = timed.result;
  std::printf("workload %s: %llu allocations, %llu frees, %llu faults\n", workload.name,
              static_cast<unsigned long long>(result.allocations),
              static_cast<unsigned long long>(result.frees),
              static_cast<unsigned long long>(result.faults));
  const double ops = static_cast<double>(result.allocations + result.frees);
  std::printf("%.0f ops/s (%llu ops on %u thread(s) in %.3f s, seed %llu)\n",
              timed.seconds > 0 ? ops / timed.seconds : 0.0, static_cast<unsigned long long>(ops),
              options.threads, timed.seconds, static_cast<unsigned long long>(options.seed));
  std::fflush(stdout);
}

// Runs the workload on a heap of the host's own and draws it at the moment it holds the most.
int drawMap(const Workload& workload, WorkloadOptions options, const std::string& mapPath) {
  velk::Heap heap;
  const velk::host::AllocatorExports exports = velk::host::engineExports(heap);
  std::optional<velk::host::HeapPicture> picture;
  options.atPeak = [&] { picture = velk::host::takeHeapPicture(heap); };
  const TimedResult timed = velk::host::runWithProgress(workload, exports, options);
  if (!picture) picture = velk::host::takeHeapPicture(heap);
  printResult(workload, options, timed);

  char title[160];
  std::snprintf(title, sizeof title, "%s, %u thread(s), %llu ops, seed %llu", workload.name,
                options.threads, static_cast<unsigned long long>(options.ops),
                static_cast<unsigned long long>(options.seed));
  if (!velk::host::writeHeapMap(*picture, title, mapPath)) {
    std::fprintf(stderr, "velk-host: cannot write %s\n", mapPath.c_str());
    return 1;
  }
  std::printf("map %s: %zu segment(s), drawn before the last frees; its report:\n", mapPath.c_str(),
              picture->segments.size());
  std::fflush(stdout);
  velk::printHeapReport(stdout, picture->stats);
  return timed.result.faults == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string libraryPath;
  std::string mapPath;
  std::string workloadName = "mixed";
  WorkloadOptions options;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--workload") == 0 && hasValue) {
      workloadName = argv[++i];
    } else if (std::strcmp(argv[i], "--map") == 0 && hasValue) {
      mapPath = argv[++i];
    } else if ((std::strcmp(argv[i], "--threads") == 0 || std::strcmp(argv[i], "--ops") == 0 ||
                std::strcmp(argv[i], "--seed") == 0) &&
               hasValue) {
      const std::optional<std::uint64_t> value = number(argv[i + 1]);
      if (!value) return usage();
      if (argv[i][2] == 't') {
        if (*value == 0 || *value > 256) return usage();
        options.threads = static_cast<unsigned>(*value);
      } else if (argv[i][2] == 'o') {
        options.ops = *value;
      } else {
        options.seed = *value;
      }
      ++i;
    } else if (argv[i][0] == '-' || !libraryPath.empty()) {
      return usage();
    } else {
      libraryPath = argv[i];
    }
  }
  const Workload* workload = velk::host::findWorkload(workloadName);
  if (workload == nullptr) return usage();
  if (!mapPath.empty()) {
    if (!libraryPath.empty()) return usage();
    return drawMap(*workload, options, mapPath);
  }
  if (libraryPath.empty()) return usage();

  velk::host::AllocatorLibrary library(libraryPath);
  if (!library.loaded()) {
    std::fprintf(stderr, "velk-host: %s\n", library.error().c_str());
    return 1;
  }
  const TimedResult timed = velk::host::runWithProgress(*workload, library.exports(), options);
  library.unload();
  printResult(*workload, options, timed);
  printLog();
  return timed.result.faults == 0 ? 0 : 1;
}
