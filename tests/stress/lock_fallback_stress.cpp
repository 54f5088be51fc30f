// The library's locks when the runtime library's heap has no room for them: this host
// interposes `malloc` and refuses every call from inside the allocator library while the
// library is loaded, which is when its static initialisation creates both locks. The library
// must keep its locks in storage of its own and still serialise threads calling its exports.
//
//   velk_lock_fallback_stress <library>
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "allocator_library.h"
#include "tests/support/library_log.h"
#include "tests/support/operation_run.h"

extern "C" void* __libc_malloc(std::size_t size);

namespace {

std::atomic<bool> refusing{false};
std::atomic<int> refused{0};

}  // namespace

extern "C" void* malloc(std::size_t size) {
  Dl_info info;
  // dladdr takes the loader's lock, which is recursive: safe while the loader allocates.
  if (refusing.load() && dladdr(__builtin_return_address(0), &info) != 0 &&
      info.dli_fname != nullptr && std::strstr(info.dli_fname, "velkallocator") != nullptr) {
    refused.fetch_add(1);
    return nullptr;
  }
  return __libc_malloc(size);
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string path = std::filesystem::absolute(argv[1]).string();
  velk::testing::ScratchDirectory directory("lock-fallback");
  std::uint64_t allocations = 0, frees = 0;
  {
    refusing = true;
    velk::host::AllocatorLibrary library(path);
    refusing = false;
    if (!library.loaded()) velk::testing::fail(library.error().c_str());
    // The log lock and the heap lock at least.
    if (refused.load() < 2) velk::testing::fail("the library's locks did not ask malloc");
    velk::testing::StressOptions options;
    options.threads = 2;
    options.operations = 50000;
    std::tie(allocations, frees) =
        velk::testing::runThreads({nullptr, nullptr, &library.exports()}, options);
  }
  auto report = velk::testing::reportFigures(velk::testing::readLog());
  if (report["num allocs"] != std::to_string(allocations) ||
      report["num frees"] != std::to_string(frees) || report["alloc blocks"] != "0") {
    velk::testing::fail("the report differs from what the threads did");
  }
  std::printf("lock fallback: %d mallocs refused; passed\n", refused.load());
  return 0;
}
