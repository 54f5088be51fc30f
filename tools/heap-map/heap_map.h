// The heap map: a self-contained HTML page that shows a heap as it stands, every segment a strip
// of its Blocks drawn to scale in SVG, coloured by state (allocated, filed free, unfiled fragment),
// the boundaries of joined segments marked, and the statistics report beside it. The page zooms
// and pans, and shows a Block's address, payload size, state and class on hover; where Blocks are
// thinner than a pixel it draws what the pixel holds as one mark in a blend of their colours.
// Written by velk-host --map and velk-replay --map.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "heap/heap.h"
#include "heap/walk.h"

namespace velk::heapmap {

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

// Writes the page; false, with the reason in `error`, when the file cannot be written.
bool writeHeapMapPage(const HeapPicture& picture, std::string_view title, const std::string& path,
                      std::string& error);

}  // namespace velk::heapmap
