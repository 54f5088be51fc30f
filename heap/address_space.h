// Where the heap gets its segments from. The system's address space serves the library; tests
// put a fake in its place that hands out chosen addresses, refuses on demand and records releases.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pal/pal.h"

namespace velk {

class AddressSpace {
 public:
  // Committed, readable and writable memory at a multiple of 64 KiB, or null when refused.
  virtual void* reserve(std::size_t size) = 0;
  // The region that contains `address`; false when there is none.
  virtual bool queryRegion(std::uintptr_t address, pal::Region& region) = 0;
  // Gives back the region that starts at `base`.
  virtual void release(std::uintptr_t base) = 0;
  // Lets the system take back the whole pages of [base, base + size) inside a range handed out;
  // the range stays usable, its contents undefined.
  virtual void discard(std::uintptr_t base, std::size_t size) = 0;
  virtual std::size_t pageSize() = 0;

 protected:
  ~AddressSpace() = default;
};

// The operating system's address space, through the platform layer: executable memory for the
// library's heap, data-only memory for a heap behind the C library's functions.
AddressSpace& systemAddressSpace(pal::Access access = pal::Access::kExecutable);

}  // namespace velk
