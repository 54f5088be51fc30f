#include "timeline_page.h"

#include "heap-map/page_text.h"

namespace velk::replay {

extern const char kTimelineScript[];
extern const char kTimelineStyle[];

namespace {

template <typename Field>
void appendSeries(std::string& out, const char* name, const ReplayResult& result, Field field) {
  out += '"';
  out += name;
  out += "\":[";
  for (std::size_t i = 0; i < result.timeline.size(); ++i) {
    if (i != 0) out += ',';
    heapmap::appendNumber(out, field(result.timeline[i]));
  }
  out += ']';
}

}  // namespace

bool writeTimelinePage(const tracelog::TraceLog& log, const ReplayResult& result,
                       const std::string& logName, const std::string& path, std::string& error) {
  std::string page;
  page += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Heap timeline: ";
  heapmap::appendEscaped(page, logName);
  page += "</title><style>";
  page += kTimelineStyle;
  page += "</style></head>\n<body>\n<header><h1>Heap timeline</h1><p>";
  heapmap::appendEscaped(page, logName);
  page += ": ";
  heapmap::appendNumber(page, log.calls.size());
  page += " calls, replayed; peak alloc at call ";
  heapmap::appendNumber(page, result.peakCall);
  page +=
      "</p></header>\n<div id=\"charts\"></div>\n<div id=\"tip\" hidden></div>\n"
      "<p class=\"help\">Wheel to zoom at the pointer, drag to pan, double-click to see the whole "
      "run. Hover for the figures after a call.</p>\n<script>\nconst TIMELINE = {\"peakCall\":";
  heapmap::appendNumber(page, result.peakCall);
  page += ',';
  using Point = TimelinePoint;
  appendSeries(page, "call", result, [](const Point& p) { return p.call; });
  page += ',';
  appendSeries(page, "line", result, [](const Point& p) { return p.line; });
  page += ',';
  appendSeries(page, "totalAlloc", result, [](const Point& p) { return p.totalAlloc; });
  page += ',';
  appendSeries(page, "totalFree", result, [](const Point& p) { return p.totalFree; });
  page += ',';
  // Max free is known only at the points where the replay walked the heap; -1 elsewhere.
  appendSeries(page, "maxFree", result, [](const Point& p) {
    return p.maxFree == kUnknownMaxFree ? std::int64_t{-1} : static_cast<std::int64_t>(p.maxFree);
  });
  page += ',';
  appendSeries(page, "totalSize", result, [](const Point& p) { return p.totalSize; });
  page += ',';
  appendSeries(page, "segments", result, [](const Point& p) { return p.segments; });
  page += ',';
  appendSeries(page, "liveBlocks", result, [](const Point& p) { return p.liveBlocks; });
  page += "};\n</script>\n<script>\n";
  page += kTimelineScript;
  page += "</script>\n</body></html>\n";
  return heapmap::writeFile(path, page, error);
}

}  // namespace velk::replay
