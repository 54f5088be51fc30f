// The Heap's life: construction, the lock, and teardown.
#include <cstdlib>

#include "heap/heap.h"

namespace velk {

Heap::Heap(AddressSpace& addressSpace, LockPlacement lockPlacement, ForeignFree foreignFree)
    : segmentCount_(0),
      heapLock_(nullptr),
      addressSpace_(addressSpace),
      foreignFree_(foreignFree != nullptr ? foreignFree : std::free),
      segmentGranularity_(kSegmentGranularity),
      occupiedWords_(0),
      discardPasses_(0) {
  heapLock_ = lockPlacement == LockPlacement::Inside ? pal::lockCreateIn(lockStorage_)
                                                     : pal::lockCreate(&lockStorage_);
  for (Bin& bin : bins_) bin = {nullptr, nullptr, 0};
  for (Segment& segment : segments_) segment = {0, 0, nullptr};
  for (std::uint32_t& word : binBitmap_) word = 0;
  resetStats();
  const std::size_t page = addressSpace_.pageSize();
  if (page > segmentGranularity_) segmentGranularity_ = page;
}

[[gnu::noinline, gnu::cold]] void Heap::runDamageHook() const {
  if (damageHook_ != nullptr) damageHook_();
}

Heap::~Heap() {
  releaseAllSegments();
  pal::Lock* lock = heapLock_;
  heapLock_ = nullptr;
  pal::lockDelete(lock);
}

}  // namespace velk
