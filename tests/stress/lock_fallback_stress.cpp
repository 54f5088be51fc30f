// The library's locks when the runtime library's heap has no room for them: this host interposes
// `malloc` and refuses every call made from inside the allocator library while the library is
// being loaded, which is when its static initialisation creates both locks. The library must fall
// back to lock storage of its own and still serialise two threads hammering its exports.
//
//   velk_lock_fallback_stress <library>
//
// Linux only, and not under the sanitizers, which bring their own `malloc`.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tests/stress/export_workloads.h"
#include "tests/stress/library_loader.h"
#include "tests/stress/log_report.h"

extern "C" void* __libc_malloc(std::size_t size);

namespace {

std::atomic<bool> refusingLibraryMallocs{false};
std::atomic<int> refusedMallocs{0};

// True when `address` lies in the allocator library. dladdr takes the loader's lock, which is
// recursive, so asking while the loader itself allocates is safe.
bool inAllocatorLibrary(void* address) {
  Dl_info info;
  return dladdr(address, &info) != 0 && info.dli_fname != nullptr &&
         std::strstr(info.dli_fname, "velkallocator") != nullptr;
}

}  // namespace

extern "C" void* malloc(std::size_t size) {
  if (refusingLibraryMallocs.load(std::memory_order_relaxed) &&
      inAllocatorLibrary(__builtin_return_address(0))) {
    refusedMallocs.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
  }
  return __libc_malloc(size);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: velk_lock_fallback_stress <library>\n");
    return 2;
  }
  const std::string path = std::filesystem::absolute(argv[1]).string();
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  velk::stress::ScratchDirectory directory("lock-fallback");

  velk::stress::LoadedAllocator library;
  std::string error;
  refusingLibraryMallocs = true;
  const bool loaded = library.load(path, error);
  refusingLibraryMallocs = false;
  if (!loaded) {
    std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), error.c_str());
    velk::stress::failStress("the library did not load");
  }
  std::printf("lock fallback: %d mallocs from the library refused during its load\n",
              refusedMallocs.load());
  // The log lock and the heap lock at least.
  if (refusedMallocs.load() < 2) velk::stress::failStress("the library's locks did not ask malloc");

  velk::stress::RunOptions options;
  options.threads = 2;
  options.operationsPerThread = 100000;
  options.seed = 1;
  const velk::stress::ExpectedReport expected =
      velk::stress::runThreadStress(library.exports(), options);
  library.unload();

  velk::stress::checkReport(expected);
  std::printf("lock fallback: passed\n");
  return 0;
}
