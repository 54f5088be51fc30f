// The log reader on logs as the builds write them (glibc and Windows pointers, CRLF line ends) and
// on logs that are damaged or cut short: every line it cannot read is named with its number.
#include <gtest/gtest.h>

#include <string>

#include "trace-log/trace_log.h"

namespace {

using velk::tracelog::CallKind;
using velk::tracelog::parseLog;
using velk::tracelog::TraceLog;

constexpr const char* kReport =
    "shutting down Velk allocator\n"
    "HEAP STATS:\n"
    "-----------\n"
    "total size        : 671154176\n"
    "fragmentation     : 0.00%\n"
    "num frees         : 1\n"
    "\n";

TEST(TraceLog, ReadsTheCallsOfEitherRuntimeAndTheReport) {
  const std::string glibc = std::string(
                                "Velk allocator loaded\n"
                                "Pre-allocated 640M VA segment, result = 1\n"
                                "[00001a2b]: allocated 100 bytes: 0x7f4231e00010\n"
                                "[00001a2c]: allocated -16 bytes: (nil)\n"
                                "[00001a2b]: memsize for 0x7f4231e00010 returns 104\n"
                                "[00001a2b]: flushcache with -3\n"
                                "[00001a2b]: flushcacheall\n"
                                "[00001a2b]: freeing: 0x7f4231e00010\n") +
                            kReport;
  const TraceLog log = parseLog(glibc);
  EXPECT_TRUE(log.problems.empty());
  EXPECT_TRUE(log.loaded && log.shutDown && !log.truncatedLastLine && !log.windowsPointers);
  EXPECT_EQ(log.upFrontSegment, 1);
  EXPECT_EQ(log.pointerBits(), 64u);
  ASSERT_EQ(log.calls.size(), 6u);
  EXPECT_EQ(log.calls[0].thread, 0x1a2bu);
  EXPECT_EQ(log.calls[0].pointer, 0x7f4231e00010u);
  EXPECT_EQ(log.calls[1].value, 0xFFFFFFF0u);  // 4 GiB - 16, which "%d" prints as negative
  EXPECT_EQ(log.calls[1].pointer, 0u);
  EXPECT_EQ(log.calls[2].kind, CallKind::kSize);
  EXPECT_EQ(log.calls[2].value, 104u);
  EXPECT_EQ(log.calls[3].kind, CallKind::kFlushCache);
  EXPECT_EQ(log.calls[4].kind, CallKind::kFlushCacheAll);
  EXPECT_EQ(log.calls[5].kind, CallKind::kFree);
  EXPECT_EQ(log.calls[5].line, 8u);
  ASSERT_EQ(log.report.size(), 3u);
  EXPECT_EQ(*log.figure("fragmentation"), "0.00%");
  EXPECT_EQ(*log.figure("num frees"), "1");

  std::string windows;
  for (const char c : std::string("[000004d0]: allocated 24 bytes: 0012FF40\n"
                                  "[000004d0]: freeing: 00000000\n") +
                          kReport) {
    if (c == '\n') windows += '\r';
    windows += c;
  }
  const TraceLog windowsLog = parseLog(windows);
  EXPECT_TRUE(windowsLog.problems.empty());
  EXPECT_TRUE(windowsLog.windowsPointers);
  EXPECT_EQ(windowsLog.pointerBits(), 32u);
  EXPECT_EQ(windowsLog.calls.at(0).pointer, 0x12FF40u);
  EXPECT_EQ(windowsLog.report.size(), 3u);
}

TEST(TraceLog, NamesEveryLineItCannotRead) {
  struct Case {
    const char* text;
    std::size_t calls;
    std::uint32_t problemLine;  // 0: none
    const char* expected;       // part of the message
    bool truncated;
  };
  const Case cases[] = {
      {"[00000001]: allocated 8 bytes: 0x10\n[00000001]: freeing: 0x1", 1, 0, "", true},
      {"[00000001]: allocated 8 bytes: 0x10\n[0000", 1, 0, "", true},
      {"[00000001]: allocated 8 bytes: 0x10\n", 1, 0, "", false},
      {"\n[00000001]: freeing: 0x10\n", 1, 1, "a trace line", false},
      {"[00000001]: freeing: 0xZZ\n", 0, 1, "'freeing: POINTER'", false},
      {"[00000001]: allocated 8 bytes 0x10\n", 0, 1, "'allocated N bytes: POINTER'", false},
      {"[00000001]: allocated 4294967296 bytes: 0x10\n", 0, 1, "'allocated N bytes", false},
      {"[00000001]: memsize for 0x10 returns\n", 0, 1, "'memsize for POINTER returns N'", false},
      {"[00000001]: freeing: 0x10 \n", 0, 1, "'freeing: POINTER'", false},
      {"[00000001]: realloc 0x10\n", 0, 1, "a call ('allocated'", false},
      {"[xyz]: freeing: 0x10\n", 0, 1, "thread id", false},
      {"[00000001]: freeing: 0x10\nPre-allocated 640M VA segment, result = yes\n", 1, 2,
       "result of the up-front segment", false},
      {"HEAP STATS:\n===\n", 0, 2, "the rule", false},
      {"HEAP STATS:\n-----------\ntotal size 5\n", 0, 3, "'label: value'", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const TraceLog log = parseLog(c.text);
    EXPECT_EQ(log.calls.size(), c.calls);
    EXPECT_EQ(log.truncatedLastLine, c.truncated);
    if (c.problemLine == 0) {
      EXPECT_TRUE(log.problems.empty());
      continue;
    }
    ASSERT_EQ(log.problems.size(), 1u);
    EXPECT_EQ(log.problems[0].line, c.problemLine);
    EXPECT_NE(log.problems[0].message.find(c.expected), std::string::npos)
        << log.problems[0].message;
  }
}

}  // namespace
