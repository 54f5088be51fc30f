// Drives the built allocator library through its exports, the way a host does, and holds the
// report it writes at unload against what the host did:
//
//   velk_export_stress <library> threads [--smoke | --seconds N] [--threads T] [--seed S]
//   velk_export_stress <library> bad-input
//   velk_export_stress <library> exhaust
//   velk_export_stress <library> no-log
//
// Each mode runs in a fresh temporary directory of its own (no-log in one where nothing can be
// created) and fails with a message and exit code 1. At unload nothing may be lost: the report
// counts exactly the Blocks left allocated, and with none left every segment is one free Block.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "tests/stress/export_workloads.h"
#include "tests/stress/library_loader.h"
#include "tests/stress/log_report.h"

namespace {

using velk::stress::ExpectedReport;
using velk::stress::failStress;
using velk::stress::LoadedAllocator;

void load(LoadedAllocator& library, const std::string& path) {
  std::string error;
  if (!library.load(path, error)) {
    std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), error.c_str());
    failStress("the library did not load");
  }
}

// Loads the library in a fresh directory of its own, runs `workload` on its exports, unloads it
// and holds the report it wrote against what the workload expects.
template <typename Workload>
void runAndCheckReport(const std::string& path, const char* tag, Workload workload) {
  velk::stress::ScratchDirectory directory(tag);
  LoadedAllocator library;
  load(library, path);
  const ExpectedReport expected = workload(library.exports());
  library.unload();
  velk::stress::checkReport(expected);
}

velk::stress::RunOptions parseThreadOptions(int argc, char** argv, int first) {
  velk::stress::RunOptions options;
  options.seed = std::random_device{}();
  for (int index = first; index < argc; ++index) {
    if (!velk::stress::readRunOption(argc, argv, index, options)) failStress("unknown option");
  }
  if (options.threads < 1 || options.threads > 64) failStress("--threads takes 1 to 64");
  return options;
}

int usage() {
  std::fprintf(stderr,
               "usage: velk_export_stress <library> threads [--smoke | --seconds N] [--threads T] "
               "[--seed S]\n"
               "       velk_export_stress <library> bad-input | exhaust | no-log\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  // Absolute before the directory changes (under wine this also pins the drive).
  const std::string path = std::filesystem::absolute(argv[1]).string();
  const std::string mode = argv[2];
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  if (mode == "threads") {
    const velk::stress::RunOptions options = parseThreadOptions(argc, argv, 3);
    std::printf("threads: seed %" PRIu64 " (replay with --seed)\n", options.seed);
    runAndCheckReport(path, "threads", [&](const velk::stress::AllocatorExports& exports) {
      return velk::stress::runThreadStress(exports, options);
    });
  } else if (mode == "bad-input") {
    // Once with the live Blocks left for the report to count, once with them freed.
    for (const bool freeLive : {false, true}) {
      runAndCheckReport(path, "bad-input", [&](const velk::stress::AllocatorExports& exports) {
        return velk::stress::runBadInput(exports, freeLive);
      });
    }
  } else if (mode == "exhaust") {
    runAndCheckReport(path, "exhaust", velk::stress::runExhaustion);
  } else if (mode == "no-log") {
    // Nothing can be created here, not even by root: the library loads without its log and
    // without the up-front segment, and serves from segments made on demand.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path("/proc/self");
    {
      LoadedAllocator library;
      load(library, path);
      velk::stress::RunOptions options;
      options.threads = 2;
      options.operationsPerThread = 5000;
      velk::stress::runThreadStress(library.exports(), options);
      velk::stress::runBadInput(library.exports(), true);
      library.unload();
    }
    if (std::filesystem::exists(velk::stress::kLogName)) failStress("a log appeared anyway");
    std::filesystem::current_path(previous);
  } else {
    return usage();
  }
  std::printf("%s: passed\n", mode.c_str());
  return 0;
}
