#include "tests/support/operation_run.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "allocator_library.h"

namespace velk::testing {
namespace {

// The bytes of a payload that are checked: all of a small one; the head and tail of a large one,
// where neighbours and the heap's own writes land, so that huge Blocks cost little memory.
constexpr std::size_t kHead = 256, kTail = 64;

std::atomic<std::size_t> foreignFrees{0};

// The engine's stand-in for `free`: hands a pointer to the runtime library's, counting it.
void countedForeignFree(void* pointer) {
  foreignFrees.fetch_add(1);
  std::free(pointer);
}

auto counters(const HeapStats& s) {
  return std::tie(s.allocBlocks, s.totalAlloc, s.peakAlloc, s.maxAllocBlockSize, s.freeBlocks,
                  s.totalFree, s.totalSize, s.numAllocs, s.numFrees, s.slowBucket);
}

void check(bool holds, const char* what) {
  if (!holds) fail(what);
}

void checkHeap(const Heap& heap) {
  const auto print = [](const char* violation) { std::fprintf(stderr, "broken: %s\n", violation); };
  check(heap.validate(print) == 0, "validate() found violations");
}

// Mostly small sizes, so that heaps grow deep; then sizes around class bounds, where filing and
// searching part ways, and at and beyond every limit.
std::size_t decodeSize(Input& input) {
  // clang-format off
  static constexpr std::size_t kSpecial[] = {0, 1, 3, 5, 7, 9, 15, 17, 0x1100000 - 40, 0x1400004,
      0x3FFFFFF0, 0x40000000, 0x40000008, 0xFFF00000, 0xFFF00001, kMaxRequestSize,
      kMaxRequestSize + 1, ~std::size_t{0}};
  // clang-format on
  const unsigned kind = input.byte() % 16;
  if (kind < 4) return input.byte();
  if (kind < 7) return input.u16() % 4096;
  if (kind == 7) return std::size_t{input.u16()} * 16;
  if (kind == 8) return input.u32() % (std::size_t{64} << 20);
  if (kind < 11) {
    const std::size_t bound = kClassBound[input.u16() % kNumBins];
    const auto size = static_cast<std::ptrdiff_t>(bound) + static_cast<std::int8_t>(input.byte());
    return size < 0 ? 0 : static_cast<std::size_t>(size);
  }
  if (kind == 11) return kSpecial[input.byte() % std::size(kSpecial)];
  return kind == 12 ? input.word() : input.u16() % 512;
}

std::size_t decodeAlign(Input& input) {
  static constexpr std::size_t kAligns[] = {0,  1,   2,    3,     4,  8,         16,
                                            32, 128, 4096, 65536, 24, kMaxAlign, 0x200000};
  const unsigned choice = input.byte() % 16;
  return choice == 15 ? input.u32() : kAligns[choice % std::size(kAligns)];
}

// A size answer covers `size` bytes; the exports answer 0 for payloads of 2 GiB or more.
bool covers(std::ptrdiff_t answer, std::size_t size, bool exports) {
  return answer >= static_cast<std::ptrdiff_t>(std::max(size, kUnit)) ||
         (exports && answer == 0 && size > INT32_MAX);
}

template <typename Map>
typename Map::iterator pick(Map& map, std::uint32_t choice) {
  return std::next(map.begin(), static_cast<std::ptrdiff_t>(choice % map.size()));
}

template <typename Visit>
void forEachChecked(std::size_t size, Visit visit) {
  for (std::size_t offset = 0; offset < std::min(size, kHead); ++offset) visit(offset);
  for (std::size_t offset = std::max(kHead, size - std::min(size, kTail)); offset < size; ++offset)
    visit(offset);
}

std::uint64_t digest(std::uintptr_t payload, std::size_t size) {
  std::uint64_t hash = 0xCBF29CE484222325u;
  forEachChecked(size, [&](std::size_t offset) {
    hash = (hash ^ reinterpret_cast<const unsigned char*>(payload)[offset]) * 0x100000001B3u;
  });
  return hash;
}

class OperationRun {
 public:
  OperationRun(const Target& target, std::uint64_t seed) : target_(target), random_(seed) {}
  void run(Input& input, std::size_t limit) {
    for (std::size_t step = 0; step < limit && !input.empty(); ++step) {
      const std::uint8_t operation = input.byte() % 16;
      const bool full = live_.size() >= target_.maxLive;
      if (operation < 4 && !full) {
        allocateChecked(input);
      } else if ((operation < 6 || (operation < 8 && full)) && !live_.empty()) {
        freeLive(pick(live_, input.u16()));
      } else if (operation == 6 && !target_.shared && !freed_.empty()) {
        expectIgnored(freed_[input.u16() % freed_.size()]);
      } else if (operation == 7 && !live_.empty()) {
        forge(input, pick(live_, input.u16()));
      } else if (operation == 8) {
        foreignAndNull();
      } else if (operation == 9 && !live_.empty()) {
        const auto live = pick(live_, input.u16());
        check(covers(usable(reinterpret_cast<void*>(live->first)), live->second.size,
                     target_.exports != nullptr),
              "the size of a live payload is below what was asked");
      } else if (operation == 15 && !live_.empty()) {
        const auto live = pick(live_, input.u16());
        resizeLive(live, decodeSize(input));
      } else if (operation >= 10 && target_.space != nullptr) {
        steerAddressSpace(operation, input);
      }
      if (!target_.shared || step % 64 == 0) checkHeap();
    }
  }
  void finish() {
    if (target_.space != nullptr) {
      HeapLockGuard guard(*target_.heap);
      target_.space->refuseAll(false);
    }
    while (!live_.empty()) freeLive(live_.begin());
    if (counts()) checkEmpty(*target_.heap);
  }
  // Requests within the limits, and frees of live payloads: what the report must count.
  std::uint64_t allocations = 0, frees = 0;

 private:
  struct Live {
    std::size_t size;
    std::uint64_t digest;  // of what the payload holds
  };
  using LiveMap = std::map<std::uintptr_t, Live>;

  // The calls, as the exports make them. Up to `count` payloads into `payloads`, more than one as
  // a batch; returns how many.
  std::size_t allocate(std::size_t size, std::size_t align, void** payloads, std::size_t count) {
    if (target_.exports != nullptr) {
      payloads[0] = target_.exports->memAlloc(static_cast<std::uint32_t>(size));
    } else {
      HeapLockGuard guard(*target_.heap);
      if (count > 1) return target_.heap->allocateBatch(size, align, payloads, count);
      payloads[0] = target_.heap->allocate(size, align);
    }
    return payloads[0] != nullptr;
  }
  void release(void* payload) {
    if (target_.exports != nullptr) return target_.exports->memFree(payload);
    HeapLockGuard guard(*target_.heap);
    target_.heap->deallocate(payload);
  }
  std::ptrdiff_t usable(void* payload) {
    return target_.exports ? target_.exports->memSize(payload) : target_.heap->blockSize(payload);
  }
  bool resize(void* payload, std::size_t size) {
    if (target_.exports != nullptr) return false;
    HeapLockGuard guard(*target_.heap);
    return target_.heap->resizeInPlace(payload, size);
  }
  bool counts() const { return target_.heap != nullptr && !target_.shared; }

  // One allocation, or on the engine sometimes a batch of up to 8 Blocks carved side by side,
  // counted as so many allocations.
  void allocateChecked(Input& input) {
    std::size_t size = decodeSize(input), align = decodeAlign(input), count = 1;
    if (target_.exports != nullptr) {
      size = std::min<std::size_t>(size, ~std::uint32_t{0});
      align = size >= 16 ? 16 : size >= 8 ? 8 : 4;  // what MemAlloc derives from the size
    } else if (input.byte() % 4 == 0) {
      count = std::min<std::size_t>(1 + input.byte() % 8, target_.maxLive - live_.size());
    }
    // Payloads cost address space, not memory: the largest go first when the next would not fit.
    const std::size_t budget = target_.space ? target_.space->arenaSize() / 4 : 96u << 20;
    const std::size_t bytes = size <= budget ? size * count : size;
    while (!live_.empty() && bytes <= budget && liveBytes_ + bytes > budget) {
      freeLive(std::max_element(live_.begin(), live_.end(), [](const auto& a, const auto& b) {
        return a.second.size < b.second.size;
      }));
    }
    const HeapStats before = counts() ? target_.heap->stats() : HeapStats{};
    const bool accepted =
        size <= (target_.exports ? 0xFFF00000u : kMaxRequestSize) && align <= kMaxAlign;
    void* pointers[8] = {};
    const std::size_t served = allocate(size, align, pointers, count);
    // Each Block of a batch is one allocation; a request that got none still counts once.
    const std::size_t counted = served != 0 ? served : accepted;
    allocations += counted;
    check(!counts() || (target_.heap->stats().numAllocs == before.numAllocs + counted &&
                        target_.heap->stats().allocBlocks == before.allocBlocks + served),
          "an allocation was miscounted");
    check(served == 0 || accepted, "a request beyond the limits was served");
    for (std::size_t index = 0; index < served; ++index) {
      check(index == 0 || pointers[index - 1] < pointers[index], "a batch is not in address order");
      adopt(reinterpret_cast<std::uintptr_t>(pointers[index]), size, align);
    }
  }
  void adopt(std::uintptr_t payload, std::size_t size, std::size_t align) {
    check(payload % (align <= kUnit ? kUnit : std::bit_ceil(align)) == 0, "payload misaligned");
    check(covers(usable(reinterpret_cast<void*>(payload)), size, target_.exports != nullptr),
          "the size of a new payload is below what was asked");
    const auto next = live_.lower_bound(payload);
    check(next == live_.end() || next->first >= payload + std::max<std::size_t>(size, 1),
          "payload overlaps a later one");
    check(next == live_.begin() || std::prev(next)->first + std::prev(next)->second.size <= payload,
          "payload overlaps an earlier one");
    fill(payload, live_.emplace_hint(next, payload, Live{size, 0})->second);
    liveBytes_ += size;
    std::erase(freed_, payload);
  }
  void freeLive(LiveMap::iterator live) {
    checkIntact(*live, "payload overwritten");
    const HeapStats before = counts() ? target_.heap->stats() : HeapStats{};
    release(reinterpret_cast<void*>(live->first));
    check(!counts() || (target_.heap->stats().allocBlocks == before.allocBlocks - 1 &&
                        target_.heap->stats().numFrees == before.numFrees + 1),
          "freeing a live Block was not counted");
    ++frees;
    liveBytes_ -= live->second.size;
    if (freed_.size() < 64) freed_.push_back(live->first);
    live_.erase(live);
  }
  // In place or not at all; what the payload held up to the smaller size survives.
  void resizeLive(LiveMap::iterator live, std::size_t size) {
    void* pointer = reinterpret_cast<void*>(live->first);
    checkIntact(*live, "payload overwritten");
    const std::uint64_t kept = digest(live->first, std::min(size, live->second.size));
    const std::ptrdiff_t sizeBefore = usable(pointer);
    const HeapStats before = counts() ? target_.heap->stats() : HeapStats{};
    if (!resize(pointer, size)) {
      // A shrink needs nothing from the Blocks around it, damaged or not.
      check(target_.exports != nullptr || size > static_cast<std::size_t>(sizeBefore),
            "a shrink in place was refused");
      // Unless another thread's new segment joined right behind the Block meanwhile, which hands
      // it the unit that was the end marker.
      const std::ptrdiff_t sizeAfter = usable(pointer);
      check(sizeAfter == sizeBefore ||
                (target_.shared && sizeAfter == sizeBefore + static_cast<std::ptrdiff_t>(kUnit)),
            "a refused resize changed the Block");
      check(!counts() || counters(target_.heap->stats()) == counters(before),
            "a refused resize changed the heap");
      return;
    }
    check(size <= kMaxRequestSize && covers(usable(pointer), size, false),
          "a resized payload is not what was asked");
    check(!counts() || target_.heap->stats().allocBlocks == before.allocBlocks,
          "resizing changed the Block count");
    check(digest(live->first, std::min(size, live->second.size)) == kept,
          "resizing lost the payload");
    liveBytes_ += size - live->second.size;
    live->second.size = size;
    fill(live->first, live->second);
  }
  // Writes words of every shape into a live payload, over runs of one byte value, then tries every
  // address from its header to the end of what was written: all must be ignored, and the payload
  // keep what it holds.
  void forge(Input& input, LiveMap::iterator live) {
    if (counts() && input.byte() % 4 == 0) return strayWrite(input, live);
    const std::uintptr_t payload = live->first;
    Word* words = reinterpret_cast<Word*>(payload);
    const std::size_t room = std::min(live->second.size, kHead) / kUnit;
    static constexpr unsigned char kRuns[] = {0x00, 0xFF, 0x80, 0xA5};
    if (input.byte() % 2 == 0) std::memset(words, kRuns[input.byte() % 4], room * kUnit);
    for (std::size_t count = input.byte() % 8; room != 0 && count > 0; --count) {
      Word* at = words + input.byte() % room;
      *at = shapedWord(input, payload, at);
    }
    // A chain of fake Blocks of no payload or of two units, allocated or free, each header agreeing
    // with its neighbours, their links and payloads words of every shape.
    if (room >= 12 && input.byte() % 2 == 0) {
      const std::size_t units = input.byte() % 2 * 2;
      Word* chain = words + input.byte() % (room - 11);
      for (std::size_t at = 0; at + 2 + units <= 12; at += 2 + units) {
        chain[at] = (input.byte() % 2 == 0 ? kAllocatedBit : 0) | units;
        chain[at + 1] = at == 0 ? shapedWord(input, payload, chain)
                                : reinterpret_cast<Word>(chain + at - 2 - units);
        for (std::size_t unit = 0; unit < units; ++unit) {
          chain[at + 2 + unit] = shapedWord(input, payload, chain + at + 2 + unit);
        }
      }
    }
    live->second.digest = digest(payload, live->second.size);
    for (std::uintptr_t address = payload - kHeaderSize; address <= payload + room * kUnit;
         ++address) {
      expectIgnored(address);
    }
    checkHeap();
    checkIntact(*live, "a payload changed when pointers into it were freed");
    if (target_.shared) return;
    for (const auto& other : live_) checkIntact(other, "payload overwritten");
  }
  // A host's stray write: 1 to 16 bytes of any value past what a payload asked for (into its
  // slack, the next header, an end marker, in 32-bit the next payload), or into a payload just
  // freed (its bin links). Then one ordinary call, which may read what was hit; then the heap is
  // put right whole, and must be sound, every payload keeping what it held or what the stray
  // bytes wrote into it.
  void strayWrite(Input& input, LiveMap::iterator live) {
    ++strayWrites_;
    const std::uintptr_t payload = live->first;
    const std::size_t size = live->second.size;
    std::size_t count = 1 + input.byte() % 16;
    std::uintptr_t at = payload + size;
    const unsigned kind = input.byte() % 8;
    if (kind == 7) {
      // A size word above the most units a header holds, whose bytes wrap around to the true end,
      // or one that runs exactly to the segment's end marker, over every Block behind: the free
      // must see either for what it is.
      Word& word = Block::ofPayload(reinterpret_cast<void*>(payload))->sizeAndFlag;
      word += kMostUnits + 1;
      const Segment* segment = target_.heap->findSegment(payload);
      if (segment != nullptr && input.byte() % 2 == 0)
        word = kAllocatedBit | (segment->end() - kUnit - payload) / kUnit;
      freeLive(live);
      checkHeap();
      count = 0;
    } else if (kind == 5) {
      // The back link of the Block behind, overwritten with any address; that Block is then carved
      // with a one-unit gap in front, given to the Block the link names: checked first.
      Block* behind = Block::ofPayload(reinterpret_cast<void*>(payload))->following();
      const std::uintptr_t linkAt = reinterpret_cast<std::uintptr_t>(&behind->prevBlock);
      if (target_.heap->findSegment(linkAt + kUnit) == nullptr || behind->isEndMarker()) return;
      const bool vacant = !behind->isAllocated();
      const std::size_t bytes = behind->payloadBytes();
      behind->prevBlock =
          Block::at(input.byte() % 2 == 0
                        ? input.word()
                        : shapedWord(input, payload, reinterpret_cast<const Word*>(linkAt)));
      // An alignment leaving one unit in front of its payload; a size searched from its own bin.
      const std::uintptr_t past = linkAt + 2 * kUnit;
      const std::size_t align = std::min<std::size_t>(past & (~past + 1), kMaxAlign);
      const std::size_t bound = kClassBound[classOf(bytes)];
      const std::size_t size = (bound + 1 - std::min(bound + 1, align)) & ~(kUnit - 1);
      void* carved = nullptr;
      if (vacant && align > kUnit && size != 0 && live_.size() < target_.maxLive &&
          allocate(size, align, &carved, 1) != 0) {
        adopt(reinterpret_cast<std::uintptr_t>(carved), size, align);
      }
      count = 0;
    } else if (kind == 3) {
      // A bin link of a payload just freed, overwritten: often with the address where a link read
      // finds the successor's back link, which points back, else any word. Then the Block in front
      // is resized, or the Block behind freed, or one of its size asked for, so that the resize,
      // the merge or the carve reads the link.
      const std::size_t bytes = Block::ofPayload(reinterpret_cast<void*>(payload))->payloadBytes();
      freeLive(live);
      const std::size_t which = input.byte() % 2;  // 0: nextFree, 1: prevFree
      const std::uintptr_t backLink = payload + bytes + kUnit;
      Word* link = reinterpret_cast<Word*>(payload) + which;
      if (bytes >= 2 * kUnit) {
        *link = input.byte() % 2 == 0 ? backLink - (which == 0 ? 3 : 2) * kUnit
                : live_.empty()       ? input.word()
                                      : shapedWord(input, payload, link);
      }
      const auto behind = live_.find(payload + bytes + kHeaderSize);
      const auto front = live_.lower_bound(payload);
      const bool frontTouches = front != live_.begin() && [&] {
        const auto before = std::prev(front);
        const auto held = static_cast<std::size_t>(usable(reinterpret_cast<void*>(before->first)));
        return before->first + held + kHeaderSize == payload;
      }();
      if (frontTouches && input.byte() % 2 == 0) {
        const auto before = std::prev(front);
        const std::size_t held = before->second.size;
        resizeLive(before, input.byte() % 2 == 0 ? held / 2 : held + bytes / 2);
      } else if (behind != live_.end()) {
        // The merge checks the link first: the heap is sound before any repair from here.
        freeLive(behind);
        checkHeap();
      } else if (live_.size() < target_.maxLive) {
        void* carved = nullptr;
        if (allocate(bytes, kUnit, &carved, 1) != 0)
          adopt(reinterpret_cast<std::uintptr_t>(carved), bytes, kUnit);
      }
      count = 0;
    } else if (kind % 2 == 0) {
      // Never past the segment: a host writing there would crash without the heap's help.
      if (const Segment* segment = target_.heap->findSegment(payload))
        count = std::min(count, segment->end() - at);
    } else {
      if (size == 0) return;
      freeLive(live);
      at = payload + input.byte() % std::min<std::size_t>(size, 32);
      count = std::min(count, payload + size - at);
    }
    for (std::size_t index = 0; index < count; ++index) {
      reinterpret_cast<unsigned char*>(at)[index] = input.byte();
    }
    // What the bytes reached now holds them.
    auto hit = live_.lower_bound(at);
    if (hit != live_.begin() && std::prev(hit)->first + std::prev(hit)->second.size > at) --hit;
    for (; hit != live_.end() && hit->first < at + count; ++hit) {
      hit->second.digest = digest(hit->first, hit->second.size);
    }
    const unsigned call = kind == 5 || kind == 3 ? 4u : input.byte() % 4u;
    if (call == 0 && live_.size() < target_.maxLive) allocateChecked(input);
    if (call == 1 && !live_.empty()) freeLive(pick(live_, input.u16()));
    if (call == 2 && !live_.empty()) {
      const auto sized = pick(live_, input.u16());
      void* pointer = reinterpret_cast<void*>(sized->first);
      // Asked as a front end asks, without the lock: the header's size held against the record.
      const PayloadMap& map = target_.heap->payloadMap();
      const Word* bits = map.granuleBits(sized->first);
      const std::size_t recorded = PayloadMap::payloadBytesNear(bits, sized->first);
      const std::size_t footprint = PayloadMap::allocatedFootprintNear(bits, sized->first);
      const std::size_t checked = target_.heap->checkedPayloadBytes(bits, pointer);
      // The record alone, looking as far as it is told to: the true size, or none when the next
      // payload lies further (in another granule, or past the look).
      const std::size_t span = sized->first / kUnit % 2 != 0 ? checked : 4096;
      const std::size_t within = PayloadMap::payloadBytesWithin(bits, sized->first, span);
      const bool inGranule = (sized->first + checked + kHeaderSize) / PayloadMap::kGranule ==
                             sized->first / PayloadMap::kGranule;
      check((within == 0 || within == checked) && (within != 0 || !inGranule || checked > span),
            "the record alone does not size a live payload");
      check(static_cast<std::ptrdiff_t>(checked) == usable(pointer) &&
                (recorded == 0 || recorded == checked) &&
                (footprint == PayloadMap::kFurther || footprint == checked + kHeaderSize) &&
                PayloadMap::allocatedFootprintNear(map.granuleBits(sized->first + kUnit),
                                                   sized->first + kUnit) == 0 &&
                covers(usable(pointer), sized->second.size, false),
            "after a stray write, the size of a live payload is not what the heap holds");
    }
    if (call == 3 && !live_.empty()) resizeLive(pick(live_, input.u16()), decodeSize(input));
    {
      HeapLockGuard guard(*target_.heap);
      target_.heap->repair();
    }
    checkHeap();
    for (const auto& other : live_) checkIntact(other, "a stray write changed another payload");
  }
  Word shapedWord(Input& input, std::uintptr_t payload, const Word* at) {
    const Word units = input.byte() % 8, header = payload - kHeaderSize;
    const Word shapes[] = {kAllocatedBit | units,  // the header of a short allocated Block
                           kAllocatedBit | input.word(),
                           reinterpret_cast<Word>(at),
                           payload,
                           header + units * kUnit,    // links into the Block or above it,
                           header - units * kUnit,    // below it,
                           ~Word{0} - units * kUnit,  // to the top of the address space,
                           0,
                           live_.begin()->first - kHeaderSize,  // to other headers
                           std::prev(live_.end())->first - kHeaderSize,
                           input.word()};
    return shapes[input.byte() % std::size(shapes)];
  }
  void expectIgnored(std::uintptr_t address) {
    if (live_.count(address) != 0) return;
    void* pointer = reinterpret_cast<void*>(address);
    const HeapStats before = counts() ? target_.heap->stats() : HeapStats{};
    check(usable(pointer) == 0, "a size for a pointer that is no live payload");
    check(!resize(pointer, kUnit), "resized a pointer that is no live payload");
    release(pointer);
    check(!counts() || counters(target_.heap->stats()) == counters(before),
          "freeing a pointer that is no live payload changed the heap");
  }
  // A pointer from the runtime library's heap goes back there, uncounted; null is ignored; the
  // library's flushes and totals do nothing.
  void foreignAndNull() {
    if (const host::AllocatorExports* exports = target_.exports) {
      exports->memFlushCacheAll();
      check(exports->memFlushCache(3) == 0 && exports->memTotalReserved() == 0 &&
                exports->memTotalCommitted() == 0,
            "a flush or a total answered other than 0");
    }
    void* foreign = std::malloc(48);
    check(usable(foreign) == 0 && usable(nullptr) == 0, "a size for null or a runtime pointer");
    check(!resize(foreign, kUnit) && !resize(nullptr, kUnit), "resized null or a runtime pointer");
    const std::size_t foreignBefore = foreignFrees.load();
    const HeapStats before = counts() ? target_.heap->stats() : HeapStats{};
    release(foreign);
    release(nullptr);
    check(!counts() || (foreignFrees.load() == foreignBefore + 1 &&
                        counters(target_.heap->stats()) == counters(before)),
          "a runtime pointer was not handed to free, or a free of it or null was counted");
  }
  void steerAddressSpace(std::uint8_t operation, Input& input) {
    using Placement = FakeAddressSpace::Placement;
    const std::size_t argument = input.u16();
    HeapLockGuard guard(*target_.heap);
    FakeAddressSpace& space = *target_.space;
    if (operation == 10) space.refuseNext(argument % 4);
    if (operation == 11) space.refuseAll(argument % 4 == 0);
    if (operation == 12) space.placeNext(Placement::AtOffset, (argument << 20) % space.arenaSize());
    if (operation == 13) space.placeNext(Placement::TouchingLast);
    if (operation == 14) space.placeNext(Placement::BelowLast);
  }
  void checkHeap() {
    if (target_.heap == nullptr) return;
    HeapLockGuard guard(*target_.heap);
    velk::testing::checkHeap(*target_.heap);
    // Repair puts right whatever the checks find, a fault of the heap's own included: until the
    // first stray write, there is nothing to find.
    check(target_.shared || strayWrites_ != 0 || target_.heap->damageFound() == 0,
          "damage found where no stray write was made");
  }
  void fill(std::uintptr_t payload, Live& live) {
    forEachChecked(live.size, [&](std::size_t offset) {
      random_ = random_ * 6364136223846793005u + 1442695040888963407u;
      reinterpret_cast<unsigned char*>(payload)[offset] = static_cast<unsigned char>(random_ >> 56);
    });
    live.digest = digest(payload, live.size);
  }
  void checkIntact(const LiveMap::value_type& live, const char* what) {
    check(digest(live.first, live.second.size) == live.second.digest, what);
  }

  Target target_;
  LiveMap live_;
  std::vector<std::uintptr_t> freed_;
  std::size_t liveBytes_ = 0;
  std::uint64_t random_;
  std::size_t strayWrites_ = 0;
};

}  // namespace

void fail(const char* what) {
  std::fflush(stdout);
  std::fprintf(stderr, "heap run failed: %s\n", what);
  std::abort();
}

void checkEmpty(const Heap& heap) {
  checkHeap(heap);
  const HeapStats& stats = heap.stats();
  const auto segments = static_cast<std::size_t>(heap.segmentCount());
  check(stats.allocBlocks == 0 && stats.totalAlloc == 0 && stats.freeBlocks == segments &&
            stats.totalFree == stats.totalSize - segments * (kHeaderSize + kUnit),
        "with nothing allocated, a segment is not one free Block");
}

void runOnFreshHeap(Input& input, std::size_t limit, std::size_t arenaSize, std::size_t maxLive) {
  static constexpr std::size_t kPageSizes[] = {4096, 0x10000, 0x20000, 16384};
  FakeAddressSpace space(arenaSize);
  space.setPageSize(kPageSizes[input.byte() % std::size(kPageSizes)]);
  {
    Heap heap(space, LockPlacement::RuntimeHeap, countedForeignFree);
    OperationRun run({&heap, &space, nullptr, false, maxLive}, 1);
    run.run(input, limit);
    run.finish();
  }
  check(space.liveBytes() == 0, "teardown left a range unreleased");
}

std::pair<std::uint64_t, std::uint64_t> runShared(Target target, std::uint64_t seed,
                                                  std::size_t operations,
                                                  const std::atomic<bool>& stop) {
  target.shared = true;
  std::mt19937_64 random(seed);
  OperationRun run(target, random());
  std::vector<std::uint8_t> bytes(4096);
  for (std::size_t done = 0; done < operations && !stop; done += 500) {
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
    Input input(bytes.data(), bytes.size());
    run.run(input, std::min<std::size_t>(500, operations - done));
  }
  run.finish();
  return {run.allocations, run.frees};
}

std::pair<std::uint64_t, std::uint64_t> runThreads(const Target& target,
                                                   const StressOptions& options) {
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> allocations{0}, frees{0};
  std::vector<std::thread> threads;
  for (unsigned index = 0; index < options.threads; ++index) {
    threads.emplace_back([&, index] {
      const auto [made, freed] =
          runShared(target, options.seed * 1000003u + index,
                    options.seconds > 0 ? SIZE_MAX : options.operations, stop);
      allocations += made;
      frees += freed;
    });
  }
  if (options.seconds > 0) {
    std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    stop = true;
  }
  for (std::thread& thread : threads) thread.join();
  return {allocations.load(), frees.load()};
}

}  // namespace velk::testing
