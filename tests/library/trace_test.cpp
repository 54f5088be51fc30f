// The traced build: one line for every call, from the calling thread, outside the heap's lock.
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <thread>

#include "allocator_library.h"
#include "test_support.h"

namespace velk::library_test {
namespace {

class TraceTest : public LibraryTest {};

// A request of 100 bytes holds 100 rounded to the heap's unit.
constexpr int kHeld100 = static_cast<int>((100 + kUnit - 1) / kUnit * kUnit);

std::string threadPrefix(std::uint32_t thread) {
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "[%08x]: ", static_cast<unsigned>(thread));
  return prefix;
}

// "%p" is printed as the runtime library prints pointers; compare the value, not the digits.
std::uintptr_t pointerIn(const std::string& text) {
  return static_cast<std::uintptr_t>(std::strtoull(text.c_str(), nullptr, 16));
}

TEST_F(TraceTest, EveryCallWritesOneLineWithTheCallersThread) {
  void* payload = nullptr;
  void* otherPayload = nullptr;
  std::uint32_t otherThread = 0;
  {
    host::AllocatorLibrary library(tracedLibraryPath());
    ASSERT_TRUE(library.loaded()) << library.error();
    const host::AllocatorExports& heap = library.exports();
    payload = heap.memAlloc(100);
    EXPECT_EQ(heap.memSize(payload), kHeld100);
    heap.memFree(payload);
    EXPECT_EQ(heap.memFlushCache(3), 0);
    heap.memFlushCacheAll();
    EXPECT_EQ(heap.memTotalReserved(), 0u);
    EXPECT_EQ(heap.memTotalCommitted(), 0u);
    std::thread other([&] {
      otherThread = currentThreadId();
      otherPayload = heap.memAlloc(8);
    });
    other.join();
  }
  const std::vector<std::string> lines = splitLines(logText());
  ASSERT_EQ(lines.size(), 2u + 6u + 1u + 18u) << logText();
  const std::string mine = threadPrefix(currentThreadId());
  const std::string theirs = threadPrefix(otherThread);
  const std::regex allocated(R"(allocated (\d+) bytes: (\S+))");
  const std::regex memsize(R"(memsize for (\S+) returns (-?\d+))");
  const std::regex freeing(R"(freeing: (\S+))");
  std::smatch match;

  ASSERT_EQ(lines[2].rfind(mine, 0), 0u) << lines[2];
  std::string text = lines[2].substr(mine.size());
  ASSERT_TRUE(std::regex_match(text, match, allocated)) << text;
  EXPECT_EQ(match[1], "100");
  EXPECT_EQ(pointerIn(match[2]), reinterpret_cast<std::uintptr_t>(payload));

  text = lines[3].substr(mine.size());
  ASSERT_TRUE(std::regex_match(text, match, memsize)) << lines[3];
  EXPECT_EQ(pointerIn(match[1]), reinterpret_cast<std::uintptr_t>(payload));
  EXPECT_EQ(match[2], std::to_string(kHeld100));

  text = lines[4].substr(mine.size());
  ASSERT_TRUE(std::regex_match(text, match, freeing)) << lines[4];
  EXPECT_EQ(pointerIn(match[1]), reinterpret_cast<std::uintptr_t>(payload));

  EXPECT_EQ(lines[5], mine + "flushcache with 3");
  EXPECT_EQ(lines[6], mine + "flushcacheall");

  ASSERT_EQ(lines[7].rfind(theirs, 0), 0u) << lines[7];
  text = lines[7].substr(theirs.size());
  ASSERT_TRUE(std::regex_match(text, match, allocated)) << text;
  EXPECT_EQ(match[1], "8");
  EXPECT_EQ(pointerIn(match[2]), reinterpret_cast<std::uintptr_t>(otherPayload));

  EXPECT_EQ(lines[8], "shutting down Velk allocator");
}

TEST_F(TraceTest, OversizedRequestTracesANullResult) {
  {
    host::AllocatorLibrary library(tracedLibraryPath());
    ASSERT_TRUE(library.loaded()) << library.error();
    EXPECT_EQ(library.exports().memAlloc(0xFFF00001u), nullptr);
  }
  const std::vector<std::string> lines = splitLines(logText());
  ASSERT_GE(lines.size(), 3u);
  const std::string mine = threadPrefix(currentThreadId());
  ASSERT_EQ(lines[2].rfind(mine, 0), 0u) << lines[2];
  std::smatch match;
  const std::string text = lines[2].substr(mine.size());
  ASSERT_TRUE(std::regex_match(text, match, std::regex(R"(allocated (-?\d+) bytes: (.+))")))
      << text;
  EXPECT_EQ(match[1], std::to_string(static_cast<int>(0xFFF00001u)));
  EXPECT_EQ(pointerIn(match[2]), 0u) << "null printed as " << match[2];
}

}  // namespace
}  // namespace velk::library_test
