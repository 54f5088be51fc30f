// Faults of the address space, injected through the fake: refusals at every point of a run, a
// full segment table, and region queries that fail while segments are given back.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "heap/heap.h"
#include "tests/support/fake_address_space.h"

namespace velk::testing {
namespace {

std::string violations;
void collectViolation(const char* violation) {
  violations += violation;
  violations += '\n';
}

::testing::AssertionResult heapValid(const Heap& heap) {
  violations.clear();
  if (heap.validate(collectViolation) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << violations;
}

std::uint64_t seedFromEnvironment() {
  if (const char* seed = std::getenv("VELK_STRESS_SEED")) return std::strtoull(seed, nullptr, 10);
  return std::random_device{}();
}

// One step of a replayable run: an allocation, or the free of the live Block at an index.
struct Step {
  bool allocates;
  std::size_t size;
  std::size_t align;
  std::size_t pick;
};

// Sizes that make the heap grow often: most requests are small, some take megabytes, so the run
// keeps asking the address space for segments.
std::vector<Step> makeRun(std::uint64_t seed, std::size_t length) {
  std::mt19937_64 random(seed);
  std::vector<Step> steps;
  for (std::size_t index = 0; index < length; ++index) {
    Step step{};
    step.allocates = random() % 3 != 0;
    const unsigned band = static_cast<unsigned>(random() % 10);
    step.size = band < 6 ? random() % 4096 : band < 9 ? random() % (4u << 20) : 12u << 20;
    step.align = std::size_t{4} << (random() % 4);
    step.pick = static_cast<std::size_t>(random());
    steps.push_back(step);
  }
  return steps;
}

constexpr std::size_t kMaxLive = 24;
// Far more than a run needs, and small enough that a 32-bit process finds room for it again and
// again.
constexpr std::size_t kRunArena = 0x20000000;

// Replays the run; returns the number of address-space requests it made. With `refuseAt` set,
// the address space refuses from that request on until an allocation comes back null; then the
// space returns and the same allocation must succeed.
std::size_t replay(const std::vector<Step>& steps, std::size_t refuseAt) {
  FakeAddressSpace space(kRunArena);
  Heap heap(space);
  if (refuseAt != 0) space.refuseFromRequest(refuseAt);
  std::vector<void*> live;
  std::size_t refusedAllocations = 0;
  for (const Step& step : steps) {
    if (step.allocates && live.size() < kMaxLive) {
      const HeapStats before = heap.stats();
      const std::size_t requestsBefore = space.requests();
      void* payload = heap.allocate(step.size, step.align);
      if (payload == nullptr) {
        ++refusedAllocations;
        EXPECT_NE(refuseAt, 0u) << "an allocation failed without any refusal";
        EXPECT_GE(space.requests(), refuseAt);
        EXPECT_EQ(space.requests(), requestsBefore + 1) << "one refused request and no more";
        const HeapStats& after = heap.stats();
        EXPECT_EQ(after.numAllocs, before.numAllocs + 1);
        EXPECT_EQ(after.allocBlocks, before.allocBlocks);
        EXPECT_EQ(after.totalAlloc, before.totalAlloc);
        EXPECT_EQ(after.freeBlocks, before.freeBlocks);
        EXPECT_EQ(after.totalSize, before.totalSize);
        EXPECT_TRUE(heapValid(heap));
        space.refuseFromRequest(0);
        payload = heap.allocate(step.size, step.align);
        EXPECT_NE(payload, nullptr) << "no service once the address space returned";
        if (payload == nullptr) return space.requests();
      }
      EXPECT_GE(heap.blockSize(payload), static_cast<std::ptrdiff_t>(step.size));
      live.push_back(payload);
    } else if (!live.empty()) {
      const std::size_t index = step.pick % live.size();
      heap.deallocate(live[index]);
      live[index] = live.back();
      live.pop_back();
    }
    EXPECT_TRUE(heapValid(heap));
    if (::testing::Test::HasFailure()) return space.requests();
  }
  if (refuseAt != 0) {
    EXPECT_EQ(refusedAllocations, 1u) << "request " << refuseAt;
  }
  for (void* payload : live) heap.deallocate(payload);
  EXPECT_TRUE(heapValid(heap));
  EXPECT_EQ(heap.stats().allocBlocks, 0u);
  EXPECT_EQ(heap.stats().freeBlocks, static_cast<std::size_t>(heap.segmentCount()));
  return space.requests();
}

// Several runs, each replayed once for every address-space request it makes, with that request
// refused.
TEST(AddressSpaceRefusal, EveryRequestOfARunRefusedInTurnLeavesTheHeapValidAndServing) {
  const std::uint64_t seed = seedFromEnvironment();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with VELK_STRESS_SEED)");
  constexpr std::uint64_t kRuns = 8;
  std::size_t refusals = 0;
  for (std::uint64_t run = 0; run < kRuns; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const std::vector<Step> steps = makeRun(seed + run, 400);
    const std::size_t requests = replay(steps, 0);
    ASSERT_GE(requests, 3u) << "the run should grow the heap several times";
    for (std::size_t refuseAt = 1; refuseAt <= requests; ++refuseAt) {
      SCOPED_TRACE("refused from request " + std::to_string(refuseAt));
      // The run up to the refusal is the same as without it, so the k-th request is reached.
      replay(steps, refuseAt);
      if (HasFailure()) return;
    }
    refusals += requests;
  }
  std::printf("refused each of %zu address-space requests of %llu runs in turn\n", refusals,
              static_cast<unsigned long long>(kRuns));
}

TEST(AddressSpaceRefusal, ARefusedFirstSegmentLeavesAnEmptyHeap) {
  FakeAddressSpace space(kRunArena);
  Heap heap(space);
  space.refuseAll(true);
  EXPECT_EQ(heap.allocate(100, 16), nullptr);
  EXPECT_EQ(heap.segmentCount(), 0);
  EXPECT_EQ(heap.stats().numAllocs, 1u);
  EXPECT_EQ(heap.stats().totalSize, 0u);
  EXPECT_TRUE(heapValid(heap));
  space.refuseAll(false);
  EXPECT_NE(heap.allocate(100, 16), nullptr);
  EXPECT_TRUE(heapValid(heap));
}

// 256 segments of 17 MiB do not fit a 32-bit arena.
TEST(SegmentTable, TheRequestBeyondAFullTableFailsWithoutAskingTheSystem) {
  if (sizeof(void*) < 8) GTEST_SKIP() << "needs a 64-bit address space";
  FakeAddressSpace space;
  Heap heap(space);
  // Each 16 MiB request leaves too little in its segment for the next, and the fake places every
  // segment apart from the others, so none joins.
  constexpr std::size_t kBig = 16u << 20;
  std::vector<void*> payloads;
  for (std::size_t index = 0; index < kMaxSegments; ++index) {
    void* payload = heap.allocate(kBig, 16);
    ASSERT_NE(payload, nullptr) << "segment " << index;
    payloads.push_back(payload);
  }
  ASSERT_EQ(heap.segmentCount(), static_cast<int>(kMaxSegments));
  ASSERT_EQ(space.requests(), kMaxSegments);

  EXPECT_EQ(heap.allocate(kBig, 16), nullptr);
  EXPECT_EQ(space.requests(), kMaxSegments) << "a full table must not ask the system";
  EXPECT_EQ(heap.segmentCount(), static_cast<int>(kMaxSegments));
  EXPECT_TRUE(heapValid(heap));
  // What is left in the segments still serves.
  void* small = heap.allocate(1000, 16);
  EXPECT_NE(small, nullptr);
  EXPECT_EQ(space.requests(), kMaxSegments);

  heap.deallocate(small);
  for (void* payload : payloads) heap.deallocate(payload);
  EXPECT_TRUE(heapValid(heap));
  EXPECT_EQ(heap.stats().allocBlocks, 0u);
  EXPECT_EQ(heap.stats().freeBlocks, kMaxSegments);
}

// One segment joined from three system ranges, so that releasing it walks three regions.
class ReleaseFault : public ::testing::Test {
 protected:
  void SetUp() override {
    heap = std::make_unique<Heap>(space);
    constexpr std::size_t kBig = 16u << 20;
    ASSERT_NE(heap->allocate(kBig, 16), nullptr);
    space.placeNextTouchingLast();
    ASSERT_NE(heap->allocate(kBig, 16), nullptr);
    space.placeNextTouchingLast();
    ASSERT_NE(heap->allocate(kBig, 16), nullptr);
    ASSERT_EQ(heap->segmentCount(), 1);
    ASSERT_EQ(space.handedOut().size(), 3u);
    ASSERT_TRUE(heapValid(*heap));
  }

  std::uintptr_t region(std::size_t index) const { return space.handedOut()[index].base; }

  std::vector<std::uintptr_t> releasesAtTeardown() {
    heap.reset();
    return space.releases();
  }

  FakeAddressSpace space{kRunArena};
  std::unique_ptr<Heap> heap;
};

TEST_F(ReleaseFault, WithoutAFaultEveryRegionIsReleasedOnce) {
  const std::vector<std::uintptr_t> expected{region(0), region(1), region(2)};
  EXPECT_EQ(releasesAtTeardown(), expected);
  EXPECT_EQ(space.liveBytes(), 0u);
}

TEST_F(ReleaseFault, AFailedQueryStopsTheWalk) {
  space.failQueryAt(region(1));
  const std::vector<std::uintptr_t> expected{region(0)};
  EXPECT_EQ(releasesAtTeardown(), expected);
}

TEST_F(ReleaseFault, AFailedFirstQueryReleasesNothing) {
  space.failQueryAt(region(0));
  EXPECT_TRUE(releasesAtTeardown().empty());
}

TEST_F(ReleaseFault, ARegionOfZeroBytesStopsTheWalk) {
  space.reportZeroSizeAt(region(2));
  const std::vector<std::uintptr_t> expected{region(0), region(1)};
  EXPECT_EQ(releasesAtTeardown(), expected);
}

// An address space whose query at one address describes a region that starts elsewhere.
class MisplacingSpace final : public AddressSpace {
 public:
  MisplacingSpace(FakeAddressSpace& fake, std::uintptr_t at, std::ptrdiff_t shift)
      : fake_(fake), at_(at), shift_(shift) {}
  void* reserve(std::size_t size) override { return fake_.reserve(size); }
  bool queryRegion(std::uintptr_t address, pal::Region& region) override {
    if (!fake_.queryRegion(address, region)) return false;
    if (address == at_) region.base = address + static_cast<std::uintptr_t>(shift_);
    return true;
  }
  void release(std::uintptr_t base) override { fake_.release(base); }
  std::size_t pageSize() override { return fake_.pageSize(); }

 private:
  FakeAddressSpace& fake_;
  std::uintptr_t at_;
  std::ptrdiff_t shift_;
};

TEST(ReleaseFaultMisplaced, ARegionThatStartsElsewhereStopsTheWalk) {
  for (const std::ptrdiff_t shift : {-0x10000, 0x10000, 4096}) {
    SCOPED_TRACE("region base shifted by " + std::to_string(shift));
    FakeAddressSpace fake(kRunArena);
    // The second range is misplaced; where it lies is known once the fake handed out the first.
    MisplacingSpace space(fake, fake.arenaBase() + (17u << 20), shift);
    {
      Heap heap(space);
      ASSERT_NE(heap.allocate(16u << 20, 16), nullptr);
      fake.placeNextTouchingLast();
      ASSERT_NE(heap.allocate(16u << 20, 16), nullptr);
      ASSERT_EQ(heap.segmentCount(), 1);
      ASSERT_EQ(fake.handedOut()[1].base, fake.arenaBase() + (17u << 20));
    }
    const std::vector<std::uintptr_t> expected{fake.arenaBase()};
    EXPECT_EQ(fake.releases(), expected);
  }
}

}  // namespace
}  // namespace velk::testing
