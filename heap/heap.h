// The heap engine: one Heap serves every allocation of the library from segments of address
// space, carved into boundary-tagged Blocks (heap/block.h) and filed by size class
// (heap/size_class.h) in bins whose occupancy a bitmap records.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "heap/address_space.h"
#include "heap/block.h"
#include "heap/payload_map.h"
#include "heap/size_class.h"
#include "pal/pal.h"

namespace velk {

// Byte figures and Block counts are as wide as an address; the event counters are 64-bit.
struct HeapStats {
  std::size_t allocBlocks;        // allocated Blocks
  std::size_t totalAlloc;         // payload bytes of allocated Blocks
  std::size_t peakAlloc;          // highest totalAlloc + header bytes of allocated Blocks
  std::size_t maxAllocBlockSize;  // largest rounded request ever served
  std::size_t freeBlocks;         // Blocks filed in bins
  std::size_t totalFree;          // payload bytes of Blocks filed in bins
  std::size_t totalSize;          // bytes of every segment ever added
  // Filled only in a snapshot, by walking the heap; zero in the Heap itself.
  std::size_t maxAlloc;          // largest allocated payload
  std::size_t maxFree;           // largest free payload, fragments included
  std::size_t numSegments;       // segment table entries
  std::size_t largestFreeChain;  // largest bin count
  std::uint64_t numAllocs;       // requests that passed the argument checks
  std::uint64_t numFrees;        // deallocations of pointers inside a segment
  std::uint64_t slowBucket;      // searches that walked the catch-all bin
};

// A list of free Blocks of one class, doubly linked through nextFree and prevFree. Not sorted: a
// Block goes to the front only when it lies below the head, otherwise to the back. Aligned to a
// power of two of its own size, so that finding a bin from its class is one shift.
struct alignas(4 * sizeof(void*)) Bin {
  Block* head;
  Block* tail;
  std::uint32_t count;
};

// One committed range of address space, or several that lay side by side and were joined.
struct Segment {
  std::uintptr_t base;
  std::size_t size;
  // The Block that ends at the end marker. Kept here, where no write into a payload reaches it: a
  // header whose size runs exactly to the end marker is true only for this Block.
  Block* last;

  std::uintptr_t end() const { return base + size; }
  // The Block after `block`, or null at the end of the segment, or where the header names a size
  // that would run past it: a stray write, which the checks of the operations find and put right.
  // A walk over every Block never leaves its segment, whatever another thread writes meanwhile.
  Block* after(const Block* block) const {
    const std::uintptr_t marker = end() - kUnit;
    const std::uintptr_t payload = reinterpret_cast<std::uintptr_t>(block) + kHeaderSize;
    if (payload > marker) return nullptr;
    const Word units = block->units();
    if (units > (marker - payload) / kUnit) return nullptr;
    const std::uintptr_t next = payload + unitsToBytes(units);
    return next + kHeaderSize <= marker ? Block::at(next) : nullptr;
  }
  bool contains(std::uintptr_t address) const { return address - base < size; }
  Block* firstBlock() const { return Block::at(base); }
  Word* endMarker() const { return reinterpret_cast<Word*>(end() - kUnit); }
};

inline constexpr std::size_t kMaxSegments = 256;
// The least segment: room for a 17 MiB Block, so that small requests rarely add segments.
inline constexpr std::size_t kMinSegmentSize = 0x1100000;
// Segments are rounded up to the larger of the page size and this.
inline constexpr std::size_t kSegmentGranularity = 0x10000;
// A segment made for a request of `size` bytes aligned to `align` holds this much more: the
// header, the end marker and two units, so that its Block has `size + align + 2 units` payload.
inline constexpr std::size_t kSegmentOverhead = 5 * kUnit;

// A Block whose header, bin links or end marker a stray write changed, as the heap found and put
// right from its record: what it read there, and what the record says belongs there.
struct Damage {
  std::uintptr_t block;  // the Block's header, or the end marker
  const char* what;      // "header", "bin links" or "end marker"
  Word found[2];
  Word expected[2];
};
// The heap keeps the first findings for its log; later ones are counted only.
inline constexpr std::size_t kListedDamage = 100;

// Where a Heap keeps its lock: on the runtime library's heap (falling back to the Heap's own
// storage), or always in its own storage, for a heap that serves the runtime library itself.
enum class LockPlacement { RuntimeHeap, Inside };

// Where pointers that lie in no segment go when they are freed: the runtime library's `free`,
// unless the Heap itself stands in for it.
using ForeignFree = void (*)(void*);

class Heap {
 public:
  explicit Heap(AddressSpace& addressSpace = systemAddressSpace(),
                LockPlacement lockPlacement = LockPlacement::RuntimeHeap,
                ForeignFree foreignFree = nullptr);
  ~Heap();
  Heap(const Heap&) = delete;
  Heap& operator=(const Heap&) = delete;

  // Serialises every operation below except blockSize and snapshotStats, which lock by themselves.
  // Both skip locking while the lock does not exist.
  void lock() {
    if (heapLock_ != nullptr) pal::lockEnter(heapLock_);
  }
  void unlock() {
    if (heapLock_ != nullptr) pal::lockLeave(heapLock_);
  }

  // allocate and deallocate with the lock taken and left around them, for callers that hold it
  // for nothing else: one call each, in which the lock and the Heap stay in registers. Requests
  // the heap refuses are refused before the lock is taken, inline, where a caller's own limits
  // often settle them at compile time.
  void* allocateLocked(std::size_t size, std::size_t align) {
    if (size > kMaxRequestSize || align > kMaxAlign) return nullptr;
    return allocateServedLocked(servedSize(size), servedAlignment(align));
  }
  void deallocateLocked(void* payload);
  // Runs once allocateLocked or deallocateLocked has left the lock, when damage was found
  // (damageFound) since one of them last looked: a boundary that reports damage does it there,
  // and its calls into the heap need no check of their own. Set before any call that locks.
  void setDamageHook(void (*hook)()) { damageHook_ = hook; }

  // Allocation: the caller holds the lock.
  void* allocate(std::size_t size, std::size_t align);
  // A request is served as a whole number of units, at least one, and at a power of two no less
  // than a unit: alignments that are not powers of two are served at the next one.
  static std::size_t servedSize(std::size_t size) {
    return ((size < kUnit ? kUnit : size) + kUnit - 1) & ~(kUnit - 1);
  }
  static std::size_t servedAlignment(std::size_t align) {
    return align <= kUnit ? kUnit : std::bit_ceil(align);
  }
  Block* findFree(std::size_t rsize, std::size_t align);
  void* carve(Block* block, std::size_t rsize, std::size_t align);
  // Cuts `block`, of `units` payload units, to `rsize` bytes and frees the tail (when it holds a
  // header); `next` is the Block behind it, null at the segment's end. Returns the units the
  // Block keeps, for the caller to write into its header with the flag it has. Sizes are the
  // caller's, as it checked them: nothing is read back from headers.
  Word split(Block* block, Word units, Block* next, std::size_t rsize);

  // Allocation in batches (heap/batch.cpp): the caller holds the lock. Carves up to `count`
  // Blocks of at least `size` bytes side by side out of one free Block, as `count` allocations,
  // and stores their payloads in address order; each Block ends where the next payload keeps the
  // alignment. Returns how many: all of them; when no free Block holds them all, one, and as many
  // more as the free Blocks already there hold, each carved from its own; none when even one
  // cannot be had.
  std::size_t allocateBatch(std::size_t size, std::size_t align, void** payloads,
                            std::size_t count);

  // Freeing: the caller holds the lock. Pointers outside every segment go to the runtime
  // library's `free`; pointers inside a segment that are not an allocated payload are ignored.
  void deallocate(void* payload);
  // The payload bytes of the Block of `payload`, or 0. Takes the lock itself.
  std::ptrdiff_t blockSize(void* payload);

  // Resizing in place: the caller holds the lock. Grows the allocated Block of `payload` into a
  // free successor, or shrinks it and files the tail, so that it holds at least `size` bytes;
  // false, with nothing changed, when the successor cannot supply the room or `payload` is not
  // the payload of an allocated Block.
  bool resizeInPlace(void* payload, std::size_t size);

  // Bins (inline, heap/bins.h). A Block must be removed with the size it was filed with, and is
  // filed with the size its caller knows (`units`), never one read back from its header.
  void insertFree(Block* block, Word units);
  void removeFree(Block* block);

  // Segments.
  bool addSegment(std::size_t size, std::size_t align);
  void mergeSegments();
  const Segment* findSegment(std::uintptr_t address) const;
  void releaseSegment(std::uintptr_t base, std::size_t size);
  void releaseAllSegments();

  // Giving pages back (heap/discard.cpp): the caller holds the lock. Every filed Block of at least
  // `leastBytes` payload that ends where a free Block ended at the previous pass gives the whole
  // pages between its links and its last unit (where each pass leaves its mark) back to the
  // system; the others are only marked. Returns the bytes given back, counting again those given
  // back before. Nothing the figures, the checks or the choice of Blocks see changes; a page given
  // back reads as zeros or as its old bytes when it is handed out again.
  std::size_t discardIdlePages(std::size_t leastBytes);

  // Statistics.
  HeapStats& snapshotStats(HeapStats& out);
  void resetStats();

  // Shows every segment, the boundaries of the system ranges it was joined from, and every Block,
  // in address order (heap/walk.h). Takes the lock itself.
  void walk(class HeapVisitor& visitor);

  // Checks every invariant of the heap by walking every segment and every bin; returns the
  // number of violations and, when `describe` is given, passes it a line for each.
  std::size_t validate(void (*describe)(const char* violation) = nullptr) const;

  // Checks every header, bin link and end marker against the record and puts right whatever a
  // stray write changed; returns how many Blocks it found damaged. The caller holds the lock. On
  // an undamaged heap it reads and changes nothing else. Every operation does the same, in
  // passing, for the headers and links it reads.
  std::size_t repair();
  // Damage found so far, and the first kListedDamage findings: damage(i) for i below the smaller
  // of the two. Read without the lock: a finding is filled in before it is counted.
  std::uint64_t damageFound() const { return damageFound_.load(std::memory_order_acquire); }
  const Damage& damage(std::size_t index) const { return damage_[index]; }

  // Read-only views for walks, reports and tests.
  const HeapStats& stats() const { return stats_; }
  const Bin& bin(std::size_t sizeClass) const { return bins_[sizeClass]; }
  std::uint32_t bitmapWord(std::size_t index) const { return binBitmap_[index]; }
  int segmentCount() const { return segmentCount_; }
  const Segment& segment(std::size_t index) const { return segments_[index]; }
  // Which addresses are allocated payloads. Readable without the lock by a front end that frees
  // only what it was handed (heap/payload_map.h).
  const PayloadMap& payloadMap() const { return payloads_; }
  // The payload bytes of the allocated Block of `payload`, for a front end that asks without the
  // lock and owns the Block (`bits` are the record's for `payload`): the header's size is held
  // against the record, and only when they disagree (a stray write, or a neighbour changing at
  // that moment) is it read again under the lock, and put right. Mostly the Block behind, which
  // the record shows right where the size ends, names this one as the Block in front: then the
  // size is the Block's, whatever its length, at the cost of two reads.
  std::size_t checkedPayloadBytes(const Word* bits, void* payload) {
    if (const std::size_t bytes = agreedPayloadBytes(bits, payload)) [[likely]]
      return bytes;
    return payloadBytesByRecord(payload);
  }
  // checkedPayloadBytes' first look, with no call: the header's size when the Block behind, which
  // the record shows right where it ends, names this one as the Block in front; else 0.
  std::size_t agreedPayloadBytes(const Word* bits, void* payload) const {
    const Block* block = Block::ofPayload(payload);
    const std::size_t bytes = unitsToBytes(loadRelaxed(block->sizeAndFlag) & kSizeMask);
    const auto address = reinterpret_cast<std::uintptr_t>(payload);
    const std::uintptr_t nextPayload = address + bytes + kHeaderSize;
    const Word* nextBits = ((address ^ nextPayload) >> PayloadMap::kGranuleShift) == 0
                               ? bits
                               : payloads_.granuleBits(nextPayload);
    if (nextBits != nullptr && PayloadMap::stateAt(nextBits, nextPayload) != PayloadMap::kNothing &&
        loadRelaxed(Block::ofPayload(reinterpret_cast<void*>(nextPayload))->prevBlock) == block)
        [[likely]] {
      return bytes;
    }
    return 0;
  }
  // checkedPayloadBytes' answer when the first look disagrees: the record's span, else read
  // under the lock and put right.
  std::size_t payloadBytesByRecord(void* payload) {
    const Block* block = Block::ofPayload(payload);
    const std::size_t bytes = unitsToBytes(loadRelaxed(block->sizeAndFlag) & kSizeMask);
    const auto address = reinterpret_cast<std::uintptr_t>(payload);
    if (payloads_.blockEndsAt(address, address + bytes)) return bytes;
    return payloadBytesLocked(payload);
  }

 private:
  // The Block of `payload` when it is the payload of an allocated Block, else null; its header
  // checked, and put right if a stray write changed it. `units` is its size as checked, or as the
  // record has it: the header may change again right after (another thread's stray write) and is
  // not read back.
  Block* allocatedBlockOf(void* payload, Word& units);
  // The payload units of the Block at `payload`, a payload the record shows, from the record
  // alone: up to the header of the next payload, or to its segment's end marker.
  Word recordedUnits(std::uintptr_t payload) const;
  // A filed Block on its way out of its bin during an operation (heap/bins.h). Its links are read
  // when the operation starts: carving and merging may write over them before it has left.
  struct Vacancy {
    Block* block;  // null when there is none, or once it has left
    Block* nextFree;
    Block* prevFree;
    Word units;
    std::size_t sizeClass;
  };

  // The steps of insertFree and removeFree once a Block's class is known (heap/bins.h).
  void linkFree(Bin& bin, Block* block, Block* head);
  bool unlinkFree(Bin& bin, Block* next, Block* previous);
  void fileFree(Block* block, Word units, std::size_t sizeClass);
  void unfileFree(Block* next, Block* previous, Word units, std::size_t sizeClass);
  Vacancy vacancyOf(Block* block, Word units, std::size_t sizeClass);
  void leave(Vacancy& vacancy);
  void takePlaceOf(Block* block, std::size_t bytes, Vacancy& vacancy);
  // Files a Block while `vacancy` may be leaving a bin: a remainder cut from the vacating Block,
  // or a Block merged from it and its neighbours.
  void fileRemainder(Block* block, Word units, Vacancy& vacancy);
  void fileMerged(Block* block, Word units, Vacancy& vacancy);

  // A free Block and the class of the bin that holds it.
  struct Found {
    Block* block;  // null when there is none
    std::size_t sizeClass;
  };
  // allocate for a size and an alignment as they are served, within the limits.
  // The payload bytes a free Block must hold to serve `rsize` at `align`: room for the worst
  // alignment shift.
  static std::size_t needFor(std::size_t rsize, std::size_t align) {
    return align <= kUnit ? rsize : rsize + align - 1;
  }
  std::size_t allocateScattered(std::size_t size, std::size_t align, void** payloads,
                                std::size_t count);
  void cutBatch(void** payloads, std::size_t count, std::size_t rsize, std::uintptr_t end,
                Block* successor);
  void* allocateServed(std::size_t rsize, std::size_t align);
  void* allocateServedLocked(std::size_t rsize, std::size_t align);
  void* allocateServedUnlocked(std::size_t rsize, std::size_t align);
  // The caller holds the lock: whether damage was found since the last look, which this is.
  bool damageSinceLastLook() {
    const std::uint64_t found = damageFound_.load(std::memory_order_relaxed);
    if (found == damageLooked_) [[likely]]
      return false;
    damageLooked_ = found;
    return true;
  }
  void runDamageHook() const;
  void* allocateAfterRepair(std::size_t rsize, std::size_t align);
  void* carveFound(Found found, std::size_t rsize, std::size_t align);
  void deallocateUnlocked(void* payload);
  bool freeChecked(Word* bits, std::uintptr_t address);
  template <bool kMergeNext>
  bool freeFront(Word* bits, std::uintptr_t address, Block* block, Word units, Block* before,
                 Block* after, Vacancy& nextFree, Word* nextBits);
  void countFreed(Word units);
  bool readFreeNeighbour(Block* block, Word units, Vacancy& neighbour) const;
  // The two Blocks that meet where two touching segments are joined (heap/segments.cpp).
  struct Seam {
    Word lastUnits;
    bool lastAllocated;
    Vacancy lastFree;  // when the last Block is free
    Word firstUnits;   // when the first Block is free, as are the two below
    bool firstAllocated;
    Vacancy firstFree;
    Block* afterFirst;
  };
  bool readSeam(int earlierIndex, int laterIndex, Seam& seam) const;
  bool joinSegments(int earlierIndex, int laterIndex);
  bool readBehindAllocated(Word* bits, std::uintptr_t payload, Word& units, Vacancy& next,
                           Block*& after) const;
  void freeAfterRepair(Word* bits, std::uintptr_t address);
  // The search of findFree without the removal. Returned by value rather than through a
  // reference, so that the class stays in a register.
  Found searchFree(std::size_t need);
  Found growAndSearch(std::size_t rsize, std::size_t align);
  Block* lowestFitting(std::size_t need);
  // carve and split for a Block that may still be filed: it leaves its bin on the way, its
  // remainder taking its place there when they share a class.
  // `successor` is the Block after `block`, null at the end of its segment; `before` the Block in
  // front, as giftTrue checked it, which takes a one-unit alignment gap (unused without one).
  void* carveOut(Block* block, Word units, std::size_t rsize, std::size_t align, Vacancy& vacancy,
                 Word* blockBits, Block* successor, Block* before);
  Block* splitOff(Block* block, Word& units, std::size_t rsize, Vacancy& vacancy);
  void* carveRest(Block* carved, Word units, Block* successor, std::uintptr_t aligned,
                  std::size_t rsize, Vacancy& vacancy, Word* bits);
  void finishCarve(Block* carved, Word units, Vacancy& vacancy, Word* bits, std::uintptr_t aligned);
  void notePeak();

  std::size_t payloadBytesLocked(void* payload);
  // Integrity (heap/integrity.h): whether headers and links agree with the record.
  bool isSegmentBase(std::uintptr_t address) const;
  bool isSegmentEndMarker(std::uintptr_t address) const;
  // The segment whose end marker lies at `address`, or null.
  const Segment* segmentEndingAt(std::uintptr_t address) const;
  // Makes `block` the Block that `successor` follows: its back link, or, where there is no
  // successor (`block` ends at its segment's end marker), the segment's last Block.
  void linkBehind(Block* successor, Block* block) {
    if (successor != nullptr) {
      successor->prevBlock = block;
    } else {
      noteLast(block);
    }
  }
  void noteLast(Block* block) {
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    Segment* segment = &segments_[0];
    if (!segment->contains(address)) [[unlikely]]
      segment = const_cast<Segment*>(findSegment(address));
    segment->last = block;
  }
  // What the record says of the Block at `next`, right behind a Block whose payload is `payload`
  // (`bits` are the record's for it): kStart, kAllocated, kEndOfSegment for an intact end marker,
  // or kNothing. `nextBits` are set to the record's for next's payload where a Block begins.
  static constexpr unsigned kEndOfSegment = 4;
  unsigned stateBehind(Word* bits, std::uintptr_t payload, std::uintptr_t next,
                       Word*& nextBits) const;
  bool recordedFreeAt(const Block* block) const;
  // `endOfSegment`, when given, is set to whether `next` is the segment's intact end marker.
  bool successorTrue(const Word* bits, std::uintptr_t payload, const Block* block,
                     const Block* next, bool mustBeAllocated, bool* endOfSegment = nullptr) const;
  unsigned stateInFront(const Word* bits, std::uintptr_t payload, const Block* block,
                        const Block* before, Word& beforeWord) const;
  bool predecessorTrue(const Word* bits, std::uintptr_t payload, const Block* block,
                       const Block* before) const;
  bool linksTrue(const Block* block, const Block* nextFree, const Block* prevFree,
                 std::size_t sizeClass) const;
  // `successor`, when given, is set to the Block behind, as checked: null for the end marker.
  bool freeBlockTrue(const Word* bits, std::uintptr_t payload, const Block* block, Word units,
                     const Block* nextFree, const Block* prevFree, std::size_t sizeClass,
                     Block** successor = nullptr) const;
  bool freeNeighbourTrue(const Block* block) const;
  bool giftTrue(const Word* bits, std::uintptr_t payload, const Block* block, std::size_t align,
                Block*& before) const;
  bool foundTrue(Found found, const Word* bits, std::uintptr_t payload, std::size_t align,
                 Vacancy& vacancy, Block*& successor, Block*& before);
  bool allocatedBlockTrue(const Word* bits, std::uintptr_t payload, const Block* block,
                          Word& units) const;
  bool blockTrue(const Block* block) const;
  void noteDamage(const Damage& damage);
  bool headersTrue(const Segment& segment) const;
  std::size_t repairHeaders(Segment& segment);
  std::size_t repairBins();
  // The headers and end markers alone: what a walk over the Blocks needs to be right. (Bin links
  // are the bins' business; their counts, which the figures use, live in the Heap.)
  std::size_t repairSegments();
  std::size_t roundToGranularity(std::size_t size) const;
  std::size_t growthSize(std::size_t rsize, std::size_t align) const;

  HeapStats stats_;
  Bin bins_[kNumBins];
  // Bit c % 32 of word c / 32 is set exactly when bin c holds a Block.
  std::uint32_t binBitmap_[kBitmapWords];
  Segment segments_[kMaxSegments];  // entries below segmentCount_ are in use, in order of adding
  int segmentCount_;
  pal::Lock* heapLock_;
  AddressSpace& addressSpace_;
  ForeignFree foreignFree_;
  std::size_t segmentGranularity_;
  // Bit w is set exactly when binBitmap_[w] is not zero: a search finds the next occupied word at
  // once instead of scanning up to 47 words.
  std::uint64_t occupiedWords_;
  // Which addresses are allocated payloads; the only authority for whether a pointer is one.
  PayloadMap payloads_;
  pal::LockStorage lockStorage_;
  // Passes of discardIdlePages so far: the number its marks carry.
  std::uint32_t discardPasses_;
  // Damage found, and the first findings, kept for the log (damageFound, damage).
  std::atomic<std::uint64_t> damageFound_{0};
  Damage damage_[kListedDamage];
  // damageFound as allocateLocked or deallocateLocked last saw it, under the lock, and what they
  // run when it has grown.
  std::uint64_t damageLooked_ = 0;
  void (*damageHook_)() = nullptr;
};

// Holds a Heap's lock for one scope.
class HeapLockGuard {
 public:
  explicit HeapLockGuard(Heap& heap) : heap_(heap) { heap_.lock(); }
  ~HeapLockGuard() { heap_.unlock(); }
  HeapLockGuard(const HeapLockGuard&) = delete;
  HeapLockGuard& operator=(const HeapLockGuard&) = delete;

 private:
  Heap& heap_;
};

}  // namespace velk

#include "heap/bins.h"
#include "heap/integrity.h"
