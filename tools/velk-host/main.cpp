// velk-host: loads a built VelkAllocator library, runs a workload through its exports, unloads it
// and prints its speed and the log the library left in the current directory. With --map it runs
// the workload on an engine of its own instead and writes that heap as a heap map page.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "allocator_library.h"
#include "command-line/command_line.h"
#include "engine_exports.h"
#include "heap-map/heap_map.h"
#include "heap/report.h"
#include "progress_line.h"
#include "workloads.h"

namespace {

using velk::host::TimedResult;
using velk::host::Workload;
using velk::host::WorkloadOptions;

constexpr const char* kLogName = "VelkAllocator.log";

void printLog() {
  std::error_code noFolder;
  const std::string log = (std::filesystem::current_path(noFolder) / kLogName).string();
  std::FILE* file = std::fopen(kLogName, "rb");
  if (file == nullptr) {
    std::printf("no log at %s\n", log.c_str());
    return;
  }
  std::printf("log %s:\n", log.c_str());
  char buffer[1 << 16];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) != 0) {
    std::fwrite(buffer, 1, got, stdout);
  }
  if (std::ferror(file) != 0) std::printf("(cannot read it: %s)\n", std::strerror(errno));
  std::fclose(file);
  std::fflush(stdout);
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
  std::optional<velk::heapmap::HeapPicture> picture;
  options.atPeak = [&] { picture = velk::heapmap::takeHeapPicture(heap); };
  const TimedResult timed = velk::host::runWithProgress(workload, exports, options);
  if (!picture) picture = velk::heapmap::takeHeapPicture(heap);
  printResult(workload, options, timed);

  char title[160];
  std::snprintf(title, sizeof title, "%s, %u thread(s), %llu ops, seed %llu", workload.name,
                options.threads, static_cast<unsigned long long>(options.ops),
                static_cast<unsigned long long>(options.seed));
  std::string error;
  if (!velk::heapmap::writeHeapMapPage(*picture, title, mapPath, error)) {
    std::fprintf(stderr, "velk-host: %s\n", error.c_str());
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
  CLI::App app(
      "Loads a VelkAllocator library, runs a workload through its seven exports, unloads "
      "it and prints the speed and the log it left. With --map, runs the workload on an "
      "engine of its own and writes that heap as a heap map page instead.",
      "velk-host");
  velk::commandline::prepare(app, "velk-host");
  std::string libraryPath;
  std::string mapPath;
  std::string workloadName = "mixed";
  WorkloadOptions options;
  std::vector<std::string> workloadNames;
  std::string workloadList;
  for (const Workload& workload : velk::host::workloads()) {
    workloadNames.push_back(workload.name);
    workloadList += std::string("\n  ") + workload.name + ": " + workload.description;
  }
  app.add_option("LIBRARY", libraryPath, "The library to load (VelkAllocator.dll, .so)");
  app.add_option("--workload", workloadName, "The workload to run:" + workloadList)
      ->check(CLI::IsMember(workloadNames))
      ->capture_default_str();
  app.add_option("--threads", options.threads, "Threads that share the heap")
      ->transform(velk::commandline::wholeNumberFrom(1, 256))
      ->capture_default_str();
  app.add_option("--ops", options.ops, "MemAlloc and MemFree calls over all threads")
      ->transform(velk::commandline::wholeNumberFrom(0, UINT64_MAX))
      ->capture_default_str();
  app.add_option("--seed", options.seed, "Seed of the workload's random choices")
      ->transform(velk::commandline::wholeNumberFrom(0, UINT64_MAX))
      ->capture_default_str();
  app.add_option("--map", mapPath,
                 "Run on an engine of the host's own and write its heap, at the moment it holds "
                 "the most, as a heap map page (FILE.html); takes no LIBRARY");
  if (const std::optional<int> exitCode = velk::commandline::parse(app, argc, argv)) {
    return *exitCode;
  }
  const Workload* workload = velk::host::findWorkload(workloadName);
  if (!mapPath.empty()) {
    if (!libraryPath.empty()) {
      return velk::commandline::usageError(app,
                                           "--map runs on the host's own engine: give it no "
                                           "LIBRARY");
    }
    return drawMap(*workload, options, mapPath);
  }
  if (libraryPath.empty()) {
    return velk::commandline::usageError(app, "LIBRARY is required (or --map FILE.html)");
  }

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
