// The library tests, and the child processes some of them start: a child loads the library in
// the same current directory while its parent holds the log, or ends without unloading it.
#include <cstdlib>
#include <cstring>

#include "library_test.h"

namespace velk::library_test {
namespace {

// Exit codes tell the parent which expectation failed.
int childMain(const std::string& mode, const std::string& path) {
  const std::size_t mapped = mappedBytes();
  const std::size_t descriptors = openDescriptors();
  host::AllocatorLibrary library(path);
  if (!library.loaded()) return 10;
  void* payload = library.exports().memAlloc(100);
  if (payload == nullptr) return 11;
  if (mode == "exit-without-unload") std::exit(0);
  // The log is the parent's: no log, no up-front segment, and no descriptor left open.
  if (openDescriptors() != descriptors) return 12;
  const std::size_t grown = mappedBytes() - mapped;
  if (grown < 16 * kMiB || grown >= 256 * kMiB) return 13;
  library.exports().memFree(payload);
  return 0;
}

}  // namespace
}  // namespace velk::library_test

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--velk-child") == 0) {
    return velk::library_test::childMain(argv[2], argv[3]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
