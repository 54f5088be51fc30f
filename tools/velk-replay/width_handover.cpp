#include "width_handover.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace velk::replay {
namespace {

constexpr const char* kHandedOver = "VELK_REPLAY_HANDED_OVER";
constexpr unsigned kOwnBits = sizeof(void*) * 8;
std::vector<char*> commandLine;
std::string execFailure;  // the program that was found but would not run, and why

std::filesystem::path self() {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/self/exe", error);
}

std::string name(unsigned bits) {
  return "velk-replay" + std::to_string(bits);
}

std::vector<std::filesystem::path> besideSelf(unsigned bits) {
  const std::filesystem::path program = self();
  if (program.empty()) return {};
  std::vector<std::filesystem::path> paths{program.parent_path() / name(bits)};
  // The twin of another width, velk-replay32 beside a 64-bit velk-replay, finds that one by its
  // plain name.
  if (program.filename() == name(kOwnBits)) paths.push_back(program.parent_path() / "velk-replay");
  return paths;
}

// build/<preset>/tools/velk-replay/velk-replay: the same place in the tree of the other width's
// preset; nothing when this program does not run from a build tree.
std::optional<std::filesystem::path> inBuildTree(unsigned bits) {
  const std::filesystem::path folder = self().parent_path();
  if (folder.filename() != "velk-replay" || folder.parent_path().filename() != "tools") {
    return std::nullopt;
  }
  const std::filesystem::path presets = folder.parent_path().parent_path().parent_path();
  return presets / (bits == 32 ? "linux32" : "linux64") / "tools" / "velk-replay" / "velk-replay";
}

}  // namespace

void rememberCommandLine(int argc, char** argv) {
  commandLine.assign(argv, argv + argc);
  commandLine.push_back(nullptr);
}

std::optional<int> handOverToWidth(unsigned bits) {
  if (std::getenv(kHandedOver) != nullptr || commandLine.empty()) return std::nullopt;
  std::vector<std::filesystem::path> paths = besideSelf(bits);
  if (const auto built = inBuildTree(bits)) paths.push_back(*built);
  for (const std::filesystem::path& path : paths) {
    if (access(path.c_str(), X_OK) != 0) continue;
    std::fflush(stdout);
    setenv(kHandedOver, "1", 1);
    execv(path.c_str(), commandLine.data());
    execFailure = path.string() + " would not run: " + std::strerror(errno);
    unsetenv(kHandedOver);
  }
  return std::nullopt;
}

std::string otherWidthMissing(unsigned bits) {
  if (!execFailure.empty()) return execFailure;
  const std::filesystem::path program = self();
  std::string text =
      "no " + name(bits) + " beside this program in " + program.parent_path().string();
  if (const auto built = inBuildTree(bits)) {
    text += ", and no " + std::string(bits == 32 ? "linux32" : "linux64") + " build at " +
            built->string();
  }
  return text;
}

}  // namespace velk::replay
