#include <gtest/gtest.h>

#include "heap/size_class.h"

namespace velk {
namespace {

TEST(SizeClasses, SampleRowsOfTheTable) {
  EXPECT_EQ(kClassBound[0], 0u);
  EXPECT_EQ(kClassBound[1], 4u);
  EXPECT_EQ(kClassBound[127], 508u);
  EXPECT_EQ(kClassBound[128], 512u);
  EXPECT_EQ(kClassBound[129], 520u);
  EXPECT_EQ(kClassBound[191], 1016u);
  EXPECT_EQ(kClassBound[192], 1024u);
  EXPECT_EQ(kClassBound[193], 1040u);
  EXPECT_EQ(kClassBound[256], 2048u);
  EXPECT_EQ(kClassBound[1408], 536870912u);
  EXPECT_EQ(kClassBound[1471], 1065353216u);
  EXPECT_EQ(kClassBound[1472], 1073741824u);
}

TEST(SizeClasses, FilingRoundsDownAndSearchingRoundsUp) {
  EXPECT_EQ(classOf(8), 2u);
  EXPECT_EQ(classOf(508), 127u);
  EXPECT_EQ(classOf(512), 128u);
  EXPECT_EQ(classOf(516), 128u);
  EXPECT_EQ(classOf(520), 129u);
  EXPECT_EQ(classOf(1000), 189u);
  EXPECT_EQ(searchClassOf(513), 129u);
  EXPECT_EQ(searchClassOf(std::size_t{1} << 30), kCatchAllBin);
  EXPECT_EQ(classOf(std::size_t{1} << 30), kCatchAllBin);
  EXPECT_EQ(classOf(0xFFFFFFF0u), kCatchAllBin);
}

TEST(SizeClasses, TableIsStrictlyIncreasing) {
  for (std::size_t c = 1; c < kNumBins; ++c) EXPECT_LT(kClassBound[c - 1], kClassBound[c]) << c;
}

// classOf is the largest class whose bound is at most the size; searchClassOf the smallest whose
// bound is at least it. Checked for every size a few MiB up, and on both sides of every bound.
void expectMappingsAround(std::size_t bytes) {
  const std::size_t filed = classOf(bytes);
  ASSERT_LE(kClassBound[filed], bytes) << bytes;
  if (filed + 1 < kNumBins) {
    ASSERT_GT(kClassBound[filed + 1], bytes) << bytes;
  }
  const std::size_t searched = searchClassOf(bytes);
  ASSERT_GE(kClassBound[searched], bytes) << bytes;
  ASSERT_LT(kClassBound[searched - 1], bytes) << bytes;
}

TEST(SizeClasses, MappingsAgreeWithTheTableEverywhere) {
  for (std::size_t bytes = 4; bytes <= (std::size_t{4} << 20); bytes += 4)
    expectMappingsAround(bytes);
  for (std::size_t c = 2; c < kCatchAllBin; ++c) {
    for (std::size_t bytes = kClassBound[c] - 4; bytes <= kClassBound[c] + 4; bytes += 4) {
      expectMappingsAround(bytes);
    }
  }
}

}  // namespace
}  // namespace velk
