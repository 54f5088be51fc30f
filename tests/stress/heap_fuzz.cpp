// libFuzzer target: each input is a run of the operation interpreter on a fresh engine.
#include "tests/support/operation_run.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velk::testing::Input input(data, size);
  // Room for Blocks of the catch-all class; only the pages a run touches cost memory.
  velk::testing::runOnFreshHeap(input, 512, std::size_t{2} << 30, 400);
  return 0;
}
