// The library in situations a single load cannot show: no place for the log, a log held by
// another process, and a process that ends without unloading.
#include "allocator_library.h"
#include "test_support.h"

namespace velk::library_test {
namespace {

class ProcessTest : public LibraryTest {};

TEST_F(ProcessTest, UnwritableDirectoryGivesNoLogAndNoUpFrontSegment) {
  const std::filesystem::path unwritable = unwritableDirectory();
  if (unwritable.empty()) GTEST_SKIP() << "this system has no directory where nothing can be made";
  std::filesystem::current_path(unwritable);
  const std::size_t before = mappedBytes();
  host::AllocatorLibrary library(productLibraryPath());
  ASSERT_TRUE(library.loaded()) << library.error();
  EXPECT_LT(mappedBytes() - before, 256 * kMiB) << "up-front segment made without a log";
  void* payload = library.exports().memAlloc(100);
  ASSERT_NE(payload, nullptr);
  // The first request makes the least segment (17 MiB) on demand.
  const std::size_t grown = mappedBytes() - before;
  EXPECT_GE(grown, 16 * kMiB);
  EXPECT_LT(grown, 256 * kMiB);
  library.exports().memFree(payload);
  library.unload();
  std::error_code error;
  EXPECT_FALSE(std::filesystem::exists(unwritable / kLogName, error));
}

TEST_F(ProcessTest, SecondProcessRunsWithoutTheLogTheFirstHolds) {
  host::AllocatorLibrary library(productLibraryPath());
  ASSERT_TRUE(library.loaded()) << library.error();
  EXPECT_EQ(runChild("second-load", productLibraryPath()), 0)
      << "10 load failed, 11 up-front segment made, 12 allocation failed, 13 no segment on demand";
  library.unload();
  // The child neither emptied nor wrote to the first process's log.
  const std::vector<std::string> lines = splitLines(logText());
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Velk allocator loaded");
  EXPECT_EQ(lines[1], "Pre-allocated 640M VA segment, result = 1");
  EXPECT_EQ(lines[2], "shutting down Velk allocator");
  EXPECT_EQ(reportFigures()["num allocs"], "0");
}

TEST_F(ProcessTest, ProcessEndingWithoutUnloadStillWritesTheReport) {
  ASSERT_EQ(runChild("exit-without-unload", productLibraryPath()), 0);
  const std::vector<std::string> lines = splitLines(logText());
  ASSERT_EQ(lines.size(), 21u) << logText();
  EXPECT_EQ(lines[2], "shutting down Velk allocator");
  EXPECT_EQ(lines[3], "HEAP STATS:");
  EXPECT_EQ(lines[20], "");
  std::map<std::string, std::string> report = reportFigures();
  EXPECT_EQ(report["num allocs"], "1");
  EXPECT_EQ(report["alloc blocks"], "1");
}

}  // namespace
}  // namespace velk::library_test
