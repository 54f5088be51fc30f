// The byte pattern a stress test writes into every payload it holds and checks before the payload
// goes back: an allocator that hands one payload out twice, or writes its own data into a live
// one, breaks the pattern. Each test picks its own factors, so patterns of different tests never
// agree by accident.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velk::stress {

struct PayloadPattern {
  std::uint32_t idFactor;
  std::size_t offsetFactor;
  // 0x7F keeps the top bit of every byte clear, so that no payload word can pass for the header
  // of an allocated Block when a bad pointer makes the allocator look at it.
  unsigned mask;
  // Payloads up to this size carry the pattern throughout; larger ones only in `edgeBytes` at
  // each end, so that huge Blocks cost address space but little memory.
  std::size_t fullBytes;
  std::size_t edgeBytes;

  unsigned char byte(std::uint32_t id, std::size_t offset) const {
    return static_cast<unsigned char>((id * idFactor + offset * offsetFactor) & mask);
  }

  // Calls `visit` for every offset of a `size`-byte payload that carries the pattern.
  template <typename Visit>
  void forEachOffset(std::size_t size, Visit visit) const {
    if (size <= fullBytes) {
      for (std::size_t offset = 0; offset < size; ++offset) visit(offset);
      return;
    }
    for (std::size_t offset = 0; offset < edgeBytes; ++offset) visit(offset);
    for (std::size_t offset = size - edgeBytes; offset < size; ++offset) visit(offset);
  }

  void fill(unsigned char* payload, std::size_t size, std::uint32_t id) const {
    forEachOffset(size, [&](std::size_t offset) { payload[offset] = byte(id, offset); });
  }

  bool holds(const unsigned char* payload, std::size_t size, std::uint32_t id) const {
    bool intact = true;
    forEachOffset(size, [&](std::size_t offset) {
      if (payload[offset] != byte(id, offset)) intact = false;
    });
    return intact;
  }

  // The first `count` bytes, the part a resize keeps in place or copies, still carry the
  // pattern of `id`.
  bool prefixHolds(const unsigned char* payload, std::size_t count, std::uint32_t id) const {
    for (std::size_t offset = 0; offset < count; ++offset) {
      if (payload[offset] != byte(id, offset)) return false;
    }
    return true;
  }
};

}  // namespace velk::stress
