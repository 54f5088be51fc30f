// The black-box tests: each loads the built library in a fresh current directory of its own, as a
// host does, and reads the log the library leaves there.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "allocator_library.h"
#include "tests/support/library_log.h"

namespace velk::library_test {

inline constexpr std::size_t kUnit = sizeof(void*);
inline constexpr std::size_t kMiB = std::size_t{1} << 20;

inline std::string productLibrary() {
  return VELK_PRODUCT_LIBRARY;
}

class LibraryTest : public ::testing::Test {
 protected:
  // The log, its line ends checked and folded to "\n".
  std::string log() {
    bool lineEndsRight = true;
    const std::string text = testing::readLog(&lineEndsRight);
    EXPECT_TRUE(lineEndsRight) << "lines must end as the system writes text";
    return text;
  }
  std::map<std::string, std::string> report() { return testing::reportFigures(log()); }

  testing::ScratchDirectory directory_{"library-test"};
};

// Bytes of address space the process has mapped (Linux) or committed (Windows).
std::size_t mappedBytes();
// Descriptors the process holds open (Linux; 0 elsewhere).
std::size_t openDescriptors();
// A directory in which nothing can be created, not even by an administrator; empty if none.
std::filesystem::path unwritableDirectory();
// Runs this test program again as `--velk-child mode library`, in the current directory, and
// returns its exit code.
int runChild(const std::string& mode, const std::string& library);

}  // namespace velk::library_test
