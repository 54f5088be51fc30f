// Running the built tools from a test: a command line in a fresh directory of its own, its exit
// code and everything it printed.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace velk::toolstest {

struct ToolRun {
  int status = -1;
  std::string output;  // stdout, then stderr
};

// A directory under the system's temporary directory, removed with the object.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velk-tools-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void writeText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Runs `command` through the shell in `folder`.
inline ToolRun runIn(const std::filesystem::path& folder, const std::string& command) {
  const std::filesystem::path out = folder / "run.out";
  const std::filesystem::path err = folder / "run.err";
  const std::string line = "cd '" + folder.string() + "' && " + command + " > '" + out.string() +
                           "' 2> '" + err.string() + "'";
  ToolRun run;
  const int raw = std::system(line.c_str());
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.output = readText(out) + readText(err);
  return run;
}

}  // namespace velk::toolstest
