// The exported entry points as a host sees them.
#include <cstdint>
#include <cstdlib>

#include "allocator_library.h"
#include "test_support.h"

namespace velk::library_test {
namespace {

class ExportsTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    library_ = std::make_unique<host::AllocatorLibrary>(productLibraryPath());
    ASSERT_TRUE(library_->loaded()) << library_->error();
  }
  void TearDown() override {
    library_.reset();
    LibraryTest::TearDown();
  }
  const host::AllocatorExports& heap() const { return library_->exports(); }
  // Unloads, so that the report is in the log.
  std::map<std::string, std::string> reportAfterUnload() {
    library_->unload();
    return reportFigures();
  }

  std::unique_ptr<host::AllocatorLibrary> library_;
};

std::uintptr_t addressOf(void* payload) {
  return reinterpret_cast<std::uintptr_t>(payload);
}

TEST_F(ExportsTest, AlignmentFollowsTheRequestSize) {
  for (std::uint32_t round = 0; round < 8; ++round) {
    void* small = heap().memAlloc(6);
    void* medium = heap().memAlloc(12);
    void* large = heap().memAlloc(24);
    EXPECT_EQ(addressOf(small) % 4, 0u);
    EXPECT_EQ(addressOf(medium) % 8, 0u);
    EXPECT_EQ(addressOf(large) % 16, 0u);
  }
  void* empty = heap().memAlloc(0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(addressOf(empty) % 4, 0u);
  EXPECT_GE(heap().memSize(empty), 4);
  EXPECT_EQ(reportAfterUnload()["num allocs"], "25");
}

TEST_F(ExportsTest, SizeIsTheRequestRoundedToAUnitOrOneUnitMore) {
  void* payload = heap().memAlloc(24);
  const std::int32_t size = heap().memSize(payload);
  EXPECT_TRUE(size == 24 || size == static_cast<std::int32_t>(24 + kUnit)) << size;
  EXPECT_EQ(heap().memSize(heap().memAlloc(101)) % static_cast<std::int32_t>(kUnit), 0);
  EXPECT_GE(heap().memSize(heap().memAlloc(101)), 101);
  EXPECT_EQ(heap().memSize(nullptr), 0);
}

// A count of 2 GiB or more does not fit the signed 32-bit result: the host gets 0, not a
// negative size.
TEST_F(ExportsTest, SizeOfAPayloadOf2GiBOrMoreIsZero) {
  void* huge = heap().memAlloc(0x80000000u);
  if (huge == nullptr) GTEST_SKIP() << "the address space has no free range of 2 GiB";
  EXPECT_EQ(heap().memSize(huge), 0);
  heap().memFree(huge);
}

TEST_F(ExportsTest, ForeignPointersGoToTheRuntimeLibrary) {
  void* foreign = std::malloc(48);
  ASSERT_NE(foreign, nullptr);
  EXPECT_EQ(heap().memSize(foreign), 0);
  // Freed by the runtime library's free: a leak or a double free shows under valgrind.
  heap().memFree(foreign);
  heap().memFree(nullptr);
  std::map<std::string, std::string> report = reportAfterUnload();
  EXPECT_EQ(report["num frees"], "0");
  EXPECT_EQ(report["free blocks"], "1");
}

TEST_F(ExportsTest, OversizedRequestFailsAndIsNotCounted) {
  EXPECT_EQ(heap().memAlloc(0xFFF00001u), nullptr);
  EXPECT_EQ(heap().memAlloc(0xFFFFFFFFu), nullptr);
  EXPECT_NE(heap().memAlloc(1), nullptr);
  std::map<std::string, std::string> report = reportAfterUnload();
  EXPECT_EQ(report["num allocs"], "1");
  EXPECT_EQ(report["num segments"], "1");
}

TEST_F(ExportsTest, FlushesAndTotalsDoNothing) {
  void* payload = heap().memAlloc(1000);
  EXPECT_EQ(heap().memFlushCache(3), 0);
  EXPECT_EQ(heap().memFlushCache(-1), 0);
  heap().memFlushCacheAll();
  EXPECT_EQ(heap().memTotalReserved(), 0u);
  EXPECT_EQ(heap().memTotalCommitted(), 0u);
  EXPECT_EQ(heap().memSize(payload), 1000);
  heap().memFree(payload);
  std::map<std::string, std::string> report = reportAfterUnload();
  EXPECT_EQ(report["alloc blocks"], "0");
  EXPECT_EQ(report["num frees"], "1");
}

}  // namespace
}  // namespace velk::library_test
