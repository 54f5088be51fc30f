// A picture of the heap: every segment as a strip of its Blocks in address order, wrapped over
// rows, allocated, free and fragment Blocks in their own colours and the boundaries of joined
// segments marked, with the statistics report beside it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "heap/heap.h"
#include "heap/walk.h"

namespace velk::host {

struct SegmentPicture {
  std::size_t index;
  std::uintptr_t base;
  std::size_t size;
  std::vector<std::uintptr_t> joinedBoundaries;
  std::vector<BlockView> blocks;
};

// The heap at one moment: its Blocks from Heap::walk and its figures from snapshotStats.
struct HeapPicture {
  std::vector<SegmentPicture> segments;
  HeapStats stats{};
};

HeapPicture takeHeapPicture(Heap& heap);

// Draws `picture` under the title and writes it as a PNG; false when the file cannot be written.
bool writeHeapMap(const HeapPicture& picture, const std::string& title, const std::string& path);

}  // namespace velk::host
