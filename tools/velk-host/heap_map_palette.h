// The colours of a heap map, by what they show. A test reads maps back by these colours.
#pragma once

#include <cstdint>

namespace velk::host {

enum MapColour : std::uint8_t {
  kMapBackground,
  kMapText,
  kMapAllocated,
  kMapAllocatedNeighbour,  // every other allocated Block, so that neighbours stay apart
  kMapFree,
  kMapFragment,
  kMapJoinedBoundary,
  kMapCut,  // the mark where a Block longer than a row is cut short
  kMapColourCount
};

struct MapRgb {
  std::uint8_t red, green, blue;
};

inline constexpr MapRgb kMapPalette[kMapColourCount] = {
    {255, 255, 255},  // background
    {20, 20, 20},     // text
    {38, 84, 190},    // allocated
    {78, 124, 220},   // allocated neighbour
    {150, 215, 140},  // free
    {225, 35, 35},    // fragment
    {240, 150, 0},    // joined boundary
    {120, 120, 120},  // cut
};

}  // namespace velk::host
