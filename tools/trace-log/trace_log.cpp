#include "trace-log/trace_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace velk::tracelog {
namespace {

constexpr std::string_view kLoadedLine = "Velk allocator loaded";
constexpr std::string_view kUpFrontLine = "Pre-allocated 640M VA segment, result = ";
constexpr std::string_view kShutdownLine = "shutting down Velk allocator";
constexpr std::string_view kReportTitle = "HEAP STATS:";
// Damage the library found and put right: a host's stray write, not a call.
constexpr std::string_view kDamagePrefix = "heap damage: ";
constexpr std::string_view kReportRule = "-----------";
constexpr std::size_t kQuotedLength = 60;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A cursor over one line; every reader advances it only when it succeeds.
struct Cursor {
  std::string_view rest;

  bool literal(std::string_view text) {
    if (!rest.starts_with(text)) return false;
    rest.remove_prefix(text.size());
    return true;
  }

  bool hex(std::uint64_t& value, std::size_t mostDigits) {
    std::size_t digits = 0;
    value = 0;
    while (digits < rest.size() && digits < mostDigits) {
      const int digit = hexDigit(rest[digits]);
      if (digit < 0) break;
      value = value << 4 | static_cast<unsigned>(digit);
      ++digits;
    }
    if (digits == 0 || (digits < rest.size() && hexDigit(rest[digits]) >= 0)) return false;
    rest.remove_prefix(digits);
    return true;
  }

  // "%d" of a 32-bit value; kept as its 32 bits, so that sizes of 2 GiB and more, which "%d"
  // prints as negative numbers, come back as the unsigned sizes they were.
  bool decimal(std::uint32_t& value) {
    const bool negative = literal("-");
    std::uint64_t magnitude = 0;
    std::size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') {
      magnitude = magnitude * 10 + static_cast<unsigned>(rest[digits] - '0');
      if (magnitude > 0x80000000u) return false;
      ++digits;
    }
    if (digits == 0 || (!negative && magnitude > 0x7FFFFFFFu)) return false;
    rest.remove_prefix(digits);
    value = static_cast<std::uint32_t>(negative ? 0 - magnitude : magnitude);
    return true;
  }

  // "%p" as glibc ("0x..." or "(nil)") or the Windows runtime library (hex digits alone) prints it.
  bool pointer(std::uint64_t& value, bool& windowsStyle) {
    if (literal("(nil)")) {
      value = 0;
      return true;
    }
    windowsStyle = !literal("0x");
    return hex(value, 16);
  }
};

std::string quoted(std::string_view line) {
  std::string text(line.substr(0, kQuotedLength));
  if (line.size() > kQuotedLength) text += "...";
  return "'" + text + "'";
}

class LineReader {
 public:
  explicit LineReader(TraceLog& log) : log_(log) {}

  void read(std::string_view line, std::uint32_t number) {
    if (inReport_) return reportLine(line, number);
    if (line.starts_with('[')) return traceLine(line, number);
    if (line == kLoadedLine) {
      log_.loaded = true;
    } else if (line.starts_with(kUpFrontLine)) {
      Cursor cursor{line.substr(kUpFrontLine.size())};
      std::uint32_t result = 0;
      if (!cursor.decimal(result) || !cursor.rest.empty()) {
        return problem(number, "expected the result of the up-front segment (0 or 1) after '" +
                                   std::string(kUpFrontLine) + "'; found " + quoted(line));
      }
      log_.upFrontSegment = static_cast<int>(result);
    } else if (line == kShutdownLine) {
      log_.shutDown = true;
    } else if (line.starts_with(kDamagePrefix)) {
      ++log_.damageLines;
    } else if (line == kReportTitle) {
      inReport_ = true;
      ruleSeen_ = false;
    } else {
      problem(number,
              "expected a trace line '[thread]: call', a load or unload line, or the report; "
              "found " +
                  quoted(line));
    }
  }

 private:
  void problem(std::uint32_t number, std::string message) {
    log_.problems.push_back({number, std::move(message)});
  }

  void traceLine(std::string_view line, std::uint32_t number) {
    Cursor cursor{line.substr(1)};
    std::uint64_t thread = 0;
    if (!cursor.hex(thread, 8) || !cursor.literal("]: ")) {
      return problem(number,
                     "expected '[' eight hex digits of a thread id ']: '; found " + quoted(line));
    }
    TracedCall call{0, static_cast<std::uint32_t>(thread), number, 0, CallKind::kAlloc};
    bool windowsStyle = false;
    bool read = false;
    const char* expected = "";
    if (cursor.literal("allocated ")) {
      call.kind = CallKind::kAlloc;
      expected = "'allocated N bytes: POINTER'";
      read = cursor.decimal(call.value) && cursor.literal(" bytes: ") &&
             cursor.pointer(call.pointer, windowsStyle);
    } else if (cursor.literal("freeing: ")) {
      call.kind = CallKind::kFree;
      expected = "'freeing: POINTER'";
      read = cursor.pointer(call.pointer, windowsStyle);
    } else if (cursor.literal("memsize for ")) {
      call.kind = CallKind::kSize;
      expected = "'memsize for POINTER returns N'";
      read = cursor.pointer(call.pointer, windowsStyle) && cursor.literal(" returns ") &&
             cursor.decimal(call.value);
    } else if (cursor.literal("flushcacheall")) {
      call.kind = CallKind::kFlushCacheAll;
      expected = "'flushcacheall'";
      read = true;
    } else if (cursor.literal("flushcache with ")) {
      call.kind = CallKind::kFlushCache;
      expected = "'flushcache with N'";
      read = cursor.decimal(call.value);
    } else {
      expected =
          "a call ('allocated', 'freeing', 'memsize for', 'flushcache with', 'flushcacheall')";
    }
    if (!read || !cursor.rest.empty()) {
      return problem(number, std::string("expected ") + expected + " after the thread id; found " +
                                 quoted(line));
    }
    if (windowsStyle && call.pointer != 0) log_.windowsPointers = true;
    if (call.pointer > log_.highestPointer) log_.highestPointer = call.pointer;
    log_.calls.push_back(call);
  }

  void reportLine(std::string_view line, std::uint32_t number) {
    if (!ruleSeen_) {
      ruleSeen_ = true;
      if (line != kReportRule) {
        problem(number, "expected the rule '" + std::string(kReportRule) +
                            "' under 'HEAP STATS:'; found " + quoted(line));
      }
      return;
    }
    if (line.empty()) {
      inReport_ = false;
      return;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || line.substr(colon).size() < 2 ||
        line[colon + 1] != ' ') {
      return problem(number, "expected a report line 'label: value'; found " + quoted(line));
    }
    std::string_view label = line.substr(0, colon);
    while (!label.empty() && label.back() == ' ') label.remove_suffix(1);
    log_.report.push_back({std::string(label), std::string(line.substr(colon + 2))});
  }

  TraceLog& log_;
  bool inReport_ = false;
  bool ruleSeen_ = false;
};

}  // namespace

const std::string* TraceLog::figure(std::string_view label) const {
  for (const ReportFigure& figure : report) {
    if (figure.label == label) return &figure.value;
  }
  return nullptr;
}

TraceLog parseLog(std::string_view text) {
  TraceLog log;
  LineReader reader(log);
  std::uint32_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    ++number;
    if (end == std::string_view::npos) {
      log.truncatedLastLine = true;
      break;
    }
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    text.remove_prefix(end + 1);
    reader.read(line, number);
  }
  log.lineCount = number;
  return log;
}

std::optional<TraceLog> readLog(const std::filesystem::path& path, std::string& error) {
  // C streams rather than iostreams: a read that fails (a directory, an I/O error) is a status
  // and an errno here, where std::filebuf throws from inside an iterator.
#ifdef _WIN32
  std::FILE* file = _wfopen(path.c_str(), L"rb");
#else
  std::FILE* file = std::fopen(path.c_str(), "rb");
#endif
  if (file == nullptr) {
    error = "cannot open " + path.string() + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::string text;
  std::error_code sizeError;
  const std::uintmax_t size = std::filesystem::file_size(path, sizeError);
  if (!sizeError) text.reserve(static_cast<std::size_t>(size));
  char buffer[1 << 16];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) != 0) text.append(buffer, got);
  const bool failed = std::ferror(file) != 0;
  const int reason = errno;
  std::fclose(file);
  if (failed) {
    error = "cannot read " + path.string() + ": " + std::strerror(reason);
    return std::nullopt;
  }
  return parseLog(text);
}

std::vector<ReportFigure> parseReport(std::string_view text) {
  const std::size_t title = text.find(kReportTitle);
  if (title == std::string_view::npos) return {};
  return parseLog(text.substr(title)).report;
}

}  // namespace velk::tracelog
