#include "heap/payload_map.h"

#include <bit>

#include "pal/pal.h"

namespace velk {

void* PayloadMap::map(std::size_t bytes) {
  const std::size_t total = sizeof(Mapping) + bytes;
  auto* mapping = static_cast<Mapping*>(pal::mapRecords(total));
  if (mapping == nullptr) return nullptr;
  *mapping = {mappings_, total};
  mappings_ = mapping;
  return mapping + 1;
}

bool PayloadMap::cover(std::uintptr_t base, std::size_t size) {
  if (size == 0 || base % kGranule != 0 || size % kGranule != 0) return false;
  const std::uintptr_t last = base + (size - 1);
  if (last < base || topEntry(last) >= kTopEntries) return false;
  // A range may cross from one leaf into the next. A leaf mapped for a range that then fails is
  // left in place, empty: it changes no answer.
  for (std::size_t entry = topEntry(base); entry <= topEntry(last); ++entry) {
    if (top_[entry] == nullptr) storePointer(top_[entry], static_cast<Leaf*>(map(sizeof(Leaf))));
    if (top_[entry] == nullptr) return false;
  }
  const std::size_t granules = size / kGranule;
  // One word more than the granules need, never written: what spanNear reads past the last.
  auto* bits = static_cast<Word*>(map((granules * kWordsPerGranule + 1) * sizeof(Word)));
  if (bits == nullptr) return false;
  for (std::size_t granule = 0; granule < granules; ++granule) {
    const std::uintptr_t address = base + granule * kGranule;
    storePointer(top_[topEntry(address)]->granules[(address >> kGranuleShift) & kLeafMask],
                 bits + granule * kWordsPerGranule);
  }
  if (firstSize_ == 0) {
    storePointer(firstBits_, bits);
    storePointer(firstBase_, base);
    storePointer(firstSize_, size);
  }
  return true;
}

void PayloadMap::releaseAll() {
  storePointer(firstSize_, std::size_t{0});
  while (Mapping* mapping = mappings_) {
    mappings_ = mapping->next;
    pal::unmapRecords(mapping, mapping->bytes);
  }
  for (Leaf*& leaf : top_) leaf = nullptr;
  marked_ = 0;
}

}  // namespace velk

namespace velk {

std::uintptr_t PayloadMap::nextStart(std::uintptr_t address, std::uintptr_t limit) const {
  while (address < limit) {
    const Word* bits = granuleBits(address);
    const std::uintptr_t granule = address & ~(kGranule - 1);
    std::size_t index = wordIndex(address);
    Word word = load(bits[index]) & kStartBits & (~Word{0} << bitIndex(address));
    while (word == 0 && ++index < kWordsPerGranule) word = load(bits[index]) & kStartBits;
    if (word != 0) {
      const std::uintptr_t found = granule + offsetOfFirstStart(index, word);
      return found < limit ? found : limit;
    }
    address = granule + kGranule;
  }
  return limit;
}

bool PayloadMap::blockEndsAt(std::uintptr_t payload, std::uintptr_t end) const {
  if (end < payload || end % kUnit != 0) return false;
  const std::uintptr_t nextPayload = end + kHeaderSize;
  for (std::uintptr_t address = payload + kUnit;;) {
    const Word* bits = granuleBits(address);
    if (bits == nullptr) return false;
    const std::uintptr_t granule = address & ~(kGranule - 1);
    const std::uintptr_t granuleEnd = granule + kGranule;
    // The last unit to look at in this granule: the next payload, or the granule's last unit.
    const std::uintptr_t last = nextPayload < granuleEnd ? nextPayload : granuleEnd - kUnit;
    for (std::size_t index = wordIndex(address); index <= wordIndex(last); ++index) {
      Word word = load(bits[index]) & kStartBits;
      if (index == wordIndex(address)) word &= ~Word{0} << bitIndex(address);
      if (index == wordIndex(last) && bitIndex(last) + kBitsPerUnit < kBitsPerWord)
        word &= (Word{1} << (bitIndex(last) + kBitsPerUnit)) - 1;
      if (word != 0) return granule + offsetOfFirstStart(index, word) == nextPayload;
    }
    if (nextPayload < granuleEnd) return false;
    // Past this granule: the end marker when no covered range goes on.
    if (end == granuleEnd - kUnit && granuleBits(granuleEnd) == nullptr) return true;
    address = granuleEnd;
  }
}

}  // namespace velk
