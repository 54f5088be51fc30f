// One interpreter of allocator operations, for the randomized engine test, the fuzz target, the
// engine's thread stress and the stress of the built library through its exports. It decodes
// operations from bytes (a fuzzer's input, or a seeded generator's) and holds the allocator to
// its promises after each: payloads aligned, inside the heap, never overlapping, keeping every
// byte written into them; sizes at least what was asked; counters exact; validate() clean; words
// of every shape written into payloads, and pointers into them, ignored; a buggy host's stray
// writes found and put right.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "heap/heap.h"
#include "tests/support/fake_address_space.h"

namespace velk::host {
struct AllocatorExports;
}

namespace velk::testing {

// A figure of the 32-bit heap, and the same figure of the 64-bit one.
constexpr std::size_t w(std::size_t narrow, std::size_t wide) {
  return kUnit == 4 ? narrow : wide;
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return position_ >= size_; }
  // Little-endian, and 0 where the input has ended.
  std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
  std::uint64_t bytes(std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t index = 0; index < count; ++index) value |= std::uint64_t{byte()} << 8 * index;
    return value;
  }
  std::uint32_t u16() { return static_cast<std::uint32_t>(bytes(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(bytes(4)); }
  Word word() { return static_cast<Word>(bytes(kUnit)); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// What a run drives: the engine over a fake address space, taking the heap's lock around every
// call as the exports do, or a loaded library through its exports.
struct Target {
  Heap* heap = nullptr;
  FakeAddressSpace* space = nullptr;
  const host::AllocatorExports* exports = nullptr;
  // Other runs use the same allocator at once: this run touches only its own Blocks, and the
  // heap's counters can be checked only once all have finished.
  bool shared = false;
  std::size_t maxLive = 400;
};

// With nothing allocated: no allocated bytes counted, and one free Block spanning each segment.
void checkEmpty(const Heap& heap);
[[noreturn]] void fail(const char* what);

// One run on a fresh engine over an address space of its own, whose page size the first byte
// picks; every range must be given back when the engine goes.
void runOnFreshHeap(Input& input, std::size_t limit, std::size_t arenaSize, std::size_t maxLive);
// What the fuzz target does with one input. Its arena has room for Blocks of the catch-all class
// in 64-bit builds; only the pages a run touches cost memory.
inline void runFuzzInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  runOnFreshHeap(input, 512, sizeof(void*) == 8 ? std::size_t{2} << 30 : 0x20000000, 400);
}

// How long the threads of a stress run go: for `seconds`, or else `operations` each.
struct StressOptions {
  double seconds = 0;
  std::size_t operations = 20000;
  unsigned threads = 4;
  std::uint64_t seed = 0;
};
// Runs the interpreter on a target that other threads may share, fed by a generator seeded with
// `seed`, until `operations` have run or `stop` turns true; then frees what it holds. Returns the
// allocations and frees it made.
std::pair<std::uint64_t, std::uint64_t> runShared(Target target, std::uint64_t seed,
                                                  std::size_t operations,
                                                  const std::atomic<bool>& stop);
// Runs one interpreter per thread on a shared target, each fed by a generator of its own; returns
// the allocations and frees they made, in total.
std::pair<std::uint64_t, std::uint64_t> runThreads(const Target& target,
                                                   const StressOptions& options);

}  // namespace velk::testing
