// What the engine tests share: the violations validate() finds, a walk.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "heap/heap.h"
#include "heap/walk.h"
#include "tests/support/fake_address_space.h"
#include "tests/support/operation_run.h"

namespace velk::testing {

inline std::uintptr_t addressOf(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer);
}

// The violations validate() finds, one per line.
inline std::string violations(const Heap& heap) {
  static std::string found;
  found.clear();
  heap.validate([](const char* violation) { (found += violation) += '\n'; });
  return found;
}

// The payload units of a fresh least segment: all of it but one header and the end marker.
inline constexpr Word kLeastUnits = (kMinSegmentSize - kHeaderSize - kUnit) / kUnit;

// What a walk of the heap shows: where joined ranges meet, and how many Blocks of each kind.
struct WalkRecord final : HeapVisitor {
  void segment(const Segment&, std::size_t) override {}
  void joinedBoundary(std::uintptr_t) override { ++boundaries; }
  void block(const BlockView& block) override { ++kinds[static_cast<int>(block.kind)]; }
  std::size_t boundaries = 0, kinds[3] = {};  // allocated, free, fragments
};

}  // namespace velk::testing
