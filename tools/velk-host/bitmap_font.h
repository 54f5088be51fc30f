// A 5x7 bitmap font for the printable ASCII characters, drawn into an IndexedImage.
#pragma once

#include <cstdint>
#include <string_view>

#include "png_writer.h"

namespace velk::host {

inline constexpr std::uint32_t kGlyphWidth = 5;
inline constexpr std::uint32_t kGlyphHeight = 7;
// One blank column between characters.
inline constexpr std::uint32_t kGlyphAdvance = kGlyphWidth + 1;

// Draws `text` with its top left corner at (x, y), every font pixel as a `scale` x `scale`
// square of colour `index`. Characters outside the printable range show as '?'. Returns the x
// after the last character.
std::uint32_t drawText(IndexedImage& image, std::uint32_t x, std::uint32_t y, std::string_view text,
                       std::uint8_t index, std::uint32_t scale = 1);

}  // namespace velk::host
