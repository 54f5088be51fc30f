// Running the built library as a host does, in a directory of its own, and reading the log it
// leaves there: the black-box tests and the stress programs share this.
#pragma once

#include <filesystem>
#include <string>

namespace velk::testing {

inline constexpr const char* kLogName = "VelkAllocator.log";

// A fresh directory under the system's temporary directory, current while the object lives.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& tag);
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

// The log in the current directory, with line ends folded to "\n"; empty when there is none.
// `lineEndsRight` turns false when a line ends otherwise than the system writes text ("\r\n"
// under Windows, "\n" elsewhere).
std::string readLog(bool* lineEndsRight = nullptr);

// The figure of the report in `log` labelled `label` ("num allocs": "12"); empty if there is none.
std::string figure(const std::string& log, const char* label);

}  // namespace velk::testing
