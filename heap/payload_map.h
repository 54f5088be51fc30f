// Which unit addresses are the payloads of allocated Blocks, recorded apart from the Blocks.
//
// A pointer is freed, sized or resized only when its bit is set here. Nothing a caller writes into
// a payload (words that look like headers, links to anywhere, whole forged chains of Blocks) can
// set a bit, so the heap never reads a header it did not write itself, never follows a link a
// caller forged, and never writes on the strength of one.
//
// One bit per unit of every range the heap took from the system. Ranges start at multiples of
// 64 KiB and span whole 64 KiB granules, so each granule belongs to one range alone, and a
// two-level table finds a granule's bits from the address:
//
//              | top entry | granule of the leaf | unit of the granule | byte of the unit |
//   32-bit:    |     -     |       16 bits       |       14 bits       |      2 bits      |
//   64-bit:    |  10 bits  |       22 bits       |       13 bits       |      3 bits      |
//
// A granule's bits are non-null exactly when a covered range holds it: the table also answers
// whether an address lies in the heap at all. Leaves and bits are mapped from the system apart
// from the segments, so every segment keeps exactly the size it was asked for; their pages are
// backed only where they are touched, and they are given back all at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "heap/units.h"

namespace velk {

class PayloadMap {
 public:
  static constexpr unsigned kGranuleShift = 16;
  static constexpr std::size_t kGranule = std::size_t{1} << kGranuleShift;
  static constexpr std::size_t kBitsPerWord = 8 * sizeof(Word);
  static constexpr std::size_t kWordsPerGranule = kGranule / kUnit / kBitsPerWord;

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

  // The bits of the granule that holds `address`, or null when no covered range holds it.
  Word* granuleBits(std::uintptr_t address) const {
    const std::size_t entry = topEntry(address);
    if (entry >= kTopEntries) return nullptr;
    Leaf* leaf = loadPointer(top_[entry]);
    return leaf != nullptr ? loadPointer(leaf->granules[(address >> kGranuleShift) & kLeafMask])
                           : nullptr;
  }

  // Whether `address` is the payload of an allocated Block. `bits` are its granule's.
  static bool holds(const Word* bits, std::uintptr_t address) {
    return address % kUnit == 0 && (std::atomic_ref(const_cast<Word&>(bits[wordIndex(address)]))
                                        .load(std::memory_order_relaxed) &
                                    bitOf(address)) != 0;
  }
  bool holds(std::uintptr_t address) const {
    const Word* bits = granuleBits(address);
    return bits != nullptr && holds(bits, address);
  }

  // Records an allocated payload. `address` lies in a covered range.
  void mark(std::uintptr_t address) {
    const Leaf* leaf = top_[topEntry(address)];
    std::atomic_ref word(
        leaf->granules[(address >> kGranuleShift) & kLeafMask][wordIndex(address)]);
    word.store(word.load(std::memory_order_relaxed) | bitOf(address), std::memory_order_relaxed);
    ++marked_;
  }
  // Forgets `address` when it is an allocated payload, and tells whether it was. `bits` are its
  // granule's.
  bool forget(Word* bits, std::uintptr_t address) {
    if (address % kUnit != 0) return false;
    std::atomic_ref word(bits[wordIndex(address)]);
    const Word held = word.load(std::memory_order_relaxed);
    // Tested and cleared by its index, as one bit-test and one bit-reset instruction.
    const unsigned index = bitIndex(address);
    if ((held >> index & 1) == 0) return false;
    word.store(held & ~(Word{1} << index), std::memory_order_relaxed);
    --marked_;
    return true;
  }

  // How many payloads are recorded.
  std::size_t marked() const { return marked_; }

 private:
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

  static constexpr std::size_t topEntry(std::uintptr_t address) {
    if constexpr (kTopEntries == 1) {
      return 0;
    } else {
      return static_cast<std::size_t>(address >> kLeafShift);
    }
  }
  static std::size_t wordIndex(std::uintptr_t address) {
    return (address & (kGranule - 1)) / kUnit / kBitsPerWord;
  }
  static unsigned bitIndex(std::uintptr_t address) {
    return static_cast<unsigned>(address / kUnit % kBitsPerWord);
  }
  static Word bitOf(std::uintptr_t address) { return Word{1} << bitIndex(address); }
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
  Mapping* mappings_ = nullptr;
  std::size_t marked_ = 0;
};

}  // namespace velk
