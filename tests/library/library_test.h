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

namespace velk::library_test {

inline constexpr std::size_t kMiB = std::size_t{1} << 20;

class LibraryTest : public ::testing::Test {
 protected:
  testing::ScratchDirectory directory_{"library-test"};
};

// `steps` rounds of freeing or allocating 1 to 100 bytes in one of 16 slots picked at random,
// until `stop` turns true; payloads hold every byte value and are checked before they are freed.
// Aborts on a null or a changed payload.
void churn(const host::AllocatorExports& heap, std::uint64_t seed, std::uint64_t steps,
           const std::atomic<bool>& stop);

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
