// What the black-box library tests need around the library: a fresh current directory per test,
// the log as the library left it, the process's address space use, and child processes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velk::library_test {

// Paths of the built libraries, given by the build.
std::string productLibraryPath();
std::string tracedLibraryPath();

inline constexpr const char* kLogName = "VelkAllocator.log";
// A unit of the heap: header words, links and payload sizes are multiples of it.
inline constexpr std::size_t kUnit = sizeof(void*);
inline constexpr std::size_t kMiB = 1024 * 1024;

// Every test runs in a directory of its own, as the library's current directory.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The log's bytes, if the file exists.
  std::optional<std::string> rawLog() const;
  // The log with line ends checked (carriage return and line feed under Windows, line feed
  // elsewhere) and folded to "\n"; empty when there is no log.
  std::string logText() const;
  // The report's "label: value" lines, keyed by label.
  std::map<std::string, std::string> reportFigures() const;

  std::filesystem::path directory_;

 private:
  std::filesystem::path previous_;
};

// The lines of `text`, without their line ends.
std::vector<std::string> splitLines(const std::string& text);

// Figures for the expected log of a run.
struct ReportFigures {
  std::size_t totalSize, totalAlloc, peakAlloc, maxAllocBlockSize, totalFree, allocBlocks,
      freeBlocks, maxAlloc, maxFree, largestFreeChain, numSegments;
  std::uint64_t numAllocs, numFrees, slowBucket;
  const char* fragmentation;
};
// The whole log of a run that made the up-front segment and unloaded, with "\n" line ends.
std::string expectedLog(const ReportFigures& figures);

// Bytes of address space the process has mapped (Linux) or committed (Windows).
std::size_t mappedBytes();
std::uint32_t currentThreadId();
// A directory in which nothing can be created, not even by an administrator; empty if the
// system has none.
std::filesystem::path unwritableDirectory();
// Runs this test program again as `--velk-child mode library`, in the current directory, and
// returns its exit code.
int runChild(const std::string& mode, const std::string& libraryPath);

// The child side of runChild: the exit code for the parent.
int childMain(const std::string& mode, const std::string& libraryPath);

}  // namespace velk::library_test
