// velk-replay, black box: a traced run of velk-host replayed to the report the library wrote in
// the same log, and damaged logs and command lines (of velk-host too) answered with the line or
// option at fault.
#include <gtest/gtest.h>

#include <string>

#include "tests/tools/tool_run.h"
#include "trace-log/trace_log.h"

namespace {

using velk::toolstest::runIn;
using velk::toolstest::ScratchFolder;
using velk::toolstest::ToolRun;
using velk::tracelog::ReportFigure;

const std::string kReplay = VELK_REPLAY;

// Runs a traced velk-host workload and replays its log; returns the replay's run.
ToolRun traceAndReplay(const ScratchFolder& folder, const std::string& hostArguments,
                       std::vector<ReportFigure>& logReport) {
  const ToolRun host = runIn(
      folder.path(), std::string(VELK_HOST) + " " + hostArguments + " " + VELK_TRACED_LIBRARY);
  EXPECT_EQ(host.status, 0) << host.output;
  std::string error;
  const auto log = velk::tracelog::readLog(folder.path() / "VelkAllocator.log", error);
  EXPECT_TRUE(log && log->problems.empty() && log->calls.size() > 1000) << error;
  if (log) logReport = log->report;
  return runIn(folder.path(), kReplay + " VelkAllocator.log");
}

TEST(Replay, OneThreadGivesTheLibrarysReportAndPlacesEveryPayloadAsItDid) {
  ScratchFolder folder;
  std::vector<ReportFigure> logReport;
  const ToolRun replay =
      traceAndReplay(folder, "--workload churn --ops 30000 --seed 11", logReport);
  ASSERT_EQ(replay.status, 0) << replay.output;
  const std::vector<ReportFigure> replayReport = velk::tracelog::parseReport(replay.output);
  ASSERT_EQ(replayReport.size(), 15u) << replay.output;
  for (std::size_t i = 0; i < replayReport.size(); ++i) {
    EXPECT_EQ(replayReport[i].label, logReport.at(i).label);
    EXPECT_EQ(replayReport[i].value, logReport.at(i).value) << replayReport[i].label;
  }
  EXPECT_NE(replay.output.find("report: every figure equals the log's report"), std::string::npos);
  // Every allocation at the traced run's own address: the engines took the same path.
  const std::size_t placed = replay.output.find("placed them: ");
  ASSERT_NE(placed, std::string::npos);
  std::size_t same = 0, compared = 0;
  ASSERT_EQ(
      std::sscanf(replay.output.c_str() + placed, "placed them: %zu of %zu", &same, &compared), 2);
  EXPECT_EQ(same, compared);
  EXPECT_GT(compared, 10000u);
}

// With several threads the log's order is not the heap's (an allocation's line follows the heap's
// work, a free's line precedes it), so the replay may take another path through the same calls:
// peak alloc, reached in the middle of the run, may differ. Every other figure describes the heap
// at the end, after velk-host has freed everything, or counts calls: those must be equal.
TEST(Replay, SeveralThreadsGiveTheLibrarysFinalFigures) {
  ScratchFolder folder;
  std::vector<ReportFigure> logReport;
  const ToolRun replay =
      traceAndReplay(folder, "--workload mixed --threads 3 --ops 30000 --seed 5", logReport);
  ASSERT_EQ(replay.status, 0) << replay.output;
  EXPECT_NE(replay.output.find("from 3 thread(s)"), std::string::npos) << replay.output;
  const std::vector<ReportFigure> replayReport = velk::tracelog::parseReport(replay.output);
  ASSERT_EQ(replayReport.size(), logReport.size()) << replay.output;
  for (std::size_t i = 0; i < replayReport.size(); ++i) {
    if (replayReport[i].label == "peak alloc (+bkpg)") continue;
    EXPECT_EQ(replayReport[i].value, logReport[i].value) << replayReport[i].label;
  }
}

TEST(Replay, DamagedLogsAndBadOptionsAreNamed) {
  const std::string header = "Velk allocator loaded\nPre-allocated 640M VA segment, result = 1\n";
  const std::string oneCall = header + "[00000001]: allocated 24 bytes: 0x7f0000000010\n";
  struct Case {
    std::string log;
    std::string options;
    int status;
    const char* said;  // part of the output
    const char* path = "VelkAllocator.log";
  };
  const Case cases[] = {
      {header + "[00000001]: allocated 24 bytes: 0x7f0000000010\n[00000001]: freeing 0x10\n", "", 1,
       "VelkAllocator.log:4: expected a call"},
      {header + "[00000001]: allocated 24 bytes: 0x7f0000000010\n[00000001]: fre", "", 0,
       "VelkAllocator.log:4: the last line has no line end"},
      {header + "[00000001]: freeing: 0x7f0000000010\n[00000001]: memsize for 0x20 returns 8\n", "",
       0, "frees of pointers the trace never returned: 1 (first on line 3)"},
      {header + "[00000001]: allocated 24 bytes: 0x7f0000000010\n"
                "[00000002]: allocated 24 bytes: 0x7f0000000010\n",
       "", 0, "frees taken before a later allocation of the same pointer: 1"},
      {header, "--at 3", 2, "--at needs --map"},
      {header, "--map m.html --at -4294967295", 2, "--at: -4294967295 is not a call number"},
      {oneCall, "--map m.html --at 2", 2,
       "--at: 2 is beyond the log's last call: a call number from 1 to 1"},
      {header, "--against dlmalloc", 2, "dlmalloc is none of glibc, jemalloc"},
      {header, "--engine 16", 2, "--engine: 16 not in {trace,32,64}"},
      {header, "--frobnicate", 2, "--frobnicate"},
      {oneCall, "--map /nonexistent/m.html", 1,
       "cannot write /nonexistent/m.html: No such file or directory"},
      {"", "", 1, "cannot read .: Is a directory", "."},
      {"", "", 1, "VelkAllocator.log is empty: nothing to replay"},
      {header + "shutting down Velk allocator\nHEAP STATS:\n-----------\nnum allocs : 7\n", "", 1,
       "no trace lines: nothing to replay (its report counts 7 allocations"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options + " on:\n" + c.log);
    ScratchFolder folder;
    velk::toolstest::writeText(folder.path() / "VelkAllocator.log", c.log);
    const ToolRun run = runIn(folder.path(), kReplay + " " + c.path + " " + c.options);
    EXPECT_EQ(run.status, c.status) << run.output;
    EXPECT_NE(run.output.find(c.said), std::string::npos) << run.output;
  }
}

// CLI11 reads "-5" for an unsigned option as a huge number; every count must be taken as written.
TEST(Replay, HostNumbersOutOfRangeAreNamed) {
  const char* const cases[][2] = {
      {"--ops -5", "--ops: -5 is not a whole number from 0 to 18446744073709551615"},
      {"--ops 99999999999999999999", "--ops: 99999999999999999999 is not a whole number"},
      {"--seed -1", "--seed: -1 is not a whole number"},
      {"--threads 257", "--threads: 257 is not a whole number from 1 to 256"},
  };
  for (const auto& [options, said] : cases) {
    ScratchFolder folder;
    const ToolRun run = runIn(folder.path(), std::string(VELK_HOST) + " " + options + " lib.so");
    EXPECT_EQ(run.status, 2) << options;
    EXPECT_NE(run.output.find(said), std::string::npos) << run.output;
  }
}

}  // namespace
