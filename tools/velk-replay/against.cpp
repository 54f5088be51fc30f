#include "against.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <optional>

#include "call_file.h"

namespace velk::replay {
namespace {

struct Peer {
  const char* name;
  const char* library;  // file name in the system's library folder; empty for the C library
};

constexpr Peer kPeers[] = {
    {"glibc", ""},
    {"jemalloc", "libjemalloc.so.2"},
    {"mimalloc", "libmimalloc.so.2"},
    {"tcmalloc", "libtcmalloc_minimal.so.4"},
    {"tbbmalloc", "libtbbmalloc_proxy.so.2"},
};

const char* const kLibraryFolders[] = {
    sizeof(void*) == 8 ? "/usr/lib/x86_64-linux-gnu" : "/usr/lib/i386-linux-gnu",
    "/usr/lib",
    "/usr/local/lib",
};

std::filesystem::path selfFolder() {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
}

std::optional<std::filesystem::path> firstExisting(
    const std::vector<std::filesystem::path>& paths) {
  for (const std::filesystem::path& path : paths) {
    if (std::filesystem::exists(path)) return path;
  }
  return std::nullopt;
}

// Where a peer's library lies, or the path itself; empty for glibc; nullopt when not found.
std::optional<std::string> libraryOf(const std::string& allocator) {
  for (const Peer& peer : kPeers) {
    if (allocator != peer.name) continue;
    if (*peer.library == '\0') return std::string();
    std::vector<std::filesystem::path> paths;
    for (const char* folder : kLibraryFolders)
      paths.push_back(std::filesystem::path(folder) / peer.library);
    const auto found = firstExisting(paths);
    if (!found) return std::nullopt;
    return found->string();
  }
  if (!std::filesystem::exists(allocator)) return std::nullopt;
  return std::filesystem::absolute(allocator).string();
}

// The malloc shim of our engine: in the build tree beside velk-replay's folder, or installed in
// the library folder of velk-replay's prefix.
std::optional<std::filesystem::path> ourShim() {
  const std::filesystem::path self = selfFolder();
  std::vector<std::filesystem::path> paths{self.parent_path() / "malloc-shim" / "libvelkmalloc.so"};
  for (const char* folder :
       {"lib", "lib64", sizeof(void*) == 8 ? "lib/x86_64-linux-gnu" : "lib/i386-linux-gnu"}) {
    paths.push_back(self.parent_path() / folder / "libvelkmalloc.so.1");
  }
  return firstExisting(paths);
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool writeCallFile(const tracelog::TraceLog& log, const CallSequence& sequence,
                   const std::string& path, std::uint32_t& records) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  std::vector<CallRecord> body;
  body.reserve(sequence.steps.size());
  for (const Step& step : sequence.steps) {
    if (step.slot == kNoSlot || step.kind == StepKind::kSize) continue;
    body.push_back({step.slot, step.kind == StepKind::kFree ? kFreeRecord : step.value});
  }
  (void)log;
  CallFileHeader header{};
  for (std::size_t i = 0; i < sizeof header.magic; ++i) header.magic[i] = kCallFileMagic[i];
  header.slotCount = sequence.slotCount;
  header.recordCount = static_cast<std::uint32_t>(body.size());
  records = header.recordCount;
  const bool written =
      std::fwrite(&header, sizeof header, 1, file) == 1 &&
      std::fwrite(body.data(), sizeof(CallRecord), body.size(), file) == body.size();
  return std::fclose(file) == 0 && written;
}

struct Measurement {
  double seconds = 0;
  long peakKiB = 0;
  unsigned long long failed = 0;
};

std::optional<Measurement> measure(const std::filesystem::path& replayer,
                                   const std::string& callFile, const std::string& preload) {
  const std::string command = (preload.empty() ? "" : "LD_PRELOAD=" + quoted(preload) + " ") +
                              quoted(replayer.string()) + " " + quoted(callFile);
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  Measurement measurement;
  const int read = std::fscanf(pipe, "%lf %ld %llu", &measurement.seconds, &measurement.peakKiB,
                               &measurement.failed);
  if (pclose(pipe) != 0 || read != 3) return std::nullopt;
  return measurement;
}

}  // namespace

CLI::Validator againstValidator() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        for (const Peer& peer : kPeers) {
          if (value == peer.name) return {};
        }
        if (value.find(".so") != std::string::npos && std::filesystem::exists(value)) return {};
        return value +
               " is none of glibc, jemalloc, mimalloc, tcmalloc, tbbmalloc, nor an "
               "existing PATH.so";
      },
      "glibc|jemalloc|mimalloc|tcmalloc|tbbmalloc|PATH.so");
}

bool runAgainst(const tracelog::TraceLog& log, const CallSequence& sequence,
                const std::vector<std::string>& allocators, double engineSeconds) {
  const std::filesystem::path replayer = selfFolder() / "velk-replay-malloc";
  if (!std::filesystem::exists(replayer)) {
    std::fprintf(stderr, "velk-replay: %s is missing: build it with velk-replay\n",
                 replayer.c_str());
    return false;
  }
  std::string callFile = (std::filesystem::temp_directory_path() / "velk-calls-XXXXXX").string();
  const int descriptor = mkstemp(callFile.data());
  if (descriptor < 0) return false;
  close(descriptor);
  std::uint32_t records = 0;
  if (!writeCallFile(log, sequence, callFile, records)) {
    std::fprintf(stderr, "velk-replay: cannot write the call file %s\n", callFile.c_str());
    std::filesystem::remove(callFile);
    return false;
  }

  std::vector<std::pair<std::string, std::string>> runs;  // label, preload
  if (const auto shim = ourShim()) {
    runs.emplace_back("velk (malloc shim)", shim->string());
  } else {
    std::printf(
        "note: libvelkmalloc.so not found beside velk-replay; velk is shown by its "
        "engine replay only\n");
  }
  bool complete = true;
  for (const std::string& allocator : allocators) {
    const std::optional<std::string> library = libraryOf(allocator);
    if (!library) {
      std::fprintf(stderr, "velk-replay: %s is not installed for %zu-bit programs\n",
                   allocator.c_str(), sizeof(void*) * 8);
      complete = false;
      continue;
    }
    runs.emplace_back(allocator, *library);
  }

  std::printf(
      "\nthe same %u mallocs and frees on one thread, each payload written once per "
      "page (velk-replay-malloc under LD_PRELOAD):\n",
      records);
  std::printf("  %-22s %10s %14s\n", "allocator", "time (s)", "peak RSS (MiB)");
  std::printf("  %-22s %10.3f %14s\n", "velk engine (replay)", engineSeconds, "-");
  for (const auto& [label, preload] : runs) {
    const std::optional<Measurement> measurement = measure(replayer, callFile, preload);
    if (!measurement) {
      std::printf("  %-22s %10s %14s\n", label.c_str(), "failed", "-");
      complete = false;
      continue;
    }
    std::printf("  %-22s %10.3f %14.1f%s\n", label.c_str(), measurement->seconds,
                static_cast<double>(measurement->peakKiB) / 1024.0,
                measurement->failed != 0 ? "  (some mallocs returned null)" : "");
  }
  std::filesystem::remove(callFile);
  return complete;
}

}  // namespace velk::replay
