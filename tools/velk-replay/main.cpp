// velk-replay: reads the VelkAllocator.log of a traced build, rebuilds the heap's call sequence
// from it, replays that on an engine of its own and prints the report at the end, beside the
// report the library wrote, figure for figure. It can chart the heap over the run (--timeline),
// draw it at a chosen call (--map, --at) and time the same calls through other allocators
// (--against).
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "against.h"
#include "call_sequence.h"
#include "command-line/command_line.h"
#include "heap/report.h"
#include "replay.h"
#include "timeline_page.h"
#include "trace-log/trace_log.h"
#include "width_handover.h"

namespace {

using velk::replay::CallSequence;
using velk::replay::ReplayResult;
using velk::tracelog::ReportFigure;
using velk::tracelog::TraceLog;

constexpr unsigned kEngineBits = sizeof(void*) * 8;
constexpr std::size_t kProblemsShown = 10;
constexpr std::uint32_t kTimelinePoints = 2000;

struct Settings {
  std::string logPath;
  std::string timelinePath;
  std::string mapPath;
  std::string at = "end";
  std::vector<std::string> against;
  std::string engine = "trace";
};

std::string reportText(const velk::HeapStats& stats) {
  std::string text;
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return text;
  velk::printHeapReport(file, stats);
  std::rewind(file);
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, file) != nullptr) text += buffer;
  std::fclose(file);
  return text;
}

// Prints the figures in which the replay's report and the log's differ; true when none does.
bool compareReports(const TraceLog& log, const std::string& replayReport, bool widthsMatch) {
  if (log.report.empty()) {
    std::printf("the log has no report to compare with (the run did not unload the library)\n");
    return true;
  }
  const std::vector<ReportFigure> ours = velk::tracelog::parseReport(replayReport);
  std::vector<std::string> differences;
  for (const ReportFigure& figure : ours) {
    const std::string* theirs = log.figure(figure.label);
    if (theirs == nullptr || *theirs != figure.value) {
      differences.push_back("  " + figure.label + ": replay " + figure.value + ", log " +
                            (theirs != nullptr ? *theirs : std::string("(missing)")));
    }
  }
  if (differences.empty()) {
    std::printf("report: every figure equals the log's report\n");
    return true;
  }
  std::printf("report: %zu figure(s) differ from the log's report%s:\n", differences.size(),
              widthsMatch ? "" : " (the engines' widths differ)");
  for (const std::string& line : differences) std::printf("%s\n", line.c_str());
  return false;
}

// Why a log without a traced call cannot be replayed: empty, or written by the library without
// the trace, whose log has the load lines and the report but no line per call.
std::string nothingToReplay(const TraceLog& log, const std::string& path) {
  if (log.lineCount == 0) return path + " is empty: nothing to replay";
  std::string reason = path + " has no trace lines: nothing to replay";
  const std::string* allocations = log.figure("num allocs");
  if (allocations != nullptr && *allocations != "0") {
    reason +=
        " (its report counts " + *allocations + " allocations: the untraced library wrote it)";
  }
  return reason +
         ". Run the host on the traced library (VelkAllocator-traced.dll, "
         "libvelkallocator-traced.so) for a log with a line per call.";
}

void printSequenceNotes(const CallSequence& sequence) {
  if (sequence.unknownFrees != 0) {
    std::printf("frees of pointers the trace never returned: %llu (first on line %u), left out\n",
                static_cast<unsigned long long>(sequence.unknownFrees),
                sequence.firstUnknownFreeLine);
  }
  if (sequence.unknownSizeQueries != 0) {
    std::printf("size queries of pointers the trace never returned: %llu, left out\n",
                static_cast<unsigned long long>(sequence.unknownSizeQueries));
  }
  if (sequence.freesMovedEarlier != 0) {
    std::printf("frees taken before a later allocation of the same pointer: %llu\n",
                static_cast<unsigned long long>(sequence.freesMovedEarlier));
  }
  if (sequence.failedAllocations != 0) {
    std::printf("allocations that returned null in the traced run: %llu\n",
                static_cast<unsigned long long>(sequence.failedAllocations));
  }
}

void printReplayNotes(const ReplayResult& result) {
  std::printf("allocations placed where the traced run placed them: %llu of %llu compared",
              static_cast<unsigned long long>(result.placedAsTraced),
              static_cast<unsigned long long>(result.placementsCompared));
  if (result.firstMisplacedLine != 0) {
    std::printf(" (first elsewhere: line %u)", result.firstMisplacedLine);
  }
  std::printf("\nsegment ranges placed where the traced run had them: %zu of %zu\n",
              result.rangesPlacedAsTraced, result.segmentRanges);
  if (result.sizeAnswersDiffering != 0) {
    std::printf("size answers unlike the traced run's: %llu (first on line %u)\n",
                static_cast<unsigned long long>(result.sizeAnswersDiffering),
                result.firstSizeDifferenceLine);
  }
  if (result.nullsUnlikeTrace != 0) {
    std::printf("allocations that failed in one run and not in the other: %llu\n",
                static_cast<unsigned long long>(result.nullsUnlikeTrace));
  }
}

int run(const Settings& settings, const CLI::App& app) {
  std::optional<std::uint32_t> atCall;
  const bool atPeak = settings.at == "peak";
  if (settings.at != "end" && !atPeak) {
    const std::optional<std::uint64_t> value =
        velk::commandline::wholeNumber(settings.at, 1, UINT32_MAX);
    if (!value) {
      return velk::commandline::usageError(
          app, "--at: " + settings.at + " is not a call number (1, 2, ...), 'peak' or 'end'");
    }
    atCall = static_cast<std::uint32_t>(*value);
  }

  const auto readStarted = std::chrono::steady_clock::now();
  std::string error;
  std::optional<TraceLog> log = velk::tracelog::readLog(settings.logPath, error);
  if (!log) {
    std::fprintf(stderr, "velk-replay: %s\n", error.c_str());
    return 1;
  }
  if (!log->problems.empty()) {
    for (std::size_t i = 0; i < log->problems.size() && i < kProblemsShown; ++i) {
      std::fprintf(stderr, "velk-replay: %s:%u: %s\n", settings.logPath.c_str(),
                   log->problems[i].line, log->problems[i].message.c_str());
    }
    if (log->problems.size() > kProblemsShown) {
      std::fprintf(stderr, "velk-replay: %zu more lines that cannot be read\n",
                   log->problems.size() - kProblemsShown);
    }
    return 1;
  }
  if (log->calls.empty()) {
    std::fprintf(stderr, "velk-replay: %s\n", nothingToReplay(*log, settings.logPath).c_str());
    return 1;
  }
  if (atCall && *atCall > log->calls.size()) {
    return velk::commandline::usageError(
        app, "--at: " + settings.at + " is beyond the log's last call: a call number from 1 to " +
                 std::to_string(log->calls.size()) + ", 'peak' or 'end'");
  }
  if (log->truncatedLastLine) {
    std::fprintf(stderr,
                 "velk-replay: %s:%u: the last line has no line end (the run stopped while "
                 "writing it); left out\n",
                 settings.logPath.c_str(), log->lineCount);
  }

  const unsigned traceBits = log->pointerBits();
  const unsigned wantedBits =
      settings.engine == "trace" ? traceBits : static_cast<unsigned>(std::stoul(settings.engine));
  if (wantedBits != kEngineBits) {
    if (const std::optional<int> exitCode = velk::replay::handOverToWidth(wantedBits)) {
      return *exitCode;
    }
    if (settings.engine != "trace") {
      std::fprintf(stderr, "velk-replay: --engine %u: no %u-bit velk-replay to hand over to (%s)\n",
                   wantedBits, wantedBits, velk::replay::otherWidthMissing(wantedBits).c_str());
      return 1;
    }
    std::printf(
        "note: a %u-bit trace on the %u-bit engine: Block sizes and headers differ, so "
        "the figures cannot match the log's (%s)\n",
        traceBits, kEngineBits, velk::replay::otherWidthMissing(traceBits).c_str());
  }

  const CallSequence sequence = velk::replay::buildCallSequence(*log);
  const double readSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - readStarted).count();

  velk::replay::ReplayOptions options;
  options.timelinePoints = settings.timelinePath.empty() ? 0 : kTimelinePoints;
  options.pictureAtEnd = !settings.mapPath.empty() && !atPeak && !atCall;
  const ReplayResult result = velk::replay::replay(*log, sequence, options);
  if (!result.addressSpaceReady) {
    std::fprintf(stderr, "velk-replay: cannot reserve address space for the replay\n");
    return 1;
  }
  const double lines = static_cast<double>(log->lineCount);
  std::printf("%s: %u lines, %zu calls from %u thread(s), %u-bit %s pointers\n",
              settings.logPath.c_str(), log->lineCount, log->calls.size(), sequence.threads,
              traceBits, log->windowsPointers ? "Windows" : "glibc");
  std::printf("read in %.3f s, replayed on the %u-bit engine in %.3f s: %.2f million lines/s\n",
              readSeconds, kEngineBits, result.seconds,
              lines / (readSeconds + result.seconds) / 1e6);
  printSequenceNotes(sequence);
  printReplayNotes(result);
  std::printf("peak alloc reached at call %u (line %u)\n", result.peakCall,
              result.peakCall == 0 ? 0 : log->calls[result.peakCall - 1].line);
  const std::string replayReport = reportText(result.stats);
  std::printf("\nthe replay's report:\n%s", replayReport.c_str());
  const bool same = compareReports(*log, replayReport, traceBits == kEngineBits);
  (void)same;

  int status = 0;
  std::string writeError;
  if (!settings.timelinePath.empty()) {
    if (velk::replay::writeTimelinePage(*log, result, settings.logPath, settings.timelinePath,
                                        writeError)) {
      std::printf("timeline: %s (%zu points)\n", settings.timelinePath.c_str(),
                  result.timeline.size());
    } else {
      std::fprintf(stderr, "velk-replay: %s\n", writeError.c_str());
      status = 1;
    }
  }
  if (!settings.mapPath.empty()) {
    std::optional<velk::heapmap::HeapPicture> picture = result.picture;
    std::uint32_t call = static_cast<std::uint32_t>(log->calls.size());
    if (atPeak || atCall) {
      velk::replay::ReplayOptions pictureOptions;
      call = atPeak ? result.peakCall : *atCall;
      pictureOptions.pictureAtCall = call;
      if (call == 0) {
        pictureOptions.pictureAtCall = 0;
        pictureOptions.pictureAtEnd = true;
      }
      picture = velk::replay::replay(*log, sequence, pictureOptions).picture;
    }
    const std::string title =
        settings.logPath + ", after call " + std::to_string(call) + " of " +
        std::to_string(log->calls.size()) +
        (call == 0 ? "" : " (line " + std::to_string(log->calls[call - 1].line) + ")") +
        (atPeak ? ", at the peak" : "");
    if (!picture) {
      std::fprintf(stderr, "velk-replay: the replay took no picture of the heap for the map\n");
      status = 1;
    } else if (velk::heapmap::writeHeapMapPage(*picture, title, settings.mapPath, writeError)) {
      std::printf("map: %s (after call %u)\n", settings.mapPath.c_str(), call);
    } else {
      std::fprintf(stderr, "velk-replay: %s\n", writeError.c_str());
      status = 1;
    }
  }
  if (!settings.against.empty()) {
    if (!velk::replay::runAgainst(*log, sequence, settings.against, result.seconds)) status = 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "Replays the VelkAllocator.log of a traced build on an engine of its own and prints the "
      "report at the end beside the library's own.",
      "velk-replay");
  velk::commandline::prepare(app, "velk-replay");
  velk::replay::rememberCommandLine(argc, argv);
  Settings settings;
  app.add_option("LOG", settings.logPath, "The VelkAllocator.log of a traced build")->required();
  app.add_option("--timeline", settings.timelinePath,
                 "Write total alloc, total free, max free, fragmentation, segments and live "
                 "Blocks over the calls as a chart page (FILE.html)");
  app.add_option("--map", settings.mapPath, "Write the heap map page (FILE.html)");
  app.add_option("--at", settings.at,
                 "The call to draw the map at: a call number (1 is the first traced call), "
                 "'peak' (where peak alloc was reached) or 'end'")
      ->capture_default_str();
  app.add_option("--against", settings.against,
                 "Time the same calls through malloc and free under another allocator as well: "
                 "glibc, jemalloc, mimalloc, tcmalloc, tbbmalloc or a PATH.so (repeatable)")
      ->check(velk::replay::againstValidator());
  app.add_option("--engine", settings.engine,
                 "The engine's width: that of the trace, or 32 or 64 (a build of the other width "
                 "takes over)")
      ->check(CLI::IsMember({"trace", "32", "64"}))
      ->capture_default_str();
  if (const std::optional<int> exitCode = velk::commandline::parse(app, argc, argv)) {
    return *exitCode;
  }
  if (settings.at != "end" && settings.mapPath.empty()) {
    return velk::commandline::usageError(app, "--at needs --map FILE.html");
  }
  return run(settings, app);
}
