// Linux hosts fork: a child that inherits the loaded library must leave the parent's log alone.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "library_test.h"

namespace velk::library_test {
namespace {

TEST_F(LibraryTest, ForkedChildWritesNothingToTheParentsLog) {
  {
    host::AllocatorLibrary library(VELK_TRACED_LIBRARY);
    ASSERT_TRUE(library.loaded()) << library.error();
    const pid_t child = fork();
    if (child == 0) {
      // Traced calls, then the exit-time unload of the inherited copy of the library.
      library.exports().memFree(library.exports().memAlloc(100));
      std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::string text = log();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 21) << text;
  EXPECT_EQ(report()["num allocs"], "0");
}

// A child that outlives its parent's unload must not keep the log from the next process.
TEST_F(LibraryTest, LongLivedChildDoesNotKeepTheLogLocked) {
  pid_t child = 0;
  int running[2];
  ASSERT_EQ(pipe(running), 0);
  {
    host::AllocatorLibrary library(productLibrary());
    ASSERT_TRUE(library.loaded()) << library.error();
    child = fork();
    if (child == 0) {
      // Whatever the child does about the log, it has done by now.
      const char ready = 1;
      if (write(running[1], &ready, 1) != 1) _exit(1);
      sleep(10);
      _exit(0);
    }
    char ready = 0;
    ASSERT_EQ(read(running[0], &ready, 1), 1);
  }
  {
    host::AllocatorLibrary next(productLibrary());
    ASSERT_TRUE(next.loaded()) << next.error();
    next.exports().memFree(next.exports().memAlloc(10));
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(report()["num allocs"], "1") << log();
}

}  // namespace
}  // namespace velk::library_test
