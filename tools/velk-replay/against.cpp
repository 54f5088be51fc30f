#include "against.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

// The system's library folder of programs of `bits`.
const char* multiarchFolder(unsigned bits) {
  return bits == 32 ? "i386-linux-gnu" : "x86_64-linux-gnu";
}

std::filesystem::path selfFolder() {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
}

bool pathExists(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

std::optional<std::filesystem::path> firstExisting(
    const std::vector<std::filesystem::path>& paths) {
  for (const std::filesystem::path& path : paths) {
    if (pathExists(path)) return path;
  }
  return std::nullopt;
}

// 32 or 64 from a program's ELF header; 0 when it cannot be read as one. The replayer may be of
// another width than velk-replay: the 32-bit velk-replay ships beside the 64-bit programs.
unsigned elfBits(const std::filesystem::path& program) {
  unsigned char ident[5] = {};
  std::FILE* file = std::fopen(program.c_str(), "rb");
  if (file == nullptr) return 0;
  const bool read = std::fread(ident, 1, sizeof ident, file) == sizeof ident;
  std::fclose(file);
  if (!read || ident[0] != 0x7F || ident[1] != 'E' || ident[2] != 'L' || ident[3] != 'F') return 0;
  return ident[4] == 1 ? 32 : ident[4] == 2 ? 64 : 0;
}

// Where a peer's library for programs of `bits` lies, or the path itself; empty for glibc;
// nullopt when not found.
std::optional<std::string> libraryOf(const std::string& allocator, unsigned bits) {
  for (const Peer& peer : kPeers) {
    if (allocator != peer.name) continue;
    if (*peer.library == '\0') return std::string();
    const std::filesystem::path name = peer.library;
    const auto found = firstExisting(
        {"/usr/lib" / (multiarchFolder(bits) / name), "/usr/lib" / name, "/usr/local/lib" / name});
    if (!found) return std::nullopt;
    return found->string();
  }
  std::error_code error;
  const std::filesystem::path path = std::filesystem::absolute(allocator, error);
  if (error || !pathExists(path)) return std::nullopt;
  return path.string();
}

// The malloc shim of our engine, of the replayer's width `bits`: in the build tree beside
// velk-replay's folder, or installed in the library folder of velk-replay's prefix (a package
// carries the shim and the replayer of its own width).
std::optional<std::filesystem::path> ourShim(unsigned bits) {
  const std::filesystem::path self = selfFolder();
  std::vector<std::filesystem::path> paths{self.parent_path().parent_path() / "malloc" / "libvelkmalloc.so"};
  const std::string multiarch = std::string("lib/") + multiarchFolder(bits);
  for (const std::string& folder : {std::string("lib"), std::string("lib64"), multiarch}) {
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
        if (value.find(".so") != std::string::npos && pathExists(value)) return {};
        return value +
               " is none of glibc, jemalloc, mimalloc, tcmalloc, tbbmalloc, nor an "
               "existing PATH.so";
      },
      "glibc|jemalloc|mimalloc|tcmalloc|tbbmalloc|PATH.so");
}

bool runAgainst(const tracelog::TraceLog& log, const CallSequence& sequence,
                const std::vector<std::string>& allocators, double engineSeconds) {
  const std::filesystem::path replayer = selfFolder() / "velk-replay-malloc";
  if (!pathExists(replayer)) {
    std::fprintf(stderr, "velk-replay: %s is missing: build it with velk-replay\n",
                 replayer.c_str());
    return false;
  }
  const unsigned bits =
      elfBits(replayer) != 0 ? elfBits(replayer) : static_cast<unsigned>(sizeof(void*) * 8);
  std::error_code noTemporaryFolder;
  std::filesystem::path folder = std::filesystem::temp_directory_path(noTemporaryFolder);
  if (noTemporaryFolder) folder = "/tmp";
  std::string callFile = (folder / "velk-calls-XXXXXX").string();
  const int descriptor = mkstemp(callFile.data());
  if (descriptor < 0) {
    std::fprintf(stderr, "velk-replay: cannot make the call file %s: %s\n", callFile.c_str(),
                 std::strerror(errno));
    return false;
  }
  close(descriptor);
  std::error_code ignored;
  std::uint32_t records = 0;
  if (!writeCallFile(log, sequence, callFile, records)) {
    std::fprintf(stderr, "velk-replay: cannot write the call file %s: %s\n", callFile.c_str(),
                 std::strerror(errno));
    std::filesystem::remove(callFile, ignored);
    return false;
  }

  std::vector<std::pair<std::string, std::string>> runs;  // label, preload
  if (const auto shim = ourShim(bits)) {
    runs.emplace_back("velk (malloc shim)", shim->string());
  } else {
    std::printf(
        "note: libvelkmalloc.so not found beside velk-replay; velk is shown by its "
        "engine replay only\n");
  }
  bool complete = true;
  for (const std::string& allocator : allocators) {
    const std::optional<std::string> library = libraryOf(allocator, bits);
    if (!library) {
      std::fprintf(stderr, "velk-replay: %s is not installed for %u-bit programs\n",
                   allocator.c_str(), bits);
      complete = false;
      continue;
    }
    runs.emplace_back(allocator, *library);
  }

  std::printf(
      "\nthe same %u mallocs and frees on one thread, each payload written once per "
      "page (%u-bit velk-replay-malloc under LD_PRELOAD):\n",
      records, bits);
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
  std::filesystem::remove(callFile, ignored);
  return complete;
}

}  // namespace velk::replay
