// The built library under threads, as a host loads it: each thread runs the operation
// interpreter through the exports on Blocks of its own, payloads full of header-shaped words
// and pointers into them freed and sized. In a 32-bit process the address space is then run dry
// and given back. The report written at unload must count exactly what the host did.
//
//   velk_export_stress <library> [--seconds N | --operations N] [--threads T] [--seed S]
//
// Built with VELK_REFUSE_LIBRARY_MALLOC, the host also refuses every `malloc` from inside the
// library while it loads, which is when its locks are made: they must live in storage of their
// own and still serialise the threads.
#include <cstdio>
#include <vector>

#include "allocator_library.h"
#include "tests/support/library_log.h"
#include "tests/support/operation_run.h"

using velk::testing::fail;

#ifdef VELK_REFUSE_LIBRARY_MALLOC
#include <dlfcn.h>

#include <atomic>
#include <cstring>

extern "C" void* __libc_malloc(std::size_t size);
static std::atomic<int> refusing{0}, refused{0};

extern "C" void* malloc(std::size_t size) {
  Dl_info info;
  // dladdr takes the loader's lock, which is recursive: safe while the loader allocates.
  if (refusing.load() != 0 && dladdr(__builtin_return_address(0), &info) != 0 &&
      info.dli_fname != nullptr && std::strstr(info.dli_fname, "velkallocator") != nullptr) {
    refused.fetch_add(1);
    return nullptr;
  }
  return __libc_malloc(size);
}
#else
static int refusing = 0, refused = 2;
#endif

// Allocates ever smaller sizes, each until the first null, then frees everything: the largest
// band must be served again.
static std::pair<std::uint64_t, std::uint64_t> exhaust(const velk::host::AllocatorExports& heap) {
  std::vector<void*> live;
  live.reserve(1u << 18);  // once the address space is gone, the host's heap may have none either
  std::uint64_t allocations = 0;
  for (std::uint32_t band = 1u << 30; band >= 64; band /= 4) {
    for (void* payload; live.size() < live.capacity(); live.push_back(payload)) {
      ++allocations;
      if ((payload = heap.memAlloc(band - band / 3)) == nullptr) break;
    }
  }
  std::printf("exhausted the address space with %zu Blocks\n", live.size());
  for (void* payload : live) heap.memFree(payload);
  void* again = heap.memAlloc(1u << 28);
  if (again == nullptr) fail("nothing served after freeing everything");
  heap.memFree(again);
  return {allocations + 1, live.size() + 1};
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string path = std::filesystem::absolute(argv[1]).string();
  const velk::testing::StressOptions options = velk::testing::parseStressOptions(argc, argv, 2);
  velk::testing::ScratchDirectory directory("export-stress");
  std::uint64_t allocations = 0, frees = 0;
  {
    refusing = 1;
    velk::host::AllocatorLibrary library(path);
    refusing = 0;
    if (!library.loaded()) fail(library.error().c_str());
    if (refused < 2) fail("the library's two locks did not ask malloc for storage");
    std::tie(allocations, frees) =
        velk::testing::runThreads({nullptr, nullptr, &library.exports()}, options);
    if (sizeof(void*) == 4) {
      const auto [more, moreFrees] = exhaust(library.exports());
      allocations += more;
      frees += moreFrees;
    }
  }
  const std::string log = velk::testing::readLog();
  auto report = [&log](const char* label) { return velk::testing::figure(log, label); };
  std::printf("num allocs %s (%llu made), num frees %s (%llu), alloc blocks %s\n",
              report("num allocs").c_str(), static_cast<unsigned long long>(allocations),
              report("num frees").c_str(), static_cast<unsigned long long>(frees),
              report("alloc blocks").c_str());
  if (report("num allocs") != std::to_string(allocations) ||
      report("num frees") != std::to_string(frees) || report("alloc blocks") != "0" ||
      report("free blocks") != report("num segments")) {
    fail("the report differs from what the host did");
  }
  std::printf("velk_export_stress: passed\n");
  return 0;
}
