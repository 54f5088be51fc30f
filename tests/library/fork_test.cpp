// Linux hosts fork: a child that inherits the loaded library must leave the parent's log alone.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "allocator_library.h"
#include "test_support.h"

namespace velk::library_test {
namespace {

class ForkTest : public LibraryTest {};

TEST_F(ForkTest, ForkedChildThatExitsWritesNothingToTheParentsLog) {
  host::AllocatorLibrary library(tracedLibraryPath());
  ASSERT_TRUE(library.loaded()) << library.error();
  const pid_t child = fork();
  if (child == 0) {
    // Traced calls and the exit-time unload of the inherited copy of the library.
    library.exports().memFree(library.exports().memAlloc(100));
    std::exit(0);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  library.unload();
  const std::vector<std::string> lines = splitLines(logText());
  ASSERT_EQ(lines.size(), 21u) << logText();
  EXPECT_EQ(lines[2], "shutting down Velk allocator");
  EXPECT_EQ(reportFigures()["num allocs"], "0");
}

}  // namespace
}  // namespace velk::library_test
