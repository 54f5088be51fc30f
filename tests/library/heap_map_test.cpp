// velk-host --map draws a heap as a PNG of its own making: the file is read back here with a
// decoder written apart from the writer, and must be a well-formed PNG showing every kind of Block.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "heap_map.h"
#include "heap_map_palette.h"
#include "tests/support/fake_address_space.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t bigEndian(const Bytes& bytes, std::size_t at) {
  return std::uint32_t{bytes.at(at)} << 24 | std::uint32_t{bytes.at(at + 1)} << 16 |
         std::uint32_t{bytes.at(at + 2)} << 8 | bytes.at(at + 3);
}

// Bitwise, without a table, so that it shares nothing with the writer's.
std::uint32_t referenceCrc(const std::uint8_t* bytes, std::size_t count) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

struct Chunk {
  std::string type;
  Bytes data;
};

struct DecodedPng {
  std::uint32_t width = 0, height = 0;
  std::vector<Chunk> chunks;
  std::vector<std::array<std::uint8_t, 3>> palette;
  Bytes indices;  // one palette index per pixel
};

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Inflates a zlib stream that holds only stored deflate blocks, checking its header, every block
// length against its complement, and the Adler-32 at the end.
Bytes inflateStored(const Bytes& stream) {
  Bytes out;
  EXPECT_GE(stream.size(), 6u);
  EXPECT_EQ(stream[0] & 0x0F, 8) << "deflate";
  EXPECT_EQ((stream[0] * 256 + stream[1]) % 31, 0) << "zlib header check bits";
  std::size_t at = 2;
  bool last = false;
  while (!last) {
    last = (stream.at(at) & 1) != 0;
    EXPECT_EQ(stream.at(at) >> 1 & 3, 0) << "stored block";
    const std::size_t length = std::size_t{stream.at(at + 1)} | std::size_t{stream.at(at + 2)} << 8;
    const std::size_t complement = std::size_t{stream.at(at + 3)} | std::size_t{stream.at(at + 4)}
                                                                        << 8;
    EXPECT_EQ(length ^ 0xFFFF, complement);
    at += 5;
    out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
               stream.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
  }
  std::uint32_t low = 1, high = 0;
  for (std::uint8_t byte : out) {
    low = (low + byte) % 65521;
    high = (high + low) % 65521;
  }
  EXPECT_EQ(bigEndian(stream, at), high << 16 | low) << "Adler-32";
  EXPECT_EQ(at + 4, stream.size());
  return out;
}

DecodedPng decode(const Bytes& file) {
  DecodedPng png;
  const Bytes signature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  EXPECT_TRUE(file.size() > 8 && std::equal(signature.begin(), signature.end(), file.begin()));
  Bytes idat;
  std::uint32_t bitDepth = 0;
  for (std::size_t at = 8; at < file.size();) {
    const std::uint32_t length = bigEndian(file, at);
    Chunk chunk{std::string(file.begin() + static_cast<std::ptrdiff_t>(at + 4),
                            file.begin() + static_cast<std::ptrdiff_t>(at + 8)),
                Bytes(file.begin() + static_cast<std::ptrdiff_t>(at + 8),
                      file.begin() + static_cast<std::ptrdiff_t>(at + 8 + length))};
    EXPECT_EQ(bigEndian(file, at + 8 + length), referenceCrc(&file[at + 4], length + 4))
        << "CRC of " << chunk.type;
    if (chunk.type == "IHDR") {
      png.width = bigEndian(chunk.data, 0);
      png.height = bigEndian(chunk.data, 4);
      bitDepth = chunk.data.at(8);
      EXPECT_EQ(chunk.data.at(9), 3) << "palette colour type";
    } else if (chunk.type == "PLTE") {
      for (std::size_t i = 0; i + 2 < chunk.data.size(); i += 3) {
        png.palette.push_back({chunk.data[i], chunk.data[i + 1], chunk.data[i + 2]});
      }
    } else if (chunk.type == "IDAT") {
      idat.insert(idat.end(), chunk.data.begin(), chunk.data.end());
    }
    png.chunks.push_back(std::move(chunk));
    at += 12 + length;
  }
  EXPECT_TRUE(bitDepth == 4 || bitDepth == 8);
  if (bitDepth != 4 && bitDepth != 8) return png;
  const Bytes raw = inflateStored(idat);
  const std::size_t rowBytes = (png.width * bitDepth + 7) / 8;
  EXPECT_EQ(raw.size(), (rowBytes + 1) * png.height);
  if (raw.size() != (rowBytes + 1) * png.height) return png;
  for (std::uint32_t y = 0; y < png.height; ++y) {
    const std::uint8_t* row = &raw[y * (rowBytes + 1)];
    EXPECT_EQ(row[0], 0) << "filter of row " << y;
    for (std::uint32_t x = 0; x < png.width; ++x) {
      const std::uint8_t byte = row[1 + x * bitDepth / 8];
      png.indices.push_back(
          bitDepth == 8 ? byte : static_cast<std::uint8_t>(x % 2 == 0 ? byte >> 4 : byte & 15));
    }
  }
  return png;
}

// Pixels of each colour of the map palette.
std::map<velk::host::MapColour, std::size_t> countColours(const DecodedPng& png) {
  std::map<velk::host::MapColour, std::size_t> counts;
  for (std::uint8_t index : png.indices) {
    EXPECT_LT(index, png.palette.size());
    if (index >= png.palette.size()) continue;
    for (int colour = 0; colour < velk::host::kMapColourCount; ++colour) {
      const velk::host::MapRgb& rgb = velk::host::kMapPalette[colour];
      if (png.palette[index] == std::array<std::uint8_t, 3>{rgb.red, rgb.green, rgb.blue}) {
        ++counts[static_cast<velk::host::MapColour>(colour)];
      }
    }
  }
  return counts;
}

struct MapRun {
  int status;
  std::string output;
  Bytes file;
};

MapRun drawMap(const std::string& name, const std::string& arguments) {
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() / ("velk-heap-map-" + std::to_string(getpid()));
  std::filesystem::create_directories(directory);
  const std::filesystem::path png = directory / (name + ".png");
  const std::filesystem::path output = directory / (name + ".txt");
  const std::string command = std::string(VELK_HOST) + " --map " + png.string() + " " + arguments +
                              " > " + output.string() + " 2>&1";
  MapRun run;
  run.status = std::system(command.c_str());
  std::ifstream in(output);
  std::stringstream text;
  text << in.rdbuf();
  run.output = text.str();
  run.file = readFile(png);
  std::filesystem::remove_all(directory);
  return run;
}

TEST(HeapMap, ChurnRunIsAWellFormedPngShowingEveryKindOfBlock) {
  const MapRun run = drawMap("churn", "--workload churn --ops 6000 --threads 2 --seed 7");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find(" 0 faults\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("HEAP STATS:\n-----------\ntotal size        : "), std::string::npos);

  const DecodedPng png = decode(run.file);
  EXPECT_GT(png.width, 500u);
  EXPECT_GT(png.height, 100u);
  EXPECT_EQ(png.indices.size(), std::size_t{png.width} * png.height);
  ASSERT_GE(png.chunks.size(), 4u);
  EXPECT_EQ(png.chunks.front().type, "IHDR");
  EXPECT_EQ(png.chunks.back().type, "IEND");
  EXPECT_TRUE(png.chunks.back().data.empty());

  const auto counts = countColours(png);
  EXPECT_GT(counts.count(velk::host::kMapAllocated) ? counts.at(velk::host::kMapAllocated) : 0, 0u);
  EXPECT_GT(counts.count(velk::host::kMapAllocatedNeighbour)
                ? counts.at(velk::host::kMapAllocatedNeighbour)
                : 0,
            0u);
  EXPECT_GT(counts.count(velk::host::kMapFree) ? counts.at(velk::host::kMapFree) : 0, 0u);
  EXPECT_GT(counts.count(velk::host::kMapFragment) ? counts.at(velk::host::kMapFragment) : 0, 0u);
  EXPECT_GT(counts.count(velk::host::kMapText) ? counts.at(velk::host::kMapText) : 0, 0u);
}

TEST(HeapMap, EmptyHeapDrawsTextAndLegendOnly) {
  const MapRun run = drawMap("empty", "--workload empty");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("num segments      : 0\n"), std::string::npos) << run.output;
  const DecodedPng png = decode(run.file);
  ASSERT_EQ(png.indices.size(), std::size_t{png.width} * png.height);
  const auto counts = countColours(png);
  EXPECT_GT(counts.at(velk::host::kMapText), 0u);
  // The legend shows one swatch of each colour; the strips would show thousands.
  EXPECT_LT(counts.at(velk::host::kMapAllocated), 1000u);
}

std::size_t joinedBoundaryPixels(bool joined) {
  velk::testing::FakeAddressSpace addressSpace;
  velk::Heap heap(addressSpace);
  {
    velk::HeapLockGuard guard(heap);
    EXPECT_TRUE(heap.addSegment(0x10000, 16));
    if (joined) addressSpace.placeNextTouchingLast();
    EXPECT_TRUE(heap.addSegment(0x10000, 16));
    EXPECT_EQ(heap.segmentCount(), joined ? 1 : 2);
    for (std::size_t size = 16; size < 0x20000; size *= 2) {
      EXPECT_NE(heap.allocate(size, 16), nullptr);
    }
  }
  const velk::host::HeapPicture picture = velk::host::takeHeapPicture(heap);
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("velk-joined-" + std::to_string(getpid()) + ".png");
  EXPECT_TRUE(velk::host::writeHeapMap(picture, "joined", path.string()));
  const DecodedPng png = decode(readFile(path));
  std::filesystem::remove(path);
  const auto counts = countColours(png);
  return counts.count(velk::host::kMapJoinedBoundary) ? counts.at(velk::host::kMapJoinedBoundary)
                                                      : 0;
}

// The legend shows the mark in both pictures; only the joined heap has one in its strip.
TEST(HeapMap, JoinedSegmentsShowWhereTheirRangesMeet) {
  const std::size_t joined = joinedBoundaryPixels(true);
  const std::size_t apart = joinedBoundaryPixels(false);
  EXPECT_GT(joined, apart) << "joined " << joined << ", apart " << apart;
}

TEST(HeapMap, UnwritablePathFails) {
  const std::string command =
      std::string(VELK_HOST) + " --map /nonexistent-directory/map.png --workload empty > " +
      (std::filesystem::temp_directory_path() / "velk-map-fail.txt").string() + " 2>&1";
  EXPECT_NE(std::system(command.c_str()), 0);
}

}  // namespace
