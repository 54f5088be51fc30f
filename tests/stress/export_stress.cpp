// The built library under threads, as a host loads it: each thread runs the operation
// interpreter through the exports on Blocks of its own, payloads full of header-shaped words
// and pointers into them freed and sized. In a 32-bit process the address space is then run dry
// and given back. The report written at unload must count exactly what the host did.
//
//   velk_export_stress <library> [--seconds N | --operations N] [--threads T] [--seed S]
#include <cstdio>
#include <vector>

#include "allocator_library.h"
#include "tests/support/library_log.h"
#include "tests/support/operation_run.h"

namespace {

using velk::testing::fail;

// Allocates ever smaller sizes, each until the first null, then frees everything: the largest
// band must be served again.
std::pair<std::uint64_t, std::uint64_t> exhaust(const velk::host::AllocatorExports& exports) {
  std::vector<void*> live;
  live.reserve(1u << 18);  // once the address space is gone, the host's heap may have none either
  std::uint64_t allocations = 0;
  for (std::uint32_t band = 1u << 30; band >= 64; band /= 4) {
    while (live.size() < live.capacity()) {
      ++allocations;
      void* payload = exports.memAlloc(band - band / 3);
      if (payload == nullptr) break;
      live.push_back(payload);
    }
  }
  std::printf("exhausted the address space with %zu Blocks\n", live.size());
  for (void* payload : live) exports.memFree(payload);
  void* again = exports.memAlloc(1u << 28);
  if (again == nullptr) fail("nothing served after freeing everything");
  exports.memFree(again);
  return {allocations + 1, live.size() + 1};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: velk_export_stress <library> [options]\n");
    return 2;
  }
  const std::string path = std::filesystem::absolute(argv[1]).string();
  const velk::testing::StressOptions options = velk::testing::parseStressOptions(argc, argv, 2);
  velk::testing::ScratchDirectory directory("export-stress");
  std::uint64_t allocations = 0, frees = 0;
  {
    velk::host::AllocatorLibrary library(path);
    if (!library.loaded()) fail(library.error().c_str());
    std::tie(allocations, frees) =
        velk::testing::runThreads({nullptr, nullptr, &library.exports()}, options);
    if (sizeof(void*) == 4) {
      const auto [more, moreFrees] = exhaust(library.exports());
      allocations += more;
      frees += moreFrees;
    }
  }
  auto report = velk::testing::reportFigures(velk::testing::readLog());
  std::fprintf(stderr, "expected %llu allocations, %llu frees\n",
               static_cast<unsigned long long>(allocations),
               static_cast<unsigned long long>(frees));
  std::fprintf(
      stderr, "report: num allocs %s, num frees %s, alloc blocks %s, free blocks %s, segments %s\n",
      report["num allocs"].c_str(), report["num frees"].c_str(), report["alloc blocks"].c_str(),
      report["free blocks"].c_str(), report["num segments"].c_str());
  if (report["num allocs"] != std::to_string(allocations)) fail("num allocs differs");
  if (report["num frees"] != std::to_string(frees)) fail("num frees differs");
  if (report["alloc blocks"] != "0") fail("allocated Blocks left in the report");
  if (report["free blocks"] != report["num segments"]) fail("a segment is not one free Block");
  std::printf("velk_export_stress: passed\n");
  return 0;
}
