// The heap walk shows what a picture of the heap needs: segments, joins and every Block's kind.
#include <gtest/gtest.h>

#include <vector>

#include "heap/walk.h"
#include "tests/unit/heap_fixture.h"

namespace velk::testing {
namespace {

class Recorder final : public HeapVisitor {
 public:
  void segment(const Segment& segment, std::size_t) override { segments.push_back(segment.base); }
  void joinedBoundary(std::uintptr_t address) override { boundaries.push_back(address); }
  void block(const BlockView& block) override { kinds.push_back(block.kind); }

  std::vector<std::uintptr_t> segments;
  std::vector<std::uintptr_t> boundaries;
  std::vector<BlockKind> kinds;
};

TEST_F(HeapTest, WalkShowsJoinsAndBlockKinds) {
  ASSERT_TRUE(heap.addSegment(100, 4));
  space.placeNextTouchingLast();
  ASSERT_TRUE(heap.addSegment(100, 4));
  void* payload = heap.allocate(100, 2 * kHeaderSize);  // leaves a fragment in front
  Recorder recorder;
  heap.walk(recorder);
  EXPECT_EQ(recorder.segments, std::vector<std::uintptr_t>{space.arenaBase()});
  EXPECT_EQ(recorder.boundaries, std::vector<std::uintptr_t>{space.arenaBase() + kMinSegmentSize});
  EXPECT_EQ(recorder.kinds, (std::vector<BlockKind>{BlockKind::kFragment, BlockKind::kAllocated,
                                                    BlockKind::kFree}));
  heap.deallocate(payload);
}

}  // namespace
}  // namespace velk::testing
