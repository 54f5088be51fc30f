#include "heap-map/heap_map.h"

#include <cstdio>

#include "heap-map/page_text.h"
#include "heap/report.h"

namespace velk::heapmap {

extern const char kHeapMapScript[];
extern const char kHeapMapStyle[];

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

// The report's text, exactly as the log carries it.
std::string reportText(const HeapStats& stats) {
  std::string text;
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return "(no temporary file for the report)";
  printHeapReport(file, stats);
  std::rewind(file);
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, file) != nullptr) text += buffer;
  std::fclose(file);
  return text;
}

char kindLetter(BlockKind kind) {
  switch (kind) {
    case BlockKind::kAllocated:
      return 'a';
    case BlockKind::kFree:
      return 'f';
    case BlockKind::kFragment:
      return 'g';
  }
  return '?';
}

// One segment as the script reads it: Block sizes in units (they follow one another without gaps,
// each a header plus its payload) and one letter per Block for its state.
void appendSegmentData(std::string& out, const SegmentPicture& segment) {
  out += "{\"index\":";
  appendNumber(out, segment.index);
  out += ",\"base\":";
  appendNumber(out, segment.base);
  out += ",\"size\":";
  appendNumber(out, segment.size);
  out += ",\"joins\":[";
  for (std::size_t i = 0; i < segment.joinedBoundaries.size(); ++i) {
    if (i != 0) out += ',';
    appendNumber(out, segment.joinedBoundaries[i] - segment.base);
  }
  out += "],\"units\":[";
  for (std::size_t i = 0; i < segment.blocks.size(); ++i) {
    if (i != 0) out += ',';
    appendNumber(out, segment.blocks[i].payloadBytes / kUnit);
  }
  out += "],\"kinds\":\"";
  for (const BlockView& block : segment.blocks) out += kindLetter(block.kind);
  out += "\"}";
}

void appendSegmentSection(std::string& out, const SegmentPicture& segment) {
  std::size_t counts[3] = {0, 0, 0};
  for (const BlockView& block : segment.blocks) ++counts[static_cast<int>(block.kind)];
  out += "<section class=\"segment\" data-index=\"";
  appendNumber(out, segment.index);
  out += "\"><h2>segment ";
  appendNumber(out, segment.index);
  out += " at ";
  appendHex(out, segment.base);
  out += ": ";
  appendNumber(out, segment.size);
  out += " bytes, ";
  appendNumber(out, segment.joinedBoundaries.size() + 1);
  out += " range(s); ";
  appendNumber(out, counts[static_cast<int>(BlockKind::kAllocated)]);
  out += " allocated, ";
  appendNumber(out, counts[static_cast<int>(BlockKind::kFree)]);
  out += " free, ";
  appendNumber(out, counts[static_cast<int>(BlockKind::kFragment)]);
  out +=
      " fragments</h2><svg class=\"strip\" xmlns=\"http://www.w3.org/2000/svg\"></svg>"
      "</section>\n";
}

}  // namespace

HeapPicture takeHeapPicture(Heap& heap) {
  HeapPicture picture;
  PictureTaker taker(picture);
  heap.walk(taker);
  heap.snapshotStats(picture.stats);
  return picture;
}

bool writeHeapMapPage(const HeapPicture& picture, std::string_view title, const std::string& path,
                      std::string& error) {
  std::string page;
  std::size_t blocks = 0;
  for (const SegmentPicture& segment : picture.segments) blocks += segment.blocks.size();
  page.reserve(4096 + 8 * blocks);
  page += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Heap map: ";
  appendEscaped(page, title);
  page += "</title><style>";
  page += kHeapMapStyle;
  page += "</style></head>\n<body>\n<header><h1>Heap map</h1><p>";
  appendEscaped(page, title);
  page += "</p></header>\n<div id=\"page\">\n<main id=\"map\">\n";
  for (const SegmentPicture& segment : picture.segments) appendSegmentSection(page, segment);
  if (picture.segments.empty()) page += "<p class=\"empty\">The heap has no segment.</p>\n";
  page +=
      "</main>\n<aside id=\"side\">\n"
      "<div id=\"controls\"><button id=\"zoom-out\" title=\"zoom out (-)\">&minus;</button>"
      "<button id=\"zoom-in\" title=\"zoom in (+)\">+</button>"
      "<button id=\"zoom-fit\" title=\"fit (0)\">fit</button> <span id=\"scale\"></span></div>\n"
      "<ul id=\"legend\">"
      "<li><i class=\"allocated\"></i>allocated (neighbours in two shades)</li>"
      "<li><i class=\"free\"></i>free, filed in a bin</li>"
      "<li><i class=\"fragment\"></i>fragment, too small to file</li>"
      "<li><i class=\"joined\"></i>where joined segments meet</li>"
      "<li><i class=\"mixed\"></i>a pixel of several Blocks: their colours blended by bytes</li>"
      "</ul>\n<pre id=\"report\">";
  appendEscaped(page, reportText(picture.stats));
  page +=
      "</pre>\n<p class=\"help\">Scroll or drag to pan; Ctrl+wheel, + and &minus; to zoom at the "
      "pointer; 0 to fit. Hover a Block for its address, payload, state and class.</p>\n"
      "</aside>\n</div>\n<div id=\"tip\" hidden></div>\n<script>\nconst HEAP = {\"unit\":";
  appendNumber(page, kUnit);
  page += ",\"header\":";
  appendNumber(page, kHeaderSize);
  page += ",\"segments\":[\n";
  for (std::size_t i = 0; i < picture.segments.size(); ++i) {
    if (i != 0) page += ",\n";
    appendSegmentData(page, picture.segments[i]);
  }
  page += "]};\n</script>\n<script>\n";
  page += kHeapMapScript;
  page += "</script>\n</body></html>\n";
  return writeFile(path, page, error);
}

}  // namespace velk::heapmap
