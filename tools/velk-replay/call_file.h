// The call sequence as velk-replay hands it to velk-replay-malloc: a header, then one record per
// malloc or free, in order. Both programs are built from the same tree, so the layout is native.
#pragma once

#include <cstdint>

namespace velk::replay {

struct CallFileHeader {
  char magic[8];  // "VELKCALL"
  std::uint32_t slotCount;
  std::uint32_t recordCount;
};

struct CallRecord {
  std::uint32_t slot;
  std::uint32_t size;  // kFreeRecord: free the slot's payload
};

inline constexpr std::uint32_t kFreeRecord = ~std::uint32_t{0};
inline constexpr char kCallFileMagic[8] = {'V', 'E', 'L', 'K', 'C', 'A', 'L', 'L'};

}  // namespace velk::replay
