#include "payload_pattern.h"

namespace velk::host {
namespace {

constexpr std::uint32_t kWholeBelow = 4096;
constexpr std::uint32_t kEdgeBytes = 64;
constexpr std::uint32_t kPageStride = 4096;

unsigned char patternByte(unsigned char mark, std::uint32_t offset) {
  return static_cast<unsigned char>(mark + offset * 7u);
}

// Calls `visit(offset)` for every offset the pattern covers.
template <typename Visit>
bool everyPatternOffset(std::uint32_t size, Visit visit) {
  if (size <= kWholeBelow) {
    for (std::uint32_t offset = 0; offset < size; ++offset) {
      if (!visit(offset)) return false;
    }
    return true;
  }
  for (std::uint32_t offset = 0; offset < kEdgeBytes; ++offset) {
    if (!visit(offset)) return false;
  }
  for (std::uint32_t offset = kEdgeBytes; offset < size - kEdgeBytes; offset += kPageStride) {
    if (!visit(offset)) return false;
  }
  for (std::uint32_t offset = size - kEdgeBytes; offset < size; ++offset) {
    if (!visit(offset)) return false;
  }
  return true;
}

}  // namespace

void writePattern(const Held& held) {
  everyPatternOffset(held.size, [&](std::uint32_t offset) {
    held.payload[offset] = patternByte(held.mark, offset);
    return true;
  });
}

bool patternIntact(const Held& held) {
  return everyPatternOffset(held.size, [&](std::uint32_t offset) {
    return held.payload[offset] == patternByte(held.mark, offset);
  });
}

std::uint32_t alignmentFor(std::uint32_t size) {
  if (size >= 16) return 16;
  if (size >= 8) return 8;
  return 4;
}

Held allocateChecked(const AllocatorExports& exports, std::uint32_t size, unsigned char mark,
                     WorkloadResult& result) {
  auto* payload = static_cast<unsigned char*>(exports.memAlloc(size));
  ++result.allocations;
  if (payload == nullptr) {
    ++result.faults;
    return {nullptr, 0, 0};
  }
  if (reinterpret_cast<std::uintptr_t>(payload) % alignmentFor(size) != 0) ++result.faults;
  if (exports.memSize(payload) < static_cast<std::int32_t>(size)) ++result.faults;
  const Held held{payload, size, mark};
  writePattern(held);
  return held;
}

void releaseChecked(const AllocatorExports& exports, Held& held, WorkloadResult& result) {
  if (!patternIntact(held)) ++result.faults;
  exports.memFree(held.payload);
  ++result.frees;
  held = {nullptr, 0, 0};
}

}  // namespace velk::host
