#include "png_writer.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace velk::host {
namespace {

std::array<std::uint32_t, 256> makeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

void putBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 24));
  out.push_back(static_cast<std::uint8_t>(value >> 16));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

// Length, type, data, and the CRC over type and data.
void putChunk(std::vector<std::uint8_t>& out, const char (&type)[5],
              const std::vector<std::uint8_t>& data) {
  putBigEndian(out, static_cast<std::uint32_t>(data.size()));
  const std::size_t typeStart = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  putBigEndian(out, crc32(out.data() + typeStart, out.size() - typeStart));
}

// Each row starts with filter type 0 (none); pixels are packed from the high bits.
std::vector<std::uint8_t> scanlines(const IndexedImage& image, std::uint32_t bitsPerPixel) {
  const std::uint32_t perByte = 8 / bitsPerPixel;
  const std::size_t rowBytes = (image.width + perByte - 1) / perByte;
  std::vector<std::uint8_t> raw;
  raw.reserve((rowBytes + 1) * image.height);
  for (std::uint32_t y = 0; y < image.height; ++y) {
    raw.push_back(0);
    const std::uint8_t* row = &image.pixels[static_cast<std::size_t>(y) * image.width];
    for (std::uint32_t x = 0; x < image.width; x += perByte) {
      std::uint32_t packed = 0;
      for (std::uint32_t i = 0; i < perByte; ++i) {
        const std::uint32_t index = x + i < image.width ? row[x + i] : 0;
        packed = (packed << bitsPerPixel) | index;
      }
      raw.push_back(static_cast<std::uint8_t>(packed));
    }
  }
  return raw;
}

// A zlib stream whose deflate blocks are all stored: header, blocks of at most 65535 bytes each
// with their length and its complement, and the Adler-32 of the data.
std::vector<std::uint8_t> storedZlib(const std::vector<std::uint8_t>& data) {
  constexpr std::size_t kLargestStored = 65535;
  std::vector<std::uint8_t> out{0x78, 0x01};  // deflate, 32 KiB window; 0x7801 % 31 == 0
  std::size_t offset = 0;
  do {
    const std::size_t length = std::min(kLargestStored, data.size() - offset);
    const bool last = offset + length == data.size();
    out.push_back(last ? 1 : 0);  // BFINAL, BTYPE 00
    out.push_back(static_cast<std::uint8_t>(length));
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.push_back(static_cast<std::uint8_t>(~length));
    out.push_back(static_cast<std::uint8_t>(~length >> 8));
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(offset),
               data.begin() + static_cast<std::ptrdiff_t>(offset + length));
    offset += length;
  } while (offset < data.size());
  putBigEndian(out, adler32(data.data(), data.size()));
  return out;
}

}  // namespace

std::uint32_t crc32(const std::uint8_t* bytes, std::size_t count, std::uint32_t crc) {
  static const std::array<std::uint32_t, 256> table = makeCrcTable();
  crc = ~crc;
  for (std::size_t i = 0; i < count; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::uint32_t adler32(const std::uint8_t* bytes, std::size_t count) {
  constexpr std::uint32_t kModulus = 65521;
  std::uint32_t low = 1, high = 0;
  for (std::size_t i = 0; i < count; ++i) {
    low = (low + bytes[i]) % kModulus;
    high = (high + low) % kModulus;
  }
  return (high << 16) | low;
}

std::vector<std::uint8_t> encodePng(const IndexedImage& image) {
  const std::uint32_t bitsPerPixel = image.palette.size() <= 16 ? 4 : 8;
  std::vector<std::uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<std::uint8_t> header;
  putBigEndian(header, image.width);
  putBigEndian(header, image.height);
  header.push_back(static_cast<std::uint8_t>(bitsPerPixel));
  header.push_back(3);  // colour type: palette
  header.push_back(0);  // compression: deflate
  header.push_back(0);  // filter method 0
  header.push_back(0);  // no interlace
  putChunk(png, "IHDR", header);
  std::vector<std::uint8_t> palette;
  for (const Rgb& colour : image.palette) {
    palette.insert(palette.end(), {colour.red, colour.green, colour.blue});
  }
  putChunk(png, "PLTE", palette);
  putChunk(png, "IDAT", storedZlib(scanlines(image, bitsPerPixel)));
  putChunk(png, "IEND", {});
  return png;
}

bool writePng(const std::string& path, const IndexedImage& image) {
  const std::vector<std::uint8_t> png = encodePng(image);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(png.data(), 1, png.size(), file) == png.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace velk::host
