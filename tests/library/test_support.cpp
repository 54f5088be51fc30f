#include "test_support.h"

#include <fstream>
#include <sstream>

namespace velk::library_test {

std::string productLibraryPath() {
  return VELK_PRODUCT_LIBRARY;
}

std::string tracedLibraryPath() {
  return VELK_TRACED_LIBRARY;
}

void LibraryTest::SetUp() {
  static int testNumber = 0;
  previous_ = std::filesystem::current_path();
  directory_ = std::filesystem::temp_directory_path() /
               ("velk-library-test-" + std::to_string(currentThreadId()) + "-" +
                std::to_string(testNumber++));
  std::filesystem::remove_all(directory_);
  std::filesystem::create_directories(directory_);
  std::filesystem::current_path(directory_);
}

void LibraryTest::TearDown() {
  std::filesystem::current_path(previous_);
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

std::optional<std::string> LibraryTest::rawLog() const {
  std::ifstream in(directory_ / kLogName, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string LibraryTest::logText() const {
  const std::optional<std::string> raw = rawLog();
  if (!raw) return "";
  std::string text;
  for (std::size_t i = 0; i < raw->size(); ++i) {
    const char c = (*raw)[i];
#ifdef _WIN32
    if (c == '\n') {
      EXPECT_TRUE(i > 0 && (*raw)[i - 1] == '\r') << "bare line feed at byte " << i;
    }
    if (c == '\r') {
      EXPECT_TRUE(i + 1 < raw->size() && (*raw)[i + 1] == '\n') << "bare return at byte " << i;
      continue;
    }
#else
    EXPECT_NE(c, '\r') << "carriage return at byte " << i;
#endif
    text += c;
  }
  return text;
}

std::map<std::string, std::string> LibraryTest::reportFigures() const {
  std::map<std::string, std::string> figures;
  for (const std::string& line : splitLines(logText())) {
    const std::size_t colon = line.find(": ");
    if (colon == std::string::npos || line[0] == '[') continue;
    std::string label = line.substr(0, colon);
    while (!label.empty() && label.back() == ' ') label.pop_back();
    figures[label] = line.substr(colon + 2);
  }
  return figures;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string expectedLog(const ReportFigures& f) {
  std::ostringstream out;
  out << "Velk allocator loaded\n"
      << "Pre-allocated 640M VA segment, result = 1\n"
      << "shutting down Velk allocator\n"
      << "HEAP STATS:\n"
      << "-----------\n"
      << "total size        : " << f.totalSize << "\n"
      << "total alloc       : " << f.totalAlloc << "\n"
      << "peak alloc (+bkpg): " << f.peakAlloc << "\n"
      << "max alloc blk size: " << f.maxAllocBlockSize << "\n"
      << "fragmentation     : " << f.fragmentation << "\n"
      << "total free        : " << f.totalFree << "\n"
      << "alloc blocks      : " << f.allocBlocks << "\n"
      << "free blocks       : " << f.freeBlocks << "\n"
      << "max alloc         : " << f.maxAlloc << "\n"
      << "max free          : " << f.maxFree << "\n"
      << "largest free chain: " << f.largestFreeChain << "\n"
      << "num segments      : " << f.numSegments << "\n"
      << "num allocs        : " << f.numAllocs << "\n"
      << "num frees         : " << f.numFrees << "\n"
      << "slow bucket       : " << f.slowBucket << "\n"
      << "\n";
  return out.str();
}

}  // namespace velk::library_test
