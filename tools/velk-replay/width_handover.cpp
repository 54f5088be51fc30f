#include "width_handover.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace velk::replay {
namespace {

constexpr const char* kHandedOver = "VELK_REPLAY_HANDED_OVER";
std::vector<char*> commandLine;

std::vector<std::filesystem::path> candidates(unsigned bits) {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  std::vector<std::filesystem::path> paths{self.parent_path() /
                                           ("velk-replay" + std::to_string(bits))};
  // build/<preset>/tools/velk-replay/velk-replay: the same place in the other preset's tree.
  const std::filesystem::path preset = self.parent_path().parent_path().parent_path();
  const std::string other = bits == 32 ? "linux32" : "linux64";
  paths.push_back(preset.parent_path() / other / "tools" / "velk-replay" / "velk-replay");
  return paths;
}

}  // namespace

void rememberCommandLine(int argc, char** argv) {
  commandLine.assign(argv, argv + argc);
  commandLine.push_back(nullptr);
}

std::optional<int> handOverToWidth(unsigned bits) {
  if (std::getenv(kHandedOver) != nullptr || commandLine.empty()) return std::nullopt;
  for (const std::filesystem::path& path : candidates(bits)) {
    if (access(path.c_str(), X_OK) != 0) continue;
    std::fflush(stdout);
    setenv(kHandedOver, "1", 1);
    execv(path.c_str(), commandLine.data());
    unsetenv(kHandedOver);
  }
  return std::nullopt;
}

std::string otherWidthCandidates(unsigned bits) {
  std::string text;
  for (const std::filesystem::path& path : candidates(bits)) {
    text += (text.empty() ? "" : ", ") + path.string();
  }
  return text.empty() ? "nowhere to look" : text;
}

}  // namespace velk::replay
