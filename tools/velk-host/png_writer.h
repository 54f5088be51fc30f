// Writes a palette image as a PNG file with no library: the image data goes into a zlib stream of
// stored (uncompressed) deflate blocks, with CRC-32 and Adler-32 computed here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velk::host {

struct Rgb {
  std::uint8_t red, green, blue;
};

// One palette index per pixel, rows top to bottom.
struct IndexedImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;
  std::vector<Rgb> palette;  // at most 256 entries

  IndexedImage(std::uint32_t imageWidth, std::uint32_t imageHeight, std::vector<Rgb> colours)
      : width(imageWidth),
        height(imageHeight),
        pixels(static_cast<std::size_t>(imageWidth) * imageHeight, 0),
        palette(std::move(colours)) {}

  void set(std::uint32_t x, std::uint32_t y, std::uint8_t index) {
    if (x < width && y < height) pixels[static_cast<std::size_t>(y) * width + x] = index;
  }
  void fill(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h,
            std::uint8_t index) {
    for (std::uint32_t row = y; row < y + h; ++row) {
      for (std::uint32_t column = x; column < x + w; ++column) set(column, row, index);
    }
  }
};

// The PNG file's bytes: 4 bits a pixel for palettes of up to 16 colours, 8 bits otherwise.
std::vector<std::uint8_t> encodePng(const IndexedImage& image);
// False when the file cannot be written.
bool writePng(const std::string& path, const IndexedImage& image);

std::uint32_t crc32(const std::uint8_t* bytes, std::size_t count, std::uint32_t crc = 0);
std::uint32_t adler32(const std::uint8_t* bytes, std::size_t count);

}  // namespace velk::host
