// libFuzzer target: each input is a run of the operation interpreter on a fresh engine.
#include "tests/support/operation_run.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velk::testing::runFuzzInput(data, size);
  return 0;
}
