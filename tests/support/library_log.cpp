#include "tests/support/library_log.h"

#include <chrono>
#include <fstream>
#include <sstream>

#include "trace-log/trace_log.h"

namespace velk::testing {

ScratchDirectory::ScratchDirectory(const std::string& tag)
    : previous_(std::filesystem::current_path()) {
  static int count = 0;
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  path_ = std::filesystem::temp_directory_path() /
          ("velk-" + tag + "-" + std::to_string(stamp) + "-" + std::to_string(count++));
  std::filesystem::create_directories(path_);
  std::filesystem::current_path(path_);
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::string readLog(bool* lineEndsRight) {
  std::ifstream in(kLogName, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  const std::string raw = bytes.str();
  std::string text, rewritten;
  for (char c : raw) {
    if (c != '\r') text += c;
  }
  for (char c : text) {
#ifdef _WIN32
    if (c == '\n') rewritten += '\r';
#endif
    rewritten += c;
  }
  if (lineEndsRight != nullptr && rewritten != raw) *lineEndsRight = false;
  return text;
}

std::map<std::string, std::string> reportFigures(const std::string& log) {
  std::map<std::string, std::string> figures;
  for (const tracelog::ReportFigure& figure : tracelog::parseReport(log)) {
    figures[figure.label] = figure.value;
  }
  return figures;
}

}  // namespace velk::testing
