// Where every Block's payload begins, and which of those Blocks are allocated, recorded apart
// from the Blocks. The record is the authority on the heap's shape; a Block's header is a cache of
// it, checked against it before the heap trusts it.
//
// A pointer is freed, sized or resized only when the record shows an allocated payload there.
// Nothing a caller writes into a payload (words that look like headers, links to anywhere, whole
// forged chains of Blocks) can set a bit, so the heap never follows a link a caller forged. And
// nothing a caller writes past a payload or into a freed one changes what the record says, so a
// header or bin link overwritten by such a stray write is seen as soon as it is read, and put
// right from the record.
//
// Two bits per unit of every range the heap took from the system, at the unit where a payload
// would begin: kStart (a Block's payload begins here: fragments, free and allocated Blocks alike)
// and kAllocated (and that Block is allocated). Payloads begin at least a header apart, so the
// two bits of one unit never describe two Blocks. Ranges start at multiples of 64 KiB and span
// whole 64 KiB granules, so each granule belongs to one range alone, and a two-level table finds
// a granule's bits from the address:
//
//              | top entry | granule of the leaf | unit of the granule | byte of the unit |
//   32-bit:    |     -     |       16 bits       |       14 bits       |      2 bits      |
//   64-bit:    |  10 bits  |       22 bits       |       13 bits       |      3 bits      |
//
// A granule's bits are non-null exactly when a covered range holds it: the table also answers
// whether an address lies in the heap at all. Leaves and bits are mapped from the system apart
// from the segments, so every segment keeps exactly the size it was asked for; their pages are
// backed only where they are touched, and they are given back all at once. They cost 2 bits per
// unit: 1/32 of the address space of the segments in 64-bit, 1/16 in 32-bit.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "heap/units.h"

namespace velk {

class PayloadMap {
 public:
  static constexpr unsigned kGranuleShift = 16;
  static constexpr std::size_t kGranule = std::size_t{1} << kGranuleShift;
  static constexpr std::size_t kBitsPerWord = 8 * sizeof(Word);
  static constexpr std::size_t kBitsPerUnit = 2;
  static constexpr std::size_t kWordsPerGranule = kGranule / kUnit * kBitsPerUnit / kBitsPerWord;

  // The state of a unit: what begins there.
  static constexpr unsigned kNothing = 0;
  static constexpr unsigned kStart = 1;                   // the payload of a free Block
  static constexpr unsigned kAllocated = kStart | 2;      // the payload of an allocated Block
  static constexpr Word kStateMask = 3;
  // The start bits of a word: every other bit, from bit 0.
  static constexpr Word kStartBits = ~Word{0} / 3;

  // The map lives as long as the segments it describes and is given back with them
  // (releaseAll), not when the Heap object goes: a heap left standing for threads that outlive
  // it keeps its map too.
  PayloadMap() = default;
  PayloadMap(const PayloadMap&) = delete;
  PayloadMap& operator=(const PayloadMap&) = delete;

  // Makes room for the bits of the range, all clear. False, with nothing changed, when the range
  // is not made of whole granules, lies beyond the addresses the table spans, or the memory for
  // its bits cannot be had.
  bool cover(std::uintptr_t base, std::size_t size);
  // Gives back every leaf and every bit; nothing is covered afterwards.
  void releaseAll();

  // The bits of the granule that holds `address`, or null when no covered range holds it. The
  // first range covered, which mostly holds every Block there is, is looked at before the table.
  Word* granuleBits(std::uintptr_t address) const {
    const std::uintptr_t offset = address - loadPointer(firstBase_);
    if (offset < loadPointer(firstSize_)) [[likely]] {
      // Set before the size, and never cleared: a caller's test for null falls away here.
      Word* const firstBits = loadPointer(firstBits_);
      if (firstBits == nullptr) __builtin_unreachable();
      return firstBits + (offset >> kGranuleShift) * kWordsPerGranule;
    }
    const std::size_t entry = topEntry(address);
    if (entry >= kTopEntries) return nullptr;
    Leaf* leaf = loadPointer(top_[entry]);
    return leaf != nullptr ? loadPointer(leaf->granules[(address >> kGranuleShift) & kLeafMask])
                           : nullptr;
  }
  // The bits of `address`'s granule, given those of `known`'s: the same when both lie in one
  // granule, which neighbouring Blocks mostly do, else looked up.
  Word* granuleBitsNear(Word* knownBits, std::uintptr_t known, std::uintptr_t address) const {
    return ((known ^ address) >> kGranuleShift) == 0 ? knownBits : granuleBits(address);
  }

  // The state of `address`, a multiple of the unit; `bits` are its granule's.
  static unsigned stateAt(const Word* bits, std::uintptr_t address) {
    return static_cast<unsigned>(load(bits[wordIndex(address)]) >> unitBitIndex(address) & kStateMask);
  }
  // The state of any address: kNothing outside the heap and between units.
  unsigned stateOf(std::uintptr_t address) const {
    const Word* bits = granuleBits(address);
    return bits != nullptr && address % kUnit == 0 ? stateAt(bits, address) : kNothing;
  }

  // Whether `address` is the payload of an allocated Block. `bits` are its granule's.
  static bool holds(const Word* bits, std::uintptr_t address) {
    return address % kUnit == 0 && stateAt(bits, address) == kAllocated;
  }
  bool holds(std::uintptr_t address) const {
    const Word* bits = granuleBits(address);
    return bits != nullptr && holds(bits, address);
  }

  // Records an allocated payload, where a free Block's payload began or nothing did. `address`
  // lies in a covered range.
  void mark(std::uintptr_t address) { markIn(granuleBits(address), address); }
  void markIn(Word* bits, std::uintptr_t address) {
    Word& slot = bits[wordIndex(address)];
    store(slot, load(slot) | Word{kAllocated} << unitBitIndex(address));
    ++marked_;
  }
  // Sets the state of `address` outright: kStart where a free Block's payload now begins,
  // kNothing where a Block's payload no longer does. Not for allocated payloads (mark, forget).
  static void setState(Word* bits, std::uintptr_t address, unsigned state) {
    Word& slot = bits[wordIndex(address)];
    const unsigned index = unitBitIndex(address);
    store(slot, (load(slot) & ~(kStateMask << index)) | Word{state} << index);
  }
  void setState(std::uintptr_t address, unsigned state) {
    setState(granuleBits(address), address, state);
  }
  // Clears the start at `address`, a payload that has moved a unit up and is recorded there
  // already: released, so that a reader without the lock that sees it gone sees the new one.
  static void clearMovedStart(Word* bits, std::uintptr_t address) {
    Word& slot = bits[wordIndex(address)];
    std::atomic_ref(slot).store(load(slot) & ~(kStateMask << unitBitIndex(address)),
                                std::memory_order_release);
  }
  // Records a free Block's payload where none began: the payload of a remainder cut off.
  static void start(Word* bits, std::uintptr_t address) {
    Word& slot = bits[wordIndex(address)];
    store(slot, load(slot) | Word{kStart} << unitBitIndex(address));
  }
  // Forgets `address`, an allocated payload (holds() said so), leaving `state` there (kStart while
  // the freed Block begins there, kNothing once it is merged into the Block before). `bits` are
  // its granule's.
  void forget(Word* bits, std::uintptr_t address, unsigned state) {
    Word& slot = bits[wordIndex(address)];
    store(slot, load(slot) & ~(Word{kAllocated ^ state} << unitBitIndex(address)));
    --marked_;
  }
  // Turns a free Block's kStart (the record shows it there) into kNothing, when its Block merged
  // into the one before: the allocated bit is clear already, and only the start bit changes.
  static void unstart(Word* bits, std::uintptr_t address) {
    Word& slot = bits[wordIndex(address)];
    store(slot, load(slot) & ~(Word{kStart} << unitBitIndex(address)));
  }

  // The first unit at or above `address` where a payload begins, below `limit`, or `limit`. Both
  // lie in one covered range.
  std::uintptr_t nextStart(std::uintptr_t address, std::uintptr_t limit) const;
  // Whether a Block whose payload begins at `payload` truly ends at `end` (where the next header
  // would begin): no payload begins in between, and one begins right behind that header, or `end`
  // is the last unit of a covered range (a segment's end marker). Reads only the record, with
  // relaxed loads: a front end may ask without the lock, and a neighbour changing at that moment
  // only makes the answer false.
  bool blockEndsAt(std::uintptr_t payload, std::uintptr_t end) const;
  // The payload bytes of the Block whose payload begins at `payload` (`bits` are its granule's),
  // from the record alone: where the next payload begins, when that lies within a word's worth of
  // units (payloads up to 232 bytes in 64-bit, 52 in 32-bit); else 0.
  // No header is read, so a front end freeing an object that another processor wrote last need
  // not wait for that line to learn the Block's size; and no branch depends on the size.
  //
  // The one change a lock holder makes to where the next payload begins while this Block stays
  // allocated is carving one unit off its front for this Block (a one-unit alignment gap): it
  // records the new start before it clears the old one (Heap::carveOut), so the words, read in
  // address order, show the old start, both, or the new one, and never neither.
  static std::size_t payloadBytesNear(const Word* bits, std::uintptr_t payload) {
    const std::size_t span = spanNear(bits, payload, loadOwn(bits, payload));
    return span > kHeaderSize ? span - kHeaderSize : 0;
  }
  // For `address` (any address in `bits`' granule) when it is an allocated payload: where the next
  // payload begins, in bytes from its header (payloadBytesNear's answer plus the header; no more
  // than the header when the record is damaged there), or kFurther when that lies beyond the
  // words looked at. 0 when it is no allocated payload. All a free needs from the record, from
  // one load of the word that holds `address`'s state.
  static constexpr std::size_t kFurther = 1;
  static std::size_t allocatedFootprintNear(const Word* bits, std::uintptr_t address) {
    if (address % kUnit != 0) return 0;
    const Word own = loadOwn(bits, address);
    if ((own >> unitBitIndex(address) & kStateMask) != kAllocated) return 0;
    const std::size_t span = spanNear(bits, address, own);
    return span != 0 ? span : kFurther;
  }

  // The payload bytes of the Block whose payload begins at `payload` (`bits` are its granule's),
  // from the record alone, when the next payload begins in the same granule no further than that
  // of a Block of `span` bytes would (or in that one's word); else 0. payloadBytesNear's answer for
  // larger Blocks, at the cost of a look at a word for every 256 bytes in 64-bit (64 in 32-bit),
  // read in address order as there.
  static std::size_t payloadBytesWithin(const Word* bits, std::uintptr_t payload,
                                        std::size_t span) {
    std::size_t index = wordIndex(payload);
    // One past the word of the next payload of a Block of `span` bytes, within the granule.
    const std::size_t end = (((payload & (kGranule - 1)) + span + kHeaderSize) >> kWordShift) + 1;
    const std::size_t last = end < kWordsPerGranule ? end : kWordsPerGranule;
    // The start bits after the payload's own.
    Word starts = loadOwn(bits, payload) & kStartBits & ~Word{1} << bitIndex(payload);
    while (starts == 0 && ++index < last) starts = loadAcquire(bits, index) & kStartBits;
    if (starts == 0) return 0;
    return offsetOfFirstStart(index, starts) - (payload & (kGranule - 1)) - kHeaderSize;
  }

  // How many payloads are recorded.
  std::size_t marked() const { return marked_; }

 private:
#ifdef __SIZEOF_INT128__
  __extension__ using TwoWords =
      std::conditional_t<sizeof(Word) == 8, unsigned __int128, std::uint64_t>;
#else
  using TwoWords = std::uint64_t;
#endif
  static_assert(sizeof(TwoWords) == 2 * sizeof(Word));
  static constexpr unsigned kAddressBits = sizeof(Word) == 8 ? 48 : 32;
  static constexpr unsigned kLeafShift = sizeof(Word) == 8 ? 38 : 32;
  static constexpr std::size_t kTopEntries = std::size_t{1} << (kAddressBits - kLeafShift);
  static constexpr std::size_t kLeafSlots = std::size_t{1} << (kLeafShift - kGranuleShift);
  static constexpr std::uintptr_t kLeafMask = kLeafSlots - 1;

  struct Leaf {
    Word* granules[kLeafSlots];
  };
  // Every mapping begins with this header, which chains it for releaseAll.
  struct Mapping {
    Mapping* next;
    std::size_t bytes;
  };

  // Where in its granule the unit of the lowest start bit in `starts` lies, in bytes: `starts` is
  // the granule's word `index`, masked to its start bits, and not 0. What every scan of the bits
  // ends with.
  static std::size_t offsetOfFirstStart(std::size_t index, Word starts) {
    const auto lowest = static_cast<std::size_t>(std::countr_zero(starts));
    return (index * kBitsPerWord + lowest) / kBitsPerUnit * kUnit;
  }
  // The word that holds `payload`'s state, read with acquire (see payloadBytesNear).
  static Word loadOwn(const Word* bits, std::uintptr_t payload) {
    return loadAcquire(bits, wordIndex(payload));
  }
  static Word loadAcquire(const Word* bits, std::size_t index) {
    return std::atomic_ref(const_cast<Word&>(bits[index])).load(std::memory_order_acquire);
  }
  // From the payload's unit to the next payload's, in bytes, when that lies in `own` (the word
  // that holds the payload's state) or the word after it; else 0. The word after a granule's last
  // is the next granule's first, which describes the units that follow, or the word that pads
  // the bits of a range (cover()), which is always 0.
  static std::size_t spanNear(const Word* bits, std::uintptr_t payload, Word own) {
    const std::size_t index = wordIndex(payload);
    const unsigned shift = bitIndex(payload);
    const Word following = load(bits[index + 1]);
    // The start bits from the payload's unit on, its own (bit 0) left out: the two words as one,
    // shifted in one instruction (shrd).
    const auto both = static_cast<TwoWords>(TwoWords{following} << kBitsPerWord | own);
    const Word starts = static_cast<Word>(both >> shift) & kStartBits & ~Word{1};
    if (starts == 0) return 0;
    // Start bits sit at even positions: the count is a whole number of units' bits. Bit 0 is left
    // out, so the span is never 0, which spares callers the test.
    // Counted in 32 bits, whose results need no widening.
    const unsigned span =
        static_cast<unsigned>(std::countr_zero(starts)) * unsigned{kUnit / kBitsPerUnit};
    if (span == 0) __builtin_unreachable();
    return span;
  }

  static constexpr std::size_t topEntry(std::uintptr_t address) {
    if constexpr (kTopEntries == 1) {
      return 0;
    } else {
      return static_cast<std::size_t>(address >> kLeafShift);
    }
  }
  // Unit u of a granule has bits 2u and 2u + 1: the word is u / (bits per word / 2), the first
  // bit 2u modulo the bits per word; written as single shifts and masks of the address.
  static constexpr unsigned kUnitShift = sizeof(Word) == 8 ? 3 : 2;
  static constexpr unsigned kWordShift = kUnitShift + (sizeof(Word) == 8 ? 5 : 4);
  static std::size_t wordIndex(std::uintptr_t address) {
    return (address & (kGranule - 1)) >> kWordShift;
  }
  static unsigned bitIndex(std::uintptr_t address) {
    return static_cast<unsigned>((address >> (kUnitShift - 1)) & (kBitsPerWord - kBitsPerUnit));
  }
  // bitIndex of a multiple of the unit, whose bit below the unit's index is 0 and needs no
  // clearing: the mask left is the one x86 applies to every shift count, which the compiler then
  // leaves out. For the bits of one unit only; a scan over the bits (payload_map.cpp) may start
  // anywhere and uses bitIndex.
  static unsigned unitBitIndex(std::uintptr_t address) {
    return static_cast<unsigned>(address >> (kUnitShift - 1)) & (kBitsPerWord - 1);
  }
  // Bits are written under the heap lock and may be read without it by a front end that frees
  // only what it was handed: relaxed atomic accesses, which compile to plain moves.
  static Word load(const Word& slot) {
    return std::atomic_ref(const_cast<Word&>(slot)).load(std::memory_order_relaxed);
  }
  static void store(Word& slot, Word value) {
    std::atomic_ref(slot).store(value, std::memory_order_relaxed);
  }
  // Zeroed memory of `bytes` after the mapping header, or null.
  void* map(std::size_t bytes);
  // The table's pointers are written once, under the heap lock, and may be read without it: an
  // address is looked up only after the range that holds it was covered, or is not the heap's.
  template <typename Pointer>
  static Pointer loadPointer(Pointer const& slot) {
    return std::atomic_ref(const_cast<Pointer&>(slot)).load(std::memory_order_acquire);
  }
  template <typename Pointer>
  static void storePointer(Pointer& slot, Pointer value) {
    std::atomic_ref(slot).store(value, std::memory_order_release);
  }

  Leaf* top_[kTopEntries] = {};
  // The first range covered and its bits, which lie in one run of memory. Set once, under the
  // heap lock, before any address in the range is handed out; the size last, so that a reader
  // that sees it sees the other two. A size of 0 covers nothing.
  std::uintptr_t firstBase_ = 0;
  std::size_t firstSize_ = 0;
  Word* firstBits_ = nullptr;
  Mapping* mappings_ = nullptr;
  std::size_t marked_ = 0;
};

}  // namespace velk
