// The heap map and timeline pages in headless Chromium: they render without script errors, show
// one strip per segment of the heap they were written from, and stay whole when zoomed in.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/tools/tool_run.h"

namespace {

using velk::toolstest::runIn;
using velk::toolstest::ScratchFolder;
using velk::toolstest::ToolRun;

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The page's DOM after its scripts ran, and Chromium's log with the page's console messages.
ToolRun openInChromium(const ScratchFolder& folder, const std::string& page) {
  return runIn(folder.path(),
               "chromium --headless --no-sandbox --disable-gpu --no-first-run "
               "--disable-background-networking --disable-component-update --disable-sync "
               "--user-data-dir=profile --window-size=1200,800 --enable-logging=stderr --v=0 "
               "--dump-dom 'file://" +
                   (folder.path() / page).string() + "'");
}

void expectRendered(const ToolRun& chromium, std::size_t segments) {
  EXPECT_EQ(occurrences(chromium.output, "<section class=\"segment\""), segments);
  EXPECT_NE(chromium.output.find("data-rendered=\"" + std::to_string(segments) + "\""),
            std::string::npos)
      << chromium.output.substr(0, 2000);
  EXPECT_EQ(chromium.output.find("data-error"), std::string::npos);
  EXPECT_FALSE(std::regex_search(chromium.output, std::regex(":CONSOLE\\(.*(Uncaught|Error)")));
  EXPECT_GT(occurrences(chromium.output, "<rect "), 20u);
}

std::size_t reportedSegments(const std::string& output) {
  std::smatch match;
  EXPECT_TRUE(std::regex_search(output, match, std::regex("num segments +: ([0-9]+)")));
  return match.empty() ? 0 : std::stoul(match[1]);
}

class HeapMapPage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v chromium > /dev/null") != 0) GTEST_SKIP() << "no chromium";
  }
};

TEST_F(HeapMapPage, HostMapShowsEverySegmentAtEveryZoom) {
  ScratchFolder folder;
  // The host's own heap takes its segments from the system, which may place them side by side.
  const ToolRun host = runIn(folder.path(), std::string(VELK_HOST) +
                                                " --map map.html --workload churn --threads 2 "
                                                "--ops 40000 --seed 3");
  ASSERT_EQ(host.status, 0) << host.output;
  const std::size_t segments = reportedSegments(host.output);
  ASSERT_GE(segments, 1u);
  expectRendered(openInChromium(folder, "map.html"), segments);
  expectRendered(openInChromium(folder, "map.html#zoom=14"), segments);
}

TEST_F(HeapMapPage, ReplayWritesTheMapAtThePeakAndTheTimeline) {
  ScratchFolder folder;
  ASSERT_EQ(runIn(folder.path(),
                  std::string(VELK_HOST) + " --workload large --ops 3000 " + VELK_TRACED_LIBRARY)
                .status,
            0);
  const ToolRun replay =
      runIn(folder.path(), std::string(VELK_REPLAY) +
                               " VelkAllocator.log --map map.html --at peak --timeline time.html");
  ASSERT_EQ(replay.status, 0) << replay.output;
  expectRendered(openInChromium(folder, "map.html"), 1);
  const ToolRun timeline = openInChromium(folder, "time.html");
  EXPECT_NE(timeline.output.find("data-rendered=\"4\""), std::string::npos);
  EXPECT_EQ(timeline.output.find("data-error"), std::string::npos);
  EXPECT_GE(occurrences(timeline.output, "<path d=\"M"), 5u);
}

}  // namespace
