// Reads a VelkAllocator.log: the load lines, one traced call per trace line, and the report block
// written at unload. Shared by velk-replay and the black-box tests, so that the log's format is
// read in one place.
//
// The log may come from any build: Windows writes "\r\n" line ends and prints pointers as eight
// upper-case hex digits ("0012FF40"), glibc as "0x7f..." and null as "(nil)". Both are read.
// A last line without a line end is a line the writer never finished (the process died while
// writing it): it is dropped, and `truncatedLastLine` says so.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velk::tracelog {

enum class CallKind : std::uint8_t {
  kAlloc,          // "allocated %d bytes: %p"
  kFree,           // "freeing: %p"
  kSize,           // "memsize for %p returns %d"
  kFlushCache,     // "flushcache with %d"
  kFlushCacheAll,  // "flushcacheall"
};

// One exported call as its trace line shows it.
struct TracedCall {
  std::uint64_t
      pointer;  // the result of an allocation, the pointer freed or asked about; 0 is null
  std::uint32_t thread;
  std::uint32_t line;   // 1-based line number in the log
  std::uint32_t value;  // bytes asked for, the size answered, or the flush level, as 32 bits
  CallKind kind;
};

struct ReportFigure {
  std::string label;  // "total size", "peak alloc (+bkpg)", ...
  std::string value;  // as written: "671154176", "0.00%"
};

struct LogProblem {
  std::uint32_t line;
  std::string message;  // what was expected there, and what was found
};

struct TraceLog {
  bool loaded = false;                // "Velk allocator loaded"
  std::optional<int> upFrontSegment;  // the result of "Pre-allocated 640M VA segment, result = %d"
  std::vector<TracedCall> calls;      // in the order of their lines
  bool shutDown = false;              // "shutting down Velk allocator"
  std::vector<ReportFigure> report;   // empty when the log has no report
  std::size_t damageLines = 0;        // "heap damage: ..." (a host's stray writes, put right)
  std::vector<LogProblem> problems;   // lines that are none of the above
  std::uint32_t lineCount = 0;
  bool truncatedLastLine = false;
  bool windowsPointers = false;      // pointers printed without "0x"
  std::uint64_t highestPointer = 0;  // tells a 64-bit trace from a 32-bit one

  // 64 when a pointer of the trace needs more than 32 bits, else 32.
  unsigned pointerBits() const { return highestPointer > 0xFFFFFFFFu ? 64 : 32; }
  // The report's value for `label`, if the report has it.
  const std::string* figure(std::string_view label) const;
};

TraceLog parseLog(std::string_view text);
// Reads the file and parses it; nullopt, with the system's reason in `error`, when it cannot be
// read.
std::optional<TraceLog> readLog(const std::filesystem::path& path, std::string& error);

// The report lines anywhere in `text` (a log, or a program's output that prints one).
std::vector<ReportFigure> parseReport(std::string_view text);

}  // namespace velk::tracelog
