// The test's view of a Linux process: /proc for the address space and descriptors, fork and exec
// for children.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
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
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

std::filesystem::path unwritableDirectory() {
  return "/proc/self";  // procfs creates no files at anyone's request, root's included
}

int runChild(const std::string& mode, const std::string& library) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const char* arguments[] = {"velk_library_tests", "--velk-child", mode.c_str(), library.c_str(),
                               nullptr};
    execv("/proc/self/exe", const_cast<char* const*>(arguments));
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace velk::library_test
