// Thread stress of the engine: threads run the operation interpreter on one Heap, each on Blocks
// of its own, taking the heap's lock around every call as the exports do (blockSize locks by
// itself); at the end the heap must be whole and empty.
//
//   heap_thread_stress [--seconds N | --operations N] [--threads T] [--seed S]
#include <cstdio>

#include "tests/support/operation_run.h"

int main(int argc, char** argv) {
  using namespace velk::testing;
  const StressOptions options = parseStressOptions(argc, argv, 1);
  FakeAddressSpace space;
  velk::Heap heap(space);
  const auto [allocations, frees] = runThreads({&heap, &space, nullptr, true, 200}, options);
  checkEmpty(heap);
  std::printf("heap_thread_stress: %llu allocations, %llu frees: passed\n",
              static_cast<unsigned long long>(allocations), static_cast<unsigned long long>(frees));
  return 0;
}
