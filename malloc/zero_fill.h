// calloc's zeroing. A large request is often served from pages that already hold zeros: pages the
// system has not backed since the heap mapped them, and pages the heap gave back. Writing zeros
// there would make every such page resident for nothing (a hash table of 64 MiB that a program
// fills a tenth of would cost all 64 MiB, where the C library's own calloc costs a tenth). So the
// whole pages of a large payload are zeroed by what the system says of them:
//
//   - a page in memory is written;
//   - a page not in memory is given back (pal::discard): on Linux its next touch finds a fresh
//     page of zeros. It may have held old bytes written out to swap; those are dropped too.
//
// The bytes before the first whole page and after the last are always written.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pal/pal.h"

namespace velk::shim {

// Payloads below this are written whole: they mostly come back from the threads' lists with their
// pages resident, and asking the system takes a few microseconds, as long as writing some 200 KiB
// that are in the cache.
inline constexpr std::size_t kZeroByPagesFrom = 256 * 1024;

// Sets the `bytes` bytes at `payload` to zero.
inline void zeroFill(void* payload, std::size_t bytes) {
  auto* const begin = static_cast<unsigned char*>(payload);
  if (bytes < kZeroByPagesFrom) {
    std::memset(begin, 0, bytes);
    return;
  }
  const std::size_t page = pal::pageSize();
  unsigned char* const end = begin + bytes;
  unsigned char* const firstPage = begin + (-reinterpret_cast<std::uintptr_t>(begin) & (page - 1));
  unsigned char* const endPage = end - (reinterpret_cast<std::uintptr_t>(end) & (page - 1));
  std::memset(begin, 0, static_cast<std::size_t>(firstPage - begin));
  std::memset(endPage, 0, static_cast<std::size_t>(end - endPage));
  // The system is asked about a stretch of pages at a time, its answer kept on the stack.
  constexpr std::size_t kStretch = 512;
  unsigned char resident[kStretch];
  for (unsigned char* stretch = firstPage; stretch < endPage; stretch += kStretch * page) {
    const std::size_t pages =
        std::min(kStretch, static_cast<std::size_t>(endPage - stretch) / page);
    if (!pal::residentPages(stretch, pages * page, resident)) {
      std::memset(stretch, 0, pages * page);
      continue;
    }
    // Runs of pages alike, each in one call.
    for (std::size_t run = 0; run < pages;) {
      const bool inMemory = (resident[run] & 1) != 0;
      std::size_t next = run + 1;
      while (next < pages && ((resident[next] & 1) != 0) == inMemory) ++next;
      unsigned char* const at = stretch + run * page;
      const std::size_t runBytes = (next - run) * page;
      if (inMemory || !pal::discard(at, runBytes)) std::memset(at, 0, runBytes);
      run = next;
    }
  }
}

}  // namespace velk::shim
