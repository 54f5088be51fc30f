// The built library through its exports: the log of a load and unload with exact figures, what
// each export answers, trace lines, and processes that share a log or end without unloading. A
// child process loads the library while its parent holds the log, ends without unloading it, or
// ends while its threads still work in the heap.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "library_test.h"
#include "pal/pal.h"

namespace velk::library_test {
namespace {

using testing::w;

// The up-front segment of 640 MiB plus alignment and overhead, rounded to 64 KiB, is one free
// Block but for its header and end marker: 671,154,164 bytes in the 32-bit library.
constexpr std::size_t kSegment = 0x28010000, kFresh = kSegment - 3 * sizeof(void*);

// The log, its line ends checked, cut into lines.
std::vector<std::string> logLines() {
  bool lineEndsRight = false;
  std::istringstream in(testing::readLog(&lineEndsRight));
  EXPECT_TRUE(lineEndsRight) << "lines must end as the system writes text";
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(LibraryTest, LogOfALoadAndUnload) {
  const struct {
    bool holdOne;  // MemAlloc(100), held at unload
    std::size_t totalAlloc, peakAlloc, totalFree;
  } cases[] = {{false, 0, 0, kFresh}, {true, w(100, 104), w(108, 120), kFresh - w(116, 120)}};
  for (const auto& c : cases) {
    const std::size_t before = mappedBytes();
    {
      host::AllocatorLibrary library(VELK_PRODUCT_LIBRARY);
      ASSERT_TRUE(library.loaded()) << library.error();
      EXPECT_GE(mappedBytes() - before, kSegment) << "no up-front segment";
      EXPECT_TRUE(!c.holdOne || library.exports().memAlloc(100) != nullptr);
    }
    // The library gives its segments back only when no other thread could still use them.
    if (kernelThreads() == 1) {
      EXPECT_LT(mappedBytes(), before + 64 * kMiB) << "segments outlive the library";
    }
    char expected[1024];
    std::snprintf(expected, sizeof expected,
                  "Velk allocator loaded\nPre-allocated 640M VA segment, result = 1\n"
                  "shutting down Velk allocator\nHEAP STATS:\n-----------\n"
                  "total size        : %zu\ntotal alloc       : %zu\npeak alloc (+bkpg): %zu\n"
                  "max alloc blk size: %zu\nfragmentation     : 0.00%%\ntotal free        : %zu\n"
                  "alloc blocks      : %d\nfree blocks       : 1\nmax alloc         : %zu\n"
                  "max free          : %zu\nlargest free chain: 1\nnum segments      : 1\n"
                  "num allocs        : %d\nnum frees         : 0\nslow bucket       : 0\n\n",
                  kSegment, c.totalAlloc, c.peakAlloc, c.totalAlloc, c.totalFree, c.holdOne,
                  c.totalAlloc, c.totalFree, c.holdOne);
    bool lineEndsRight = false;
    EXPECT_EQ(testing::readLog(&lineEndsRight), expected);
    EXPECT_TRUE(lineEndsRight) << "lines must end as the system writes text";
  }
}

// The traced build: one line for every call, from the calling thread, pointers printed as the
// runtime library prints them. (The stress of the exports checks each payload's alignment and
// size against its request.)
TEST_F(LibraryTest, TracedBuildWritesOneLinePerCall) {
  std::vector<std::string> expected = {"Velk allocator loaded",
                                       "Pre-allocated 640M VA segment, result = 1"};
  auto line = [&](std::uint32_t thread, const char* format, auto... values) {
    char text[160];
    const int prefix = std::snprintf(text, sizeof text, "[%08x]: ", static_cast<unsigned>(thread));
    std::snprintf(text + prefix, sizeof text - static_cast<std::size_t>(prefix), format, values...);
    expected.emplace_back(text);
  };
  const std::uint32_t mine = pal::currentThreadId();
  {
    host::AllocatorLibrary library(VELK_TRACED_LIBRARY);
    ASSERT_TRUE(library.loaded()) << library.error();
    const host::AllocatorExports& heap = library.exports();
    void* payload = heap.memAlloc(100);
    line(mine, "allocated 100 bytes: %p", payload);
    const std::int32_t size = heap.memSize(payload);
    EXPECT_EQ(size, static_cast<std::int32_t>(w(100, 104)));  // the request rounded to a unit
    line(mine, "memsize for %p returns %d", payload, size);
    heap.memFree(payload);
    line(mine, "freeing: %p", payload);
    heap.memFlushCache(3);
    line(mine, "%s", "flushcache with 3");
    heap.memFlushCacheAll();
    line(mine, "%s", "flushcacheall");
    heap.memTotalReserved();
    heap.memTotalCommitted();
    std::thread([&] {
      line(pal::currentThreadId(), "allocated 8 bytes: %p", heap.memAlloc(8));
    }).join();
    line(mine, "allocated %d bytes: %p", static_cast<int>(0xFFF00001u), heap.memAlloc(0xFFF00001u));
  }
  expected.emplace_back("shutting down Velk allocator");
  std::vector<std::string> found = logLines();
  ASSERT_EQ(found.size(), expected.size() + 18);
  found.resize(expected.size());
  EXPECT_EQ(found, expected);
}

// A second process in the same directory runs without the log the first holds, and leaves it
// alone; a process that ends without unloading still gets its report written.
TEST_F(LibraryTest, OtherProcessesAndTheLog) {
  {
    host::AllocatorLibrary library(VELK_PRODUCT_LIBRARY);
    ASSERT_TRUE(library.loaded()) << library.error();
    EXPECT_EQ(runChild("second-load", VELK_PRODUCT_LIBRARY), 0)
        << "10 no load, 11 no allocation, 12 descriptor left open, 13 segments made wrongly";
  }
  std::vector<std::string> found = logLines();
  ASSERT_EQ(found.size(), 21u);
  EXPECT_EQ(found[0], "Velk allocator loaded");
  EXPECT_EQ(testing::figure(testing::readLog(), "num allocs"), "0");

  ASSERT_EQ(runChild("exit-without-unload", VELK_PRODUCT_LIBRARY), 0);
  found = logLines();
  ASSERT_EQ(found.size(), 21u);
  EXPECT_EQ(found[2], "shutting down Velk allocator");
  EXPECT_EQ(found[20], "");
  EXPECT_EQ(testing::figure(testing::readLog(), "alloc blocks"), "1");
}

// Loads the library, starts two threads that never stop running the operation interpreter through
// its exports, and returns from main: the process ends with them still in the heap. The host's
// own teardown, registered before the library's and so run after it, takes a few milliseconds, as
// writing out a file would.
int exitWhileBusy(const std::string& path) {
  std::atexit([] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); });
  static const host::AllocatorLibrary* library = new host::AllocatorLibrary(path);  // kept loaded
  static const std::atomic<bool> never{false};
  if (!library->loaded()) return 10;
  for (const std::uint64_t seed : {1u, 2u}) {
    std::thread([seed] {
      testing::runShared({nullptr, nullptr, &library->exports()}, seed, SIZE_MAX, never);
    }).detach();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return 0;
}

// Exit codes tell the parent which expectation failed.
int childMain(const std::string& mode, const std::string& path) {
  if (mode == "exit-while-busy") return exitWhileBusy(path);
  const std::size_t mapped = mappedBytes();
  const std::size_t descriptors = openDescriptors();
  host::AllocatorLibrary library(path);
  if (!library.loaded()) return 10;
  void* payload = library.exports().memAlloc(100);
  if (payload == nullptr) return 11;
  if (mode == "exit-without-unload") std::exit(0);
  // The log is the parent's: no log, no up-front segment, and no descriptor left open.
  if (openDescriptors() != descriptors) return 12;
  const std::size_t grown = mappedBytes() - mapped;
  if (grown < 16 * kMiB || grown >= 256 * kMiB) return 13;
  library.exports().memFree(payload);
  return 0;
}

// A host with the two commonest bugs: copies that run 1 to 16 bytes past the size they asked for,
// and writes of a few bytes into a payload just freed, any byte values, between ordinary calls.
// The heap survives, every payload keeps what the host wrote into it (where the stray bytes
// landed in one, those), sizes stay right, the log names what was found, and once the host has
// freed everything the report shows the up-front segment as one free Block again.
TEST_F(LibraryTest, StrayWritesArePutRightAndLogged) {
  const unsigned seed = static_cast<unsigned>(std::random_device{}());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const auto below = [&](std::size_t bound) { return static_cast<std::size_t>(random() % bound); };
  std::size_t allocations = 0, strayWrites = 0;
  {
    host::AllocatorLibrary library(VELK_PRODUCT_LIBRARY);
    ASSERT_TRUE(library.loaded()) << library.error();
    const host::AllocatorExports& heap = library.exports();
    std::map<unsigned char*, std::vector<unsigned char>> live;  // payload -> what it holds
    const auto anyLive = [&] {
      return std::next(live.begin(), static_cast<std::ptrdiff_t>(below(live.size())));
    };
    // Stray bytes land in any live payload they reach. A host's bugs write what its variables
    // hold: random bytes, or, repeated, the address of a live payload (a pointer copied one
    // field too far), a small length, or zeros.
    const auto stray = [&](unsigned char* at, std::size_t count) {
      const std::size_t pattern = live.empty() ? 0 : below(4);
      std::uintptr_t word = 0;
      if (pattern == 1) {
        word = reinterpret_cast<std::uintptr_t>(anyLive()->first);
      } else if (pattern == 2) {
        word = below(4096);
      }
      for (unsigned char* byte = at; byte < at + count; ++byte) {
        const std::size_t shift = 8 * (static_cast<std::size_t>(byte - at) % sizeof word);
        *byte = static_cast<unsigned char>(pattern == 0 ? random() : word >> shift);
        const auto holder = live.upper_bound(byte);
        if (holder == live.begin()) continue;
        auto& [start, bytes] = *std::prev(holder);
        if (byte < start + bytes.size()) bytes[static_cast<std::size_t>(byte - start)] = *byte;
      }
      ++strayWrites;
    };
    for (std::size_t step = 0; step < 4000; ++step) {
      const std::size_t choice = below(10);
      if (live.empty() || (choice < 4 && live.size() < 300)) {
        const std::size_t size = below(8) == 0 ? below(70000) : 1 + below(600);
        auto* payload =
            static_cast<unsigned char*>(heap.memAlloc(static_cast<std::uint32_t>(size)));
        ASSERT_NE(payload, nullptr);
        ++allocations;
        std::vector<unsigned char> bytes(size);
        for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random());
        std::memcpy(payload, bytes.data(), size);
        ASSERT_TRUE(live.emplace(payload, std::move(bytes)).second) << "a live payload handed out";
        continue;
      }
      const auto picked = anyLive();
      unsigned char* payload = picked->first;
      const std::size_t size = picked->second.size();
      ASSERT_EQ(std::memcmp(payload, picked->second.data(), size), 0) << "a payload changed";
      ASSERT_GE(static_cast<std::size_t>(heap.memSize(payload)), size);
      if (choice < 7) {
        stray(payload + size, 1 + below(16));  // past the end
      } else {
        heap.memFree(payload);
        live.erase(picked);
        if (choice == 9) {
          // Into the first bytes it held: a payload of 0 bytes had a unit all the same.
          const std::size_t at = size == 0 ? 0 : below(std::min<std::size_t>(size, 32));
          stray(payload + at, 1 + below(16));
        }
      }
    }
    for (const auto& [payload, bytes] : live) {
      ASSERT_EQ(std::memcmp(payload, bytes.data(), bytes.size()), 0) << "a payload changed";
      heap.memFree(payload);
    }
  }
  const std::vector<std::string> lines = logLines();
  std::size_t damageLines = 0;
  for (const std::string& line : lines) damageLines += line.starts_with("heap damage: ");
  ASSERT_GE(damageLines, 2u) << strayWrites << " stray writes, and not one found";
  EXPECT_LE(damageLines, 101u);  // the first hundred findings, then a count of them all
  const auto total = std::find(lines.begin(), lines.end(), "shutting down Velk allocator");
  ASSERT_NE(total, lines.end());
  EXPECT_TRUE(std::prev(total)->starts_with("heap damage: ") &&
              std::prev(total)->find(" found and put right in all, ") != std::string::npos)
      << "no count of the damage before the unload line";
  // The report, of the heap as it was put right: the up-front segment one free Block again.
  const std::string log = testing::readLog(nullptr);
  for (const std::string& figure :
       {std::string("total alloc       : 0\n"), std::string("alloc blocks      : 0\n"),
        std::string("free blocks       : 1\n"), std::string("num segments      : 1\n"),
        "total free        : " + std::to_string(kFresh) + "\n",
        "num allocs        : " + std::to_string(allocations) + "\n",
        "num frees         : " + std::to_string(allocations) + "\n"}) {
    EXPECT_NE(log.find(figure), std::string::npos) << "the report lacks " << figure << log;
  }
}

}  // namespace

}  // namespace velk::library_test

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--velk-child") == 0) {
    return velk::library_test::childMain(argv[2], argv[3]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
