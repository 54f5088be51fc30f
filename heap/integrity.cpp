// Putting right what a stray write changed: every header, end marker and bin link is rebuilt
// from the record of payloads and the segment table, which no write into a payload can reach.
// Nothing here runs for a heap without stray writes, except the checks that find nothing.
#include "heap/heap.h"

namespace velk {
namespace {

Word wordOf(const void* pointer) {
  return reinterpret_cast<Word>(pointer);
}

// Every Block of `segment` as the record has it, in address order: its header, the header before
// it (null for the first), its payload units and whether it is allocated. Headers are not read.
template <typename Visit>
void forEachRecordedBlock(const PayloadMap& record, const Segment& segment, Visit visit) {
  const std::uintptr_t end = segment.end();
  Block* before = nullptr;
  for (std::uintptr_t payload = record.nextStart(segment.base + kHeaderSize, end);
       payload < end;) {
    const std::uintptr_t nextPayload = record.nextStart(payload + kUnit, end);
    const std::uintptr_t blockEnd = nextPayload < end ? nextPayload - kHeaderSize : end - kUnit;
    Block* block = Block::at(payload - kHeaderSize);
    visit(block, before, static_cast<Word>((blockEnd - payload) / kUnit),
          record.stateOf(payload) == PayloadMap::kAllocated);
    before = block;
    payload = nextPayload;
  }
}

}  // namespace

void Heap::noteDamage(const Damage& damage) {
  const std::uint64_t index = damageFound_.load(std::memory_order_relaxed);
  if (index < kListedDamage) damage_[index] = damage;
  damageFound_.store(index + 1, std::memory_order_release);
}

bool Heap::blockTrue(const Block* block) const {
  const std::uintptr_t payload = reinterpret_cast<std::uintptr_t>(block->payload());
  const Word* bits = payloads_.granuleBits(payload);
  if (bits == nullptr || payload % kUnit != 0) return false;
  const unsigned state = PayloadMap::stateAt(bits, payload);
  Word units;
  if (state == PayloadMap::kAllocated) return allocatedBlockTrue(bits, payload, block, units);
  return state == PayloadMap::kStart && !block->isAllocated() &&
         predecessorTrue(bits, payload, block, block->prevBlock) && freeNeighbourTrue(block);
}

// Each Block's header as the record has it: its payload runs to where the next payload's header
// begins (or to the end marker), its flag is the record's, and its back link names the Block
// before it.
std::size_t Heap::repairHeaders(Segment& segment) {
  std::size_t findings = 0;
  forEachRecordedBlock(payloads_, segment, [&](Block* block, Block* before, Word units,
                                               bool allocated) {
    segment.last = block;
    const Word sizeAndFlag = units | (allocated ? kAllocatedBit : 0);
    if (block->sizeAndFlag != sizeAndFlag || block->prevBlock != before) {
      noteDamage({reinterpret_cast<std::uintptr_t>(block), "header",
                  {block->sizeAndFlag, wordOf(block->prevBlock)},
                  {sizeAndFlag, wordOf(before)}});
      ++findings;
      block->sizeAndFlag = sizeAndFlag;
      block->prevBlock = before;
    }
  });
  Word* endMarker = segment.endMarker();
  if (*endMarker != kEndMarker) {
    noteDamage({reinterpret_cast<std::uintptr_t>(endMarker), "end marker", {*endMarker, 0},
                {kEndMarker, 0}});
    ++findings;
    *endMarker = kEndMarker;
  }
  return findings;
}

// The bins, when a link in them is not what the record allows: each walked from its head, every
// Block on the way a filed free Block of the bin's class that links back; and all of them
// together every free Block that the headers (already put right) show. If any of that fails, the
// bins are filed anew, every free Block in address order.
std::size_t Heap::repairBins() {
  const Block* broken = nullptr;
  std::size_t listed = 0;
  for (std::size_t sizeClass = 0; sizeClass < kNumBins && broken == nullptr; ++sizeClass) {
    const Bin& bin = bins_[sizeClass];
    const Block* previous = nullptr;
    std::uint32_t count = 0;
    for (const Block* block = bin.head; block != nullptr; block = block->nextFree) {
      // Computed, not read: a link a stray write changed may point anywhere.
      const std::uintptr_t payload = reinterpret_cast<std::uintptr_t>(block) + kHeaderSize;
      // The Block whose link led here is the one whose links are wrong.
      const Block* linking = previous != nullptr ? previous : block;
      if (payloads_.stateOf(payload) != PayloadMap::kStart || count == bin.count) {
        broken = linking;
        break;
      }
      if (block->prevFree != previous || block->sizeAndFlag < kLeastFiledUnits ||
          classOf(block->payloadBytes()) != sizeClass) {
        broken = block;
        break;
      }
      previous = block;
      ++count;
    }
    if (broken == nullptr && (previous != bin.tail || count != bin.count)) {
      broken = previous != nullptr ? previous : bin.tail;
      if (broken == nullptr) broken = bin.head;
    }
    listed += count;
  }
  std::size_t freeCount = 0;
  if (broken == nullptr) {
    for (int index = 0; index < segmentCount_; ++index) {
      for (const Block* block = segments_[index].firstBlock(); block != nullptr;
           block = segments_[index].after(block)) {
        if (!block->isAllocated() && block->sizeAndFlag >= kLeastFiledUnits) ++freeCount;
      }
    }
    if (freeCount == listed) return 0;
  }

  // A broken Block is named with the links it had; its own first units may have been all that
  // was written.
  if (broken != nullptr) {
    noteDamage({reinterpret_cast<std::uintptr_t>(broken), "bin links",
                {wordOf(broken->nextFree), wordOf(broken->prevFree)}, {0, 0}});
  } else {
    noteDamage({0, "bin links", {listed, freeCount}, {freeCount, freeCount}});
  }
  for (Bin& bin : bins_) bin = {nullptr, nullptr, 0};
  for (std::uint32_t& word : binBitmap_) word = 0;
  occupiedWords_ = 0;
  stats_.freeBlocks = 0;
  stats_.totalFree = 0;
  // Filed by the record alone, each free Block's header written from it as it goes: another
  // thread's stray write may land in a header at any moment, even while the lock is held.
  for (int index = 0; index < segmentCount_; ++index) {
    forEachRecordedBlock(payloads_, segments_[index], [&](Block* block, Block* before, Word units,
                                                          bool allocated) {
      if (allocated) return;
      block->sizeAndFlag = units;
      block->prevBlock = before;
      insertFree(block, units);
    });
  }
  return 1;
}

// The quick look that comes first: every header, walked from the segment's base, is checked as an
// operation checks it (a payload where it says a Block begins, its flag, its back link, the end
// marker). Only what fails here pays for the walk over every bit of the record.
bool Heap::headersTrue(const Segment& segment) const {
  const std::uintptr_t marker = segment.end() - kUnit;
  const Block* before = nullptr;
  const Word* bits = nullptr;
  std::uintptr_t known = 0;
  for (std::uintptr_t at = segment.base; at != marker;) {
    const Block* block = Block::at(at);
    const std::uintptr_t payload = at + kHeaderSize;
    bits = payloads_.granuleBitsNear(const_cast<Word*>(bits), known, payload);
    known = payload;
    // Read once: another thread may be writing into it, and the walk must stay in the segment.
    const Word word = block->sizeAndFlag;
    const Word units = word & kSizeMask;
    if (bits == nullptr || block->prevBlock != before || units > (marker - payload) / kUnit) {
      return false;
    }
    const unsigned state = PayloadMap::stateAt(bits, payload);
    if (state == PayloadMap::kNothing ||
        ((word & kAllocatedBit) != 0) != (state == PayloadMap::kAllocated)) {
      return false;
    }
    before = block;
    at = payload + unitsToBytes(units);
  }
  return *segment.endMarker() == kEndMarker && segment.last == before;
}

std::size_t Heap::repairSegments() {
  std::size_t findings = 0;
  for (int index = 0; index < segmentCount_; ++index) {
    if (!headersTrue(segments_[index])) findings += repairHeaders(segments_[index]);
  }
  return findings;
}

std::size_t Heap::repair() {
  const std::size_t findings = repairSegments();
  return findings + repairBins();
}

}  // namespace velk
