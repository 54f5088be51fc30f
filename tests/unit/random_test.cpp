// Randomized runs against a shadow model of the live allocations: every step keeps the heap's
// invariants, live payloads never overlap and keep their contents, and alignment is honoured.
// Set VELK_SEED to replay one seed, VELK_RANDOM_OPS to change the length of a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

struct Live {
  std::size_t size;
  unsigned char pattern;
};

class ShadowRun {
 public:
  explicit ShadowRun(std::uint32_t seed) : random_(seed) {}

  // Runs `operations` random steps; returns false (after recording a failure) at the first
  // step that breaks anything.
  bool run(std::size_t operations) {
    for (step_ = 0; step_ < operations; ++step_) {
      const std::uint32_t roll = next(100);
      const bool mustFree = live_.size() > 2000 || liveBytes_ > (std::size_t{96} << 20);
      if (!mustFree && (roll < 52 || live_.empty())) {
        if (!allocateOne()) return false;
      } else if (roll < 97 || mustFree) {
        if (!freeOne()) return false;
      } else if (!freeSomethingInvalid()) {
        return false;
      }
      if (heap_.validate(collectViolation) != 0) return fail("heap invariant broken");
    }
    return freeEverything();
  }

  std::size_t step() const { return step_; }
  const std::string& failure() const { return failure_; }

 private:
  std::uint32_t next(std::uint32_t bound) {
    return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(random_);
  }

  std::size_t randomSize() {
    const std::uint32_t band = next(100);
    if (band < 60) return next(129);
    if (band < 85) return 128 + next(4096);
    if (band < 95) return 4096 + next(256 << 10);
    if (band < 99) return (256 << 10) + next(4 << 20);
    return (4 << 20) + next(36 << 20);
  }

  std::size_t randomAlign(std::size_t size) {
    if (next(10) < 7) {
      std::size_t align = 16;  // as the library derives it from the size
      while (size < align) align /= 2;
      return align;
    }
    return std::size_t{1} << next(17);
  }

  bool allocateOne() {
    const std::size_t size = randomSize();
    const std::size_t align = randomAlign(size);
    // Some segments are placed right behind the previous one, so joins happen along the way.
    if (space_.plannedPlacements() == 0 && next(4) == 0) space_.placeNextTouchingLast();
    auto* payload = static_cast<unsigned char*>(heap_.allocate(size, align));
    if (payload == nullptr) return fail("allocation failed");
    const std::uintptr_t address = addressOf(payload);
    if (address % (align < kUnit ? kUnit : align) != 0) return fail("misaligned payload");
    if (heap_.blockSize(payload) < static_cast<std::ptrdiff_t>(size)) return fail("short payload");
    auto after = live_.lower_bound(address);
    if (after != live_.end() && after->first < address + size) return fail("overlaps a later one");
    if (after != live_.begin()) {
      auto before = std::prev(after);
      if (before->first + before->second.size > address) return fail("overlaps an earlier one");
    }
    const auto pattern = static_cast<unsigned char>(next(255) + 1);
    fill(payload, size, pattern);
    live_.emplace(address, Live{size, pattern});
    order_.push_back(address);
    liveBytes_ += size;
    return true;
  }

  bool freeOne() {
    const std::size_t index = next(static_cast<std::uint32_t>(order_.size()));
    const std::uintptr_t address = order_[index];
    order_[index] = order_.back();
    order_.pop_back();
    const Live entry = live_.at(address);
    auto* payload = reinterpret_cast<unsigned char*>(address);
    if (!intact(payload, entry)) return fail("payload overwritten");
    live_.erase(address);
    liveBytes_ -= entry.size;
    const std::uint64_t frees = heap_.stats().numFrees;
    heap_.deallocate(payload);
    if (heap_.stats().numFrees != frees + 1) return fail("valid free not counted");
    recentlyFreed_ = address;
    return true;
  }

  // A pointer freed before and not handed out since, or one inside a live payload: ignored.
  bool freeSomethingInvalid() {
    std::uintptr_t address = recentlyFreed_;
    if (address == 0 || live_.count(address) != 0) {
      if (order_.empty()) return true;
      const std::uintptr_t payload = order_[next(static_cast<std::uint32_t>(order_.size()))];
      // Strictly inside that payload: past its end lies the next Block, whose payload may be live.
      const std::size_t insideUnits = (live_.at(payload).size - 1) / kUnit;
      if (insideUnits == 0) return true;
      address =
          payload +
          kUnit * (1 + next(static_cast<std::uint32_t>(std::min<std::size_t>(insideUnits, 3))));
    }
    const HeapStats before = heap_.stats();
    heap_.deallocate(reinterpret_cast<void*>(address));
    if (heap_.stats().numFrees != before.numFrees) return fail("invalid free was counted");
    return true;
  }

  bool freeEverything() {
    for (const auto& [address, entry] : live_) {
      if (!intact(reinterpret_cast<unsigned char*>(address), entry)) {
        return fail("payload overwritten");
      }
      heap_.deallocate(reinterpret_cast<void*>(address));
    }
    live_.clear();
    if (heap_.validate(collectViolation) != 0) return fail("heap invariant broken at the end");
    const HeapStats& stats = heap_.stats();
    if (stats.allocBlocks != 0 || stats.totalAlloc != 0) return fail("allocations left over");
    // Everything merged back: one free Block per segment, spanning it.
    if (stats.freeBlocks != static_cast<std::size_t>(heap_.segmentCount())) {
      return fail("free space not merged back into one Block per segment");
    }
    for (int index = 0; index < heap_.segmentCount(); ++index) {
      const Segment& segment = heap_.segment(static_cast<std::size_t>(index));
      if (segment.firstBlock()->payloadBytes() != segment.size - kHeaderSize - kUnit) {
        return fail("a segment's free Block does not span it");
      }
    }
    return true;
  }

  // Small payloads are filled whole; large ones at both ends, which is where neighbours write.
  static void fill(unsigned char* payload, std::size_t size, unsigned char pattern) {
    if (size <= 256) {
      std::memset(payload, pattern, size);
      return;
    }
    std::memset(payload, pattern, 64);
    std::memset(payload + size - 64, pattern, 64);
  }

  static bool intact(const unsigned char* payload, const Live& entry) {
    auto same = [&](std::size_t from, std::size_t count) {
      for (std::size_t index = from; index < from + count; ++index) {
        if (payload[index] != entry.pattern) return false;
      }
      return true;
    };
    if (entry.size <= 256) return same(0, entry.size);
    return same(0, 64) && same(entry.size - 64, 64);
  }

  bool fail(const char* what) {
    failure_ = what;
    failure_ += "\n" + violationLog();
    return false;
  }

  std::mt19937 random_;
  FakeAddressSpace space_;
  Heap heap_{space_};
  std::map<std::uintptr_t, Live> live_;
  std::vector<std::uintptr_t> order_;
  std::size_t liveBytes_ = 0;
  std::uintptr_t recentlyFreed_ = 0;
  std::size_t step_ = 0;
  std::string failure_;
};

std::size_t operationsPerSeed() {
  const char* configured = std::getenv("VELK_RANDOM_OPS");
  return configured != nullptr ? std::strtoul(configured, nullptr, 10) : 100000;
}

std::vector<std::uint32_t> seeds() {
  if (const char* configured = std::getenv("VELK_SEED")) {
    return {static_cast<std::uint32_t>(std::strtoul(configured, nullptr, 10))};
  }
  return {1, 20261206, std::random_device{}()};
}

TEST(RandomRuns, ShadowModelAgreesWithTheHeapAfterEveryStep) {
  for (std::uint32_t seed : seeds()) {
    std::printf("seed %u (replay with VELK_SEED=%u)\n", seed, seed);
    ShadowRun run(seed);
    violationLog().clear();
    EXPECT_TRUE(run.run(operationsPerSeed()))
        << "seed " << seed << ", step " << run.step() << ": " << run.failure();
  }
}

}  // namespace
}  // namespace velk::testing
