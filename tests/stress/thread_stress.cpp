// Thread stress: each thread runs the operation interpreter on Blocks of its own, payloads full of
// header-shaped words and pointers into them freed and sized.
//
//   velk_thread_stress [LIBRARY] [--seconds N | --operations N] [--threads T] [--seed S]
//
// Without LIBRARY the threads share one engine, taking its lock around every call as the exports
// do. They meet the lock in every way: holders that take it again at once (the others defer and
// take turns), long holds while the others sleep (a walk of the whole heap every 64 steps), and
// holders that stop coming back; two threads let in at once would break the heap, which must be
// whole and empty at the end. With LIBRARY they go through the exports of the built library,
// loaded as a host loads it; the report written at unload must count exactly what the host did.
//
// Built with VELK_REFUSE_LIBRARY_MALLOC, the host also refuses every `malloc` from inside the
// library while it loads, which is when its locks are made: they must live in storage of their
// own and still serialise the threads.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "allocator_library.h"
#include "tests/support/library_log.h"
#include "tests/support/operation_run.h"

using namespace velk::testing;

#ifdef VELK_REFUSE_LIBRARY_MALLOC
#include <dlfcn.h>

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

int main(int argc, char** argv) {
  StressOptions options;
  options.seed = std::random_device{}();
  std::string library;
  for (int index = 1; index < argc; ++index) {
    const std::string option = argv[index];
    const char* value = index + 1 < argc ? argv[index + 1] : "0";
    index += option.starts_with("--");
    if (option == "--seconds") options.seconds = std::atof(value);
    if (option == "--operations") options.operations = std::strtoul(value, nullptr, 10);
    if (option == "--threads") options.threads = static_cast<unsigned>(std::atoi(value));
    if (option == "--seed") options.seed = std::strtoull(value, nullptr, 10);
    if (!option.starts_with("--")) library = std::filesystem::absolute(option).string();
  }
  std::printf("seed %llu, %u threads (replay with --seed)\n",
              static_cast<unsigned long long>(options.seed), options.threads);
  std::fflush(stdout);
  if (library.empty()) {
    FakeAddressSpace space;
    velk::Heap heap(space);
    runThreads({&heap, &space, nullptr, true, 200}, options);
    checkEmpty(heap);
    std::printf("velk_thread_stress: passed\n");
    return 0;
  }
  ScratchDirectory directory("thread-stress");
  std::uint64_t allocations = 0, frees = 0;
  {
    refusing = 1;
    velk::host::AllocatorLibrary loaded(library);
    refusing = 0;
    if (!loaded.loaded()) fail(loaded.error().c_str());
    if (refused < 2) fail("the library's two locks did not ask malloc for storage");
    std::tie(allocations, frees) = runThreads({nullptr, nullptr, &loaded.exports()}, options);
  }
  const std::string log = readLog();
  for (const auto& [label, expected] :
       {std::pair<const char*, std::string>{"num allocs", std::to_string(allocations)},
        {"num frees", std::to_string(frees)},
        {"alloc blocks", "0"},
        {"free blocks", figure(log, "num segments")}}) {
    std::printf("%s: %s (expected %s)\n", label, figure(log, label).c_str(), expected.c_str());
    if (figure(log, label) != expected) fail("the report differs from what the host did");
  }
  std::printf("velk_thread_stress: passed\n");
  return 0;
}
