// Reading the library's log after an unload, and running a host in a directory of its own so that
// the log it reads is the one its own load wrote.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace velk::stress {

inline constexpr const char* kLogName = "VelkAllocator.log";

// The figures of the report block in a log; `found` is false when the log has no report.
struct ReportFigures {
  bool found = false;
  std::uint64_t totalSize = 0;
  std::uint64_t allocBlocks = 0;
  std::uint64_t freeBlocks = 0;
  std::uint64_t numSegments = 0;
  std::uint64_t numAllocs = 0;
  std::uint64_t numFrees = 0;
};

ReportFigures readReport(const std::filesystem::path& log);

// A fresh directory under the system's temporary directory, made current for the object's
// life and removed afterwards.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& tag);
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

}  // namespace velk::stress
