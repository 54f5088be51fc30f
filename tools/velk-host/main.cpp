// velk-host: loads a built VelkAllocator library, runs a workload through its exports, unloads it
// and prints the log it left in the current directory.
//
//   velk-host [--workload NAME] LIBRARY
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "allocator_library.h"
#include "workloads.h"

namespace {

constexpr const char* kLogName = "VelkAllocator.log";

int usage() {
  std::fprintf(stderr, "usage: velk-host [--workload NAME] LIBRARY\nworkloads:\n");
  for (const velk::host::Workload& workload : velk::host::workloads()) {
    std::fprintf(stderr, "  %-10s %s\n", workload.name, workload.description);
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

}  // namespace

int main(int argc, char** argv) {
  std::string libraryPath;
  std::string workloadName = "mixed";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--workload") == 0 && i + 1 < argc) {
      workloadName = argv[++i];
    } else if (argv[i][0] == '-' || !libraryPath.empty()) {
      return usage();
    } else {
      libraryPath = argv[i];
    }
  }
  const velk::host::Workload* workload = velk::host::findWorkload(workloadName);
  if (libraryPath.empty() || workload == nullptr) return usage();

  velk::host::AllocatorLibrary library(libraryPath);
  if (!library.loaded()) {
    std::fprintf(stderr, "velk-host: %s\n", library.error().c_str());
    return 1;
  }
  const velk::host::WorkloadOptions options;
  const velk::host::WorkloadResult result = workload->run(library.exports(), options);
  library.unload();

  std::printf("workload %s: %llu allocations, %llu frees, %llu faults\n", workload->name,
              static_cast<unsigned long long>(result.allocations),
              static_cast<unsigned long long>(result.frees),
              static_cast<unsigned long long>(result.faults));
  printLog();
  return result.faults == 0 ? 0 : 1;
}
