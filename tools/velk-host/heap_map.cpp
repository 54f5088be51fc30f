#include "heap_map.h"

#include <algorithm>
#include <cstdio>

#include "bitmap_font.h"
#include "heap/report.h"
#include "heap_map_palette.h"
#include "png_writer.h"

namespace velk::host {
namespace {

class PictureTaker final : public HeapVisitor {
 public:
  explicit PictureTaker(HeapPicture& picture) : picture_(picture) {}
  void segment(const Segment& segment, std::size_t index) override {
    picture_.segments.push_back({index, segment.base, segment.size, {}, {}});
  }
  void joinedBoundary(std::uintptr_t address) override {
    picture_.segments.back().joinedBoundaries.push_back(address);
  }
  void block(const BlockView& block) override { picture_.segments.back().blocks.push_back(block); }

 private:
  HeapPicture& picture_;
};

// Layout, in pixels.
constexpr std::uint32_t kMargin = 10;
constexpr std::uint32_t kStripWidth = 512;
constexpr std::uint32_t kRowHeight = 9;
// Room above and below a row for the joined-boundary marks.
constexpr std::uint32_t kRowPitch = kRowHeight + 4;
constexpr std::uint32_t kSmallLine = kGlyphHeight + 4;
constexpr std::uint32_t kTextScale = 2;
constexpr std::uint32_t kTextLine = kGlyphHeight * kTextScale + 2;
constexpr std::uint32_t kTextColumns = 29;
constexpr std::uint32_t kTextX = kMargin + kStripWidth + 2 * kMargin;
constexpr std::uint32_t kImageWidth = kTextX + kTextColumns * kGlyphAdvance * kTextScale + kMargin;
// Rows of Blocks the strips may take over all segments before the scale grows coarser.
constexpr std::uint32_t kRowBudget = 24;
constexpr std::uint32_t kLargestImageHeight = 4000;
// A Block longer than this is drawn cut short, so that one long free tail does not take the
// rows that the small Blocks need.
constexpr std::uint32_t kLongestBlockPixels = kStripWidth / 2;
constexpr std::uint32_t kTypicalBlockPixels = 32;

std::uint32_t blockPixels(const BlockView& block, std::size_t bytesPerPixel) {
  const std::size_t bytes = block.payloadBytes + kHeaderSize;
  const std::size_t pixels = (bytes + bytesPerPixel / 2) / bytesPerPixel;
  return static_cast<std::uint32_t>(std::clamp<std::size_t>(pixels, 1, kLongestBlockPixels));
}

std::uint32_t stripPixels(const SegmentPicture& segment, std::size_t bytesPerPixel) {
  std::uint32_t pixels = 0;
  for (const BlockView& block : segment.blocks) pixels += blockPixels(block, bytesPerPixel);
  return pixels;
}

std::uint32_t rowsOf(std::uint32_t pixels) {
  return std::max<std::uint32_t>(1, (pixels + kStripWidth - 1) / kStripWidth);
}

// The finest power-of-two scale at which half the Blocks are at most kTypicalBlockPixels wide
// and every strip fits the row budget: a finer scale would cut most Blocks short.
std::size_t chooseBytesPerPixel(const HeapPicture& picture) {
  std::vector<std::size_t> sizes;
  for (const SegmentPicture& segment : picture.segments) {
    for (const BlockView& block : segment.blocks) sizes.push_back(block.payloadBytes + kHeaderSize);
  }
  std::size_t bytesPerPixel = 16;
  if (!sizes.empty()) {
    const auto median = sizes.begin() + static_cast<std::ptrdiff_t>(sizes.size() / 2);
    std::nth_element(sizes.begin(), median, sizes.end());
    while (bytesPerPixel * kTypicalBlockPixels < *median) bytesPerPixel *= 2;
  }
  for (; bytesPerPixel < (std::size_t{1} << 24); bytesPerPixel *= 2) {
    std::uint32_t rows = 0;
    for (const SegmentPicture& segment : picture.segments) {
      rows += rowsOf(stripPixels(segment, bytesPerPixel));
    }
    if (rows <= kRowBudget) break;
  }
  return bytesPerPixel;
}

// Fills pixels [from, from + count) of a strip that wraps every kStripWidth pixels.
void fillStrip(IndexedImage& image, std::uint32_t top, std::uint32_t from, std::uint32_t count,
               std::uint8_t colour) {
  while (count > 0) {
    const std::uint32_t row = from / kStripWidth;
    const std::uint32_t column = from % kStripWidth;
    const std::uint32_t span = std::min(count, kStripWidth - column);
    image.fill(kMargin + column, top + row * kRowPitch, span, kRowHeight, colour);
    from += span;
    count -= span;
  }
}

void markCut(IndexedImage& image, std::uint32_t top, std::uint32_t at) {
  const std::uint32_t row = at / kStripWidth;
  const std::uint32_t x = kMargin + at % kStripWidth;
  const std::uint32_t y = top + row * kRowPitch;
  for (std::uint32_t line = 0; line < kRowHeight; ++line) {
    image.set(x + line / 3, y + line, kMapBackground);
    image.set(x + 1 + line / 3, y + line, kMapCut);
    image.set(x + 3 + line / 3, y + line, kMapCut);
    image.set(x + 4 + line / 3, y + line, kMapBackground);
  }
}

void markJoinedBoundary(IndexedImage& image, std::uint32_t top, std::uint32_t at) {
  const std::uint32_t row = at / kStripWidth;
  const std::uint32_t x = kMargin + at % kStripWidth;
  const std::uint32_t y = top + row * kRowPitch;
  image.fill(x, y - 2, 2, kRowHeight + 4, kMapJoinedBoundary);
}

std::string formatted(const char* format, auto... values) {
  char line[160];
  std::snprintf(line, sizeof line, format, values...);
  return line;
}

// Draws the strip of one segment with its heading at `top`; returns the y below it.
std::uint32_t drawSegment(IndexedImage& image, const SegmentPicture& segment, std::uint32_t top,
                          std::size_t bytesPerPixel) {
  std::size_t allocated = 0, free = 0, fragments = 0;
  for (const BlockView& block : segment.blocks) {
    (block.kind == BlockKind::kAllocated ? allocated
     : block.kind == BlockKind::kFree    ? free
                                         : fragments) += 1;
  }
  drawText(
      image, kMargin, top,
      formatted("segment %zu at 0x%llx: %zu bytes, %zu range(s); %zu alloc, %zu free, %zu frag",
                segment.index, static_cast<unsigned long long>(segment.base), segment.size,
                segment.joinedBoundaries.size() + 1, allocated, free, fragments),
      kMapText);
  const std::uint32_t stripTop = top + kSmallLine + 3;
  std::uint32_t at = 0;
  std::size_t allocatedSeen = 0;
  std::size_t boundary = 0;
  for (const BlockView& block : segment.blocks) {
    const std::uint32_t pixels = blockPixels(block, bytesPerPixel);
    const std::uint8_t colour = block.kind == BlockKind::kFree       ? kMapFree
                                : block.kind == BlockKind::kFragment ? kMapFragment
                                : allocatedSeen++ % 2 == 0           ? kMapAllocated
                                                                     : kMapAllocatedNeighbour;
    fillStrip(image, stripTop, at, pixels, colour);
    const std::size_t bytes = block.payloadBytes + kHeaderSize;
    if (pixels == kLongestBlockPixels && bytes > kLongestBlockPixels * bytesPerPixel) {
      markCut(image, stripTop, at + pixels / 2);
    }
    // Boundaries inside this Block, placed in proportion to where they fall in it.
    for (; boundary < segment.joinedBoundaries.size() &&
           segment.joinedBoundaries[boundary] < block.address + bytes;
         ++boundary) {
      const std::size_t offset = segment.joinedBoundaries[boundary] - block.address;
      markJoinedBoundary(image, stripTop, at + static_cast<std::uint32_t>(offset * pixels / bytes));
    }
    at += pixels;
  }
  return stripTop + rowsOf(at) * kRowPitch + kSmallLine;
}

// The report's lines, exactly as printHeapReport writes them.
std::vector<std::string> reportLines(const HeapStats& stats) {
  std::vector<std::string> lines;
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return {"(no temporary file for the report)"};
  printHeapReport(file, stats);
  std::rewind(file);
  char line[160];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty()) lines.push_back(text);
  }
  std::fclose(file);
  return lines;
}

std::uint32_t drawLegendEntry(IndexedImage& image, std::uint32_t y, std::uint8_t colour,
                              const char* label) {
  image.fill(kTextX, y + 2, 2 * kRowHeight, kRowHeight, colour);
  if (colour == kMapJoinedBoundary) {
    image.fill(kTextX, y + 2, 2 * kRowHeight, kRowHeight, kMapFree);
    image.fill(kTextX + kRowHeight - 1, y, 2, kRowHeight + 4, kMapJoinedBoundary);
  }
  drawText(image, kTextX + 3 * kRowHeight, y + 3, label, kMapText);
  return y + kRowPitch;
}

}  // namespace

HeapPicture takeHeapPicture(Heap& heap) {
  HeapPicture picture;
  PictureTaker taker(picture);
  heap.walk(taker);
  heap.snapshotStats(picture.stats);
  return picture;
}

bool writeHeapMap(const HeapPicture& picture, const std::string& title, const std::string& path) {
  const std::size_t bytesPerPixel = chooseBytesPerPixel(picture);
  std::uint32_t stripsHeight = 0;
  for (const SegmentPicture& segment : picture.segments) {
    stripsHeight += 2 * kSmallLine + 3 + rowsOf(stripPixels(segment, bytesPerPixel)) * kRowPitch;
  }
  const std::vector<std::string> report = reportLines(picture.stats);
  const std::uint32_t textHeight =
      static_cast<std::uint32_t>(report.size() + 1) * kTextLine + 7 * kRowPitch;
  const std::uint32_t height =
      std::min(kLargestImageHeight, 2 * kMargin + kTextLine + std::max(stripsHeight, textHeight));

  std::vector<Rgb> palette;
  for (const MapRgb& colour : kMapPalette)
    palette.push_back({colour.red, colour.green, colour.blue});
  IndexedImage image(kImageWidth, height, palette);

  drawText(image, kMargin, kMargin, title, kMapText, kTextScale);
  std::uint32_t y = kMargin + kTextLine + 4;
  for (const SegmentPicture& segment : picture.segments) {
    if (y + kRowPitch > height) break;
    y = drawSegment(image, segment, y, bytesPerPixel);
  }
  if (picture.segments.empty()) drawText(image, kMargin, y, "no segments", kMapText);

  y = kMargin + kTextLine + 4;
  for (const std::string& line : report) {
    drawText(image, kTextX, y, line, kMapText, kTextScale);
    y += kTextLine;
  }
  y += kTextLine / 2;
  y = drawLegendEntry(image, y, kMapAllocated, "allocated");
  y = drawLegendEntry(image, y, kMapFree, "free (filed in a bin)");
  y = drawLegendEntry(image, y, kMapFragment, "fragment (unfiled)");
  y = drawLegendEntry(image, y, kMapJoinedBoundary, "joined boundary");
  y = drawLegendEntry(image, y, kMapCut, "long Block, cut short");
  drawText(image, kTextX, y,
           formatted("1 px = %zu bytes; every Block at least 1 px", bytesPerPixel), kMapText);
  return writePng(path, image);
}

}  // namespace velk::host
