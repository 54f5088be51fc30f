#include "tests/support/library_log.h"

#include <chrono>
#include <fstream>
#include <iterator>

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
  const std::string raw{std::istreambuf_iterator<char>(in), {}};
  std::string text, written;
  for (const char c : raw) {
    if (c == '\r') continue;
    text += c;
#ifdef _WIN32
    if (c == '\n') written += '\r';
#endif
    written += c;
  }
  if (lineEndsRight != nullptr) *lineEndsRight = written == raw;
  return text;
}

std::string figure(const std::string& log, const char* label) {
  const tracelog::TraceLog parsed = tracelog::parseLog(log);
  const std::string* value = parsed.figure(label);
  return value != nullptr ? *value : std::string();
}

}  // namespace velk::testing
