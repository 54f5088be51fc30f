// What the heap checks before it trusts a word it reads from a Block: a header, a bin link or an
// end marker. A host that writes past a payload or into a freed one can change any of them; the
// record of payloads (heap/payload_map.h) and the segment table cannot be reached that way, so
// each word is held against them. Inline: an allocation and a free each check a few headers and
// links, most of them in the granule of the payload at hand.
#pragma once

namespace velk {

// Most heaps never grow past their first segment: it is looked at first, apart from the loop.
inline bool Heap::isSegmentBase(std::uintptr_t address) const {
  if (segments_[0].base == address) [[likely]]
    return true;
  for (int index = 1; index < segmentCount_; ++index) {
    if (segments_[index].base == address) return true;
  }
  return false;
}

// Whether a free Block begins at `block`, as the record has it: a neighbour in a bin is read only
// then, and trusted only when it links back. Being inside a segment is not enough: a stray write
// of a link that names an address inside the Block itself or its successor's header (its own
// payload, for a Block of two units) finds there a word that points back, the successor's back
// link, and so would a link to a Block long merged away, whose old links are still in place.
// (A fragment of no units whose payload begins at a segment's end marker has its second link
// past the segment: a granule's last unit is looked at once more.)
inline bool Heap::recordedFreeAt(const Block* block) const {
  const auto payload = reinterpret_cast<std::uintptr_t>(block) + kHeaderSize;
  const Word* bits = payloads_.granuleBits(payload);
  if (bits == nullptr || payload % kUnit != 0 ||
      PayloadMap::stateAt(bits, payload) != PayloadMap::kStart) {
    return false;
  }
  return ((payload + kUnit) & (PayloadMap::kGranule - 1)) != 0 || !isSegmentEndMarker(payload);
}

inline const Segment* Heap::segmentEndingAt(std::uintptr_t address) const {
  if (segments_[0].end() - kUnit == address) [[likely]]
    return &segments_[0];
  for (int index = 1; index < segmentCount_; ++index) {
    if (segments_[index].end() - kUnit == address) return &segments_[index];
  }
  return nullptr;
}

inline bool Heap::isSegmentEndMarker(std::uintptr_t address) const {
  return segmentEndingAt(address) != nullptr;
}

// A segment's end is a granule's end, so its end marker is never in the granule of a payload in
// front of it: only a Block whose successor lies in another granule can be the segment's last.
inline unsigned Heap::stateBehind(Word* bits, std::uintptr_t payload, std::uintptr_t next,
                                  Word*& nextBits) const {
  const std::uintptr_t nextPayload = next + kHeaderSize;
  if (((payload ^ nextPayload) >> PayloadMap::kGranuleShift) == 0) [[likely]] {
    nextBits = bits;
  } else {
    if (const Segment* segment = segmentEndingAt(next)) {
      // Only the segment's last Block ends there: a size that a stray write made run exactly to
      // the end marker is another Block's.
      return Block::at(next)->isEndMarker() && segment->last == Block::at(payload - kHeaderSize)
                 ? kEndOfSegment
                 : PayloadMap::kNothing;
    }
    nextBits = payloads_.granuleBits(nextPayload);
    if (nextBits == nullptr) return PayloadMap::kNothing;
  }
  return PayloadMap::stateAt(nextBits, nextPayload);
}

// `next` is where `block`'s header says the following Block begins; `bits` are the record's for
// `payload`, block's payload. True when the record shows a payload right behind next's header,
// and next's header points back to `block` and carries the record's allocated flag (and, for a
// free `block`, whose neighbours are never free, says allocated); or when next is the end marker
// of a segment, intact. Nothing at next is read before the record or the segment table vouches
// for it.
inline bool Heap::successorTrue(const Word* bits, std::uintptr_t payload, const Block* block,
                                const Block* next, bool mustBeAllocated, bool* endOfSegment) const {
  Word* nextBits;
  const unsigned state = stateBehind(const_cast<Word*>(bits), payload,
                                     reinterpret_cast<std::uintptr_t>(next), nextBits);
  if (endOfSegment != nullptr) *endOfSegment = state == kEndOfSegment;
  if (state == kEndOfSegment) return true;
  if (state == PayloadMap::kNothing) return false;
  const bool allocated = state == PayloadMap::kAllocated;
  return next->prevBlock == block && next->isAllocated() == allocated &&
         (allocated || !mustBeAllocated);
}

// What the record says of `before`, which `block`'s header names as the Block in front of it
// (`bits` are the record's for `payload`, block's payload; `before` is not null): kStart or
// kAllocated when a payload begins right behind before's header and that header, read once into
// `beforeWord`, ends exactly at `block` and carries the record's flag; kNothing otherwise. The
// header is read only once the record shows a payload there.
inline unsigned Heap::stateInFront(const Word* bits, std::uintptr_t payload, const Block* block,
                                   const Block* before, Word& beforeWord) const {
  const std::uintptr_t beforePayload = reinterpret_cast<std::uintptr_t>(before) + kHeaderSize;
  if (beforePayload % kUnit != 0 || beforePayload >= payload) return PayloadMap::kNothing;
  const Word* beforeBits =
      payloads_.granuleBitsNear(const_cast<Word*>(bits), payload, beforePayload);
  if (beforeBits == nullptr) return PayloadMap::kNothing;
  const unsigned state = PayloadMap::stateAt(beforeBits, beforePayload);
  if (state == PayloadMap::kNothing) return state;
  beforeWord = before->sizeAndFlag;
  const bool endsHere = beforePayload + unitsToBytes(beforeWord & kSizeMask) ==
                        reinterpret_cast<std::uintptr_t>(block);
  // The flag is the record's, and no bit between it and the most units is set.
  const bool flagTrue =
      (beforeWord & ~kMostUnits) == (state == PayloadMap::kAllocated ? kAllocatedBit : 0);
  return endsHere && flagTrue ? state : PayloadMap::kNothing;
}

// `before` is what `block`'s header names as the Block in front of it: none only at the base of a
// segment; otherwise a Block the record shows, whose header carries the record's flag and ends
// exactly at `block`.
inline bool Heap::predecessorTrue(const Word* bits, std::uintptr_t payload, const Block* block,
                                  const Block* before) const {
  if (before == nullptr) return isSegmentBase(reinterpret_cast<std::uintptr_t>(block));
  Word beforeWord;
  return stateInFront(bits, payload, block, before, beforeWord) != PayloadMap::kNothing;
}

// The bin links of a filed Block of `sizeClass`: each neighbour is a free Block the record shows,
// linking back; a Block without a neighbour on one side is that end of its bin.
inline bool Heap::linksTrue(const Block* block, const Block* nextFree, const Block* prevFree,
                            std::size_t sizeClass) const {
  const Bin& bin = bins_[sizeClass];
  if (prevFree == nullptr ? bin.head != block
                          : !recordedFreeAt(prevFree) || prevFree->nextFree != block) {
    return false;
  }
  return nextFree == nullptr ? bin.tail == block
                             : recordedFreeAt(nextFree) && nextFree->prevFree == block;
}

// A Block taken from the bin of `sizeClass`, whose header reads `units` and links `nextFree` and
// `prevFree` (`bits` are the record's for `payload`, its payload): free, filed, ending where the
// record says, with true links. (The bins themselves hold only Blocks the heap checked.) The Block
// behind is found from `units`, the header as it was read.
inline bool Heap::freeBlockTrue(const Word* bits, std::uintptr_t payload, const Block* block,
                                Word units, const Block* nextFree, const Block* prevFree,
                                std::size_t sizeClass, Block** successor) const {
  // freeHeader, and filed: one comparison.
  if (units - kLeastFiledUnits > kMostUnits - kLeastFiledUnits) return false;
  Block* const next = Block::at(payload + unitsToBytes(units));
  bool endOfSegment;
  if (!successorTrue(bits, payload, block, next, true, &endOfSegment)) return false;
  if (successor != nullptr) *successor = endOfSegment ? nullptr : next;
  return linksTrue(block, nextFree, prevFree, sizeClass);
}

// Carving `block` at `align` may leave a one-unit gap in front of the payload, which goes to the
// Block before: that Block must be the allocated one the record shows there.
// `before` is set to that Block, as checked, for the carve to use: the back link is read once.
inline bool Heap::giftTrue(const Word* bits, std::uintptr_t payload, const Block* block,
                           std::size_t align, Block*& before) const {
  // The gap up to the next multiple of `align`, written as carving computes it.
  if (((payload + align - 1) & ~(align - 1)) - payload != kUnit) [[likely]]
    return true;
  // The record vouches for `before` before its header is read: a stray write may have left any
  // address in the back link.
  before = block->prevBlock;
  Word beforeWord;
  return before != nullptr &&
         stateInFront(bits, payload, block, before, beforeWord) == PayloadMap::kAllocated;
}

// A free Block that a check of its allocated neighbour vouched for (its header's flag and place):
// its own header ends where the record says, and its links are true when it is filed.
inline bool Heap::freeNeighbourTrue(const Block* block) const {
  const std::uintptr_t payload = reinterpret_cast<std::uintptr_t>(block->payload());
  const Word units = block->sizeAndFlag;
  return freeHeader(units) &&
         successorTrue(payloads_.granuleBits(payload), payload, block, block->following(), true) &&
         (units < kLeastFiledUnits ||
          linksTrue(block, block->nextFree, block->prevFree, classOf(unitsToBytes(units))));
}

// The free Block a search found (`bits` are the record's for `payload`, its payload), held to the
// record before it is carved at `align`: its header (its units alone), the Block behind it and its
// bin links, each read once into `vacancy` and `successor` and used as read; `before` as giftTrue
// checked it. False when a check fails.
[[gnu::always_inline]] inline bool Heap::foundTrue(Found found, const Word* bits,
                                                   std::uintptr_t payload, std::size_t align,
                                                   Vacancy& vacancy, Block*& successor,
                                                   Block*& before) {
  vacancy = vacancyOf(found.block, found.block->sizeAndFlag, found.sizeClass);
  before = nullptr;
  return freeBlockTrue(bits, payload, found.block, vacancy.units, vacancy.nextFree,
                       vacancy.prevFree, found.sizeClass, &successor) &&
         giftTrue(bits, payload, found.block, align, before);
}

// A free neighbour of `units` units, as a merge or a resize will use it: for a filed one, its
// links, read once and true, and its class. False when the links are not.
[[gnu::always_inline]] inline bool Heap::readFreeNeighbour(Block* block, Word units,
                                                           Vacancy& neighbour) const {
  neighbour.block = block;
  neighbour.units = units;
  if (units < kLeastFiledUnits) {
    // A fragment: in no bin, and never left.
    neighbour.nextFree = neighbour.prevFree = nullptr;
    neighbour.sizeClass = 0;
    return true;
  }
  neighbour.nextFree = block->nextFree;
  neighbour.prevFree = block->prevFree;
  neighbour.sizeClass = classOf(unitsToBytes(units));
  return linksTrue(block, neighbour.nextFree, neighbour.prevFree, neighbour.sizeClass);
}

// What lies behind the allocated Block at `payload` (`bits` are the record's for it), as a resize
// uses it, each word read once and checked before it is used: `units`, the Block's size from its
// header; `next`, the free Block behind (with `next.block` null when the Block behind is allocated
// or the end marker); `after`, the Block behind that free one, or the allocated Block behind, null
// at the segment's end. False when a check fails.
inline bool Heap::readBehindAllocated(Word* bits, std::uintptr_t payload, Word& units,
                                      Vacancy& next, Block*& after) const {
  next.block = nullptr;
  after = nullptr;
  Block* const block = Block::at(payload - kHeaderSize);
  const Word word = block->sizeAndFlag;
  if (!allocatedHeader(word)) return false;
  units = word - kAllocatedBit;
  const std::uintptr_t nextAddress = payload + unitsToBytes(units);
  Block* const candidate = Block::at(nextAddress);
  Word* nextBits;
  const unsigned state = stateBehind(bits, payload, nextAddress, nextBits);
  if (state == kEndOfSegment) return true;
  if (state == PayloadMap::kNothing || candidate->prevBlock != block) return false;
  const Word nextWord = candidate->sizeAndFlag;
  if (state == PayloadMap::kAllocated) {
    after = candidate;
    return allocatedHeader(nextWord);
  }
  if (!freeHeader(nextWord)) return false;
  const std::uintptr_t nextPayload = nextAddress + kHeaderSize;
  Block* const following = Block::at(nextPayload + unitsToBytes(nextWord));
  bool endOfSegment;
  if (!successorTrue(nextBits, nextPayload, candidate, following, true, &endOfSegment)) {
    return false;
  }
  after = endOfSegment ? nullptr : following;
  return readFreeNeighbour(candidate, nextWord, next);
}

// An allocated Block, the record says (`bits` are those of `payload`, its payload): its header
// says so too, and names its true neighbours on both sides. `units` is the size it holds, read
// once.
inline bool Heap::allocatedBlockTrue(const Word* bits, std::uintptr_t payload, const Block* block,
                                     Word& units) const {
  const Word word = block->sizeAndFlag;
  if (!allocatedHeader(word)) return false;
  units = word - kAllocatedBit;
  return successorTrue(bits, payload, block, Block::at(payload + unitsToBytes(units)), false) &&
         predecessorTrue(bits, payload, block, block->prevBlock);
}

}  // namespace velk
