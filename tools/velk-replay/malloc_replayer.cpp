// velk-replay-malloc CALLFILE: replays a call sequence written by velk-replay --against through
// malloc and free, writing one byte in every page of each payload as a program that fills its
// buffers would, and prints "SECONDS PEAK_RSS_KIB". Run with LD_PRELOAD to put another allocator
// in front. Its own buffers come from mmap, so that the peak RSS is the allocator's doing.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "call_file.h"

namespace {

using velk::replay::CallFileHeader;
using velk::replay::CallRecord;

constexpr std::size_t kPage = 4096;

void touch(void* payload, std::uint32_t size) {
  auto* bytes = static_cast<unsigned char*>(payload);
  for (std::size_t at = 0; at < size; at += kPage) bytes[at] = static_cast<unsigned char>(at);
  if (size != 0) bytes[size - 1] = 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: velk-replay-malloc CALLFILE (written by velk-replay --against)\n");
    return 2;
  }
  const int file = open(argv[1], O_RDONLY);
  struct stat status {};
  if (file < 0 || fstat(file, &status) != 0 ||
      static_cast<std::size_t>(status.st_size) < sizeof(CallFileHeader)) {
    std::fprintf(stderr, "velk-replay-malloc: cannot read %s\n", argv[1]);
    return 1;
  }
  const std::size_t fileSize = static_cast<std::size_t>(status.st_size);
  void* mapped = mmap(nullptr, fileSize, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file, 0);
  close(file);
  if (mapped == MAP_FAILED) return 1;
  CallFileHeader header;
  std::memcpy(&header, mapped, sizeof header);
  const auto* records =
      reinterpret_cast<const CallRecord*>(static_cast<const char*>(mapped) + sizeof header);
  if (std::memcmp(header.magic, velk::replay::kCallFileMagic, sizeof header.magic) != 0 ||
      (fileSize - sizeof header) / sizeof(CallRecord) < header.recordCount) {
    std::fprintf(stderr, "velk-replay-malloc: %s is not a call file\n", argv[1]);
    return 1;
  }
  const std::size_t slotBytes = std::size_t{header.slotCount} * sizeof(void*) + 1;
  void* slotMapping =
      mmap(nullptr, slotBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (slotMapping == MAP_FAILED) return 1;
  void** payloads = static_cast<void**>(slotMapping);

  std::uint64_t failed = 0;
  const auto started = std::chrono::steady_clock::now();
  for (std::uint32_t i = 0; i < header.recordCount; ++i) {
    const CallRecord& record = records[i];
    if (record.slot >= header.slotCount) return 1;
    if (record.size == velk::replay::kFreeRecord) {
      std::free(payloads[record.slot]);
      payloads[record.slot] = nullptr;
      continue;
    }
    void* payload = std::malloc(record.size);
    if (payload == nullptr && record.size != 0) ++failed;
    if (payload != nullptr) touch(payload, record.size);
    payloads[record.slot] = payload;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%.6f %ld %llu\n", seconds, usage.ru_maxrss, static_cast<unsigned long long>(failed));
  return 0;
}
