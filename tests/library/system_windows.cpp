// The test's view of a Windows process (run under wine): VirtualQuery for the address space,
// _spawnl for children.
#include <process.h>
#include <windows.h>

#include "library_test.h"

namespace velk::library_test {

std::size_t mappedBytes() {
  std::size_t total = 0;
  MEMORY_BASIC_INFORMATION info;
  for (std::uintptr_t address = 0;
       VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof info) != 0;) {
    if (info.State == MEM_COMMIT) total += info.RegionSize;
    const std::uintptr_t next =
        reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (next <= address) break;
    address = next;
  }
  return total;
}

std::size_t openDescriptors() {
  return 0;
}

std::size_t kernelThreads() {
  return 1;
}

int runChild(const std::string& mode, const std::string& library) {
  char program[MAX_PATH];
  if (GetModuleFileNameA(nullptr, program, MAX_PATH) == 0) return -1;
  return static_cast<int>(_spawnl(_P_WAIT, program, "\"child\"", "--velk-child", mode.c_str(),
                                  ("\"" + library + "\"").c_str(), nullptr));
}

}  // namespace velk::library_test
