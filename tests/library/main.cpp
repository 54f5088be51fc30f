// The library tests, and the child processes some of them start: a child loads the library in
// the same current directory while its parent holds the log, or ends without unloading it.
#include <cstdlib>
#include <cstring>

#include "allocator_library.h"
#include "test_support.h"

namespace velk::library_test {

// Exit codes tell the parent which expectation failed.
enum ChildResult {
  kChildPassed = 0,
  kChildLoadFailed = 10,
  kChildMadeUpFrontSegment = 11,
  kChildAllocationFailed = 12,
  kChildMadeNoSegmentOnDemand = 13,
  kChildUnknownMode = 14,
};

int childMain(const std::string& mode, const std::string& libraryPath) {
  const std::size_t before = mappedBytes();
  host::AllocatorLibrary library(libraryPath);
  if (!library.loaded()) return kChildLoadFailed;
  if (mode == "exit-without-unload") {
    if (library.exports().memAlloc(100) == nullptr) return kChildAllocationFailed;
    std::exit(kChildPassed);
  }
  if (mode == "second-load") {
    if (mappedBytes() - before >= 256 * kMiB) return kChildMadeUpFrontSegment;
    void* payload = library.exports().memAlloc(100);
    if (payload == nullptr) return kChildAllocationFailed;
    if (mappedBytes() - before < 16 * kMiB) return kChildMadeNoSegmentOnDemand;
    library.exports().memFree(payload);
    return kChildPassed;
  }
  return kChildUnknownMode;
}

}  // namespace velk::library_test

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--velk-child") == 0) {
    return velk::library_test::childMain(argv[2], argv[3]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
