#include "tests/stress/log_report.h"

#include <chrono>
#include <fstream>

namespace velk::stress {

// Report lines are "label<padding>: value"; the labels are those the library writes.
ReportFigures readReport(const std::filesystem::path& log) {
  ReportFigures figures;
  std::ifstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string label = line.substr(0, colon);
    while (!label.empty() && label.back() == ' ') label.pop_back();
    const std::uint64_t value = std::strtoull(line.c_str() + colon + 1, nullptr, 10);
    if (label == "total size") figures.totalSize = value;
    if (label == "alloc blocks") figures.allocBlocks = value;
    if (label == "free blocks") figures.freeBlocks = value;
    if (label == "num segments") figures.numSegments = value;
    if (label == "num allocs") figures.numAllocs = value;
    if (label == "num frees") {
      figures.numFrees = value;
      figures.found = true;
    }
  }
  return figures;
}

ScratchDirectory::ScratchDirectory(const std::string& tag)
    : previous_(std::filesystem::current_path()) {
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  path_ = std::filesystem::temp_directory_path() / ("velk-" + tag + "-" + std::to_string(stamp));
  std::filesystem::create_directories(path_);
  std::filesystem::current_path(path_);
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace velk::stress
