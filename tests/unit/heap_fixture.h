// A Heap over the fake address space, with the checks every engine test leans on.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "heap/heap.h"
#include "tests/support/fake_address_space.h"

namespace velk::testing {

inline std::string& violationLog() {
  static std::string log;
  return log;
}

inline void collectViolation(const char* violation) {
  violationLog() += violation;
  violationLog() += '\n';
}

// Expands to a check that the heap keeps every invariant, naming each broken one.
#define EXPECT_HEAP_VALID(heap)                                       \
  do {                                                                \
    ::velk::testing::violationLog().clear();                          \
    EXPECT_EQ((heap).validate(::velk::testing::collectViolation), 0u) \
        << ::velk::testing::violationLog();                           \
  } while (0)

inline std::uintptr_t addressOf(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer);
}

// The payload units of a fresh segment of `bytes`: everything but one header and the end marker.
constexpr Word freshBlockUnits(std::size_t bytes) {
  return (bytes - kHeaderSize - kUnit) / kUnit;
}

class HeapTest : public ::testing::Test {
 protected:
  // Takes the lowest-class free Block out of its bin and allocates all of it, so that a test can
  // make the last Block of a segment an allocated one.
  Block* allocateWholeBlock() {
    Block* block = heap.findFree(2 * kUnit, kUnit);
    if (block == nullptr) return nullptr;
    heap.carve(block, block->payloadBytes(), kUnit);
    return block;
  }

  FakeAddressSpace space;
  Heap heap{space};
};

}  // namespace velk::testing
