// The black-box tests: each loads the built library in a fresh current directory of its own, as a
// host does, and reads the log the library leaves there.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

#include "allocator_library.h"
#include "tests/support/library_log.h"
#include "tests/support/operation_run.h"

namespace velk::library_test {

inline constexpr std::size_t kMiB = std::size_t{1} << 20;

class LibraryTest : public ::testing::Test {
 protected:
  testing::ScratchDirectory directory_{"library-test"};
};

// Bytes of address space the process has mapped (Linux) or committed (Windows).
std::size_t mappedBytes();
// Descriptors the process holds open (Linux; 0 elsewhere).
std::size_t openDescriptors();
// Threads of the process as the kernel counts them (Linux; 1 elsewhere). An emulator running a
// 32-bit test on a 64-bit kernel adds threads of its own.
std::size_t kernelThreads();
// Runs this test program again as `--velk-child mode library`, in the current directory, and
// returns its exit code.
int runChild(const std::string& mode, const std::string& library);

}  // namespace velk::library_test
