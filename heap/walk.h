// A read-only walk over the heap, segment by segment and Block by Block in address order, for
// pictures and reports of the heap. The walk holds the heap's lock throughout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "heap/heap.h"

namespace velk {

enum class BlockKind {
  kAllocated,
  kFree,      // filed in a bin
  kFragment,  // free, but too small to file
};

struct BlockView {
  std::uintptr_t address;  // the header
  std::size_t payloadBytes;
  BlockKind kind;
};

class HeapVisitor {
 public:
  virtual void segment(const Segment& segment, std::size_t index) = 0;
  // Where one system range of a joined segment ends and the next begins.
  virtual void joinedBoundary(std::uintptr_t address) = 0;
  virtual void block(const BlockView& block) = 0;

 protected:
  ~HeapVisitor() = default;
};

}  // namespace velk
