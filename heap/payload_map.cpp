#include "heap/payload_map.h"

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
  auto* bits = static_cast<Word*>(map(granules * kWordsPerGranule * sizeof(Word)));
  if (bits == nullptr) return false;
  for (std::size_t granule = 0; granule < granules; ++granule) {
    const std::uintptr_t address = base + granule * kGranule;
    storePointer(top_[topEntry(address)]->granules[(address >> kGranuleShift) & kLeafMask],
                 bits + granule * kWordsPerGranule);
  }
  return true;
}

void PayloadMap::releaseAll() {
  while (Mapping* mapping = mappings_) {
    mappings_ = mapping->next;
    pal::unmapRecords(mapping, mapping->bytes);
  }
  for (Leaf*& leaf : top_) leaf = nullptr;
  marked_ = 0;
}

}  // namespace velk
