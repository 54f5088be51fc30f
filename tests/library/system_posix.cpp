// The test's view of a Linux process: /proc for the address space and descriptors, the shell for
// children.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "library_test.h"

namespace velk::library_test {

std::size_t mappedBytes() {
  std::ifstream maps("/proc/self/maps");
  std::size_t total = 0;
  for (std::string line; std::getline(maps, line);) {
    unsigned long start = 0, end = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx", &start, &end) == 2) total += end - start;
  }
  return total;
}

std::size_t openDescriptors() {
  const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

std::size_t kernelThreads() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoul(line.substr(8));
  }
  return 1;
}

int runChild(const std::string& mode, const std::string& library) {
  std::fflush(nullptr);
  // A child that hangs ends with status 124, and the test goes on.
  const std::string command = "timeout 20 '" +
                              std::filesystem::read_symlink("/proc/self/exe").string() +
                              "' --velk-child " + mode + " '" + library + "'";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace velk::library_test
