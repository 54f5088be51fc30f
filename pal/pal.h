// The platform layer: everything the allocator needs from the operating system, behind one small
// API. Each operating system has one source file (windows.cpp, posix.cpp), chosen by the build.
// Functions report failure as null or false; the layers above decide what a failure means.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velk::pal {

// A range of address space as the system sees it.
struct Region {
  std::uintptr_t base;
  std::size_t size;
};

// What the memory `reserve` hands out may be used for. The library's heap is executable as well,
// for hosts that place code in it; a heap that serves the C library's functions is data only, as
// the C library's own is.
enum class Access { kExecutable, kData };

// Reserves and commits `size` bytes readable, writable and, for kExecutable (where the system
// allows it), executable, at an address that is a multiple of 64 KiB. Null when the system
// refuses.
void* reserve(std::size_t size, Access access);

// Describes the region that starts at or contains `address`: its base and its size from that
// base. False when the system knows no such region.
bool queryRegion(std::uintptr_t address, Region& region);

// Gives back the whole region that `reserve` returned at `base`. False when the system refuses.
bool release(std::uintptr_t base);

// Lets the system take back the memory behind the whole pages of [base, base + size) while the
// range stays reserved, committed and usable: the next access to a page finds memory again,
// holding zeros on Linux and, on Windows, either the page's old bytes or zeros. `base` and `size`
// are multiples of the page size. False when the system refuses; the range is usable either way.
bool discard(void* base, std::size_t size);
// Tells which whole pages of [base, base + size) are in memory now: one byte per page in
// `resident`, whose lowest bit is set for a page in memory. A page not in memory was never touched, was
// discarded, or was written out to swap: it is not known to hold zeros. `base` is a multiple of
// the page size. False when the system cannot tell, with `resident` unspecified.
bool residentPages(const void* base, std::size_t size, unsigned char* resident);

// Maps `size` bytes of zeroed, readable and writable memory for the allocator's own records:
// never executable, never counted among the ranges `reserve` hands out, and where the system
// allows it backed only once touched. Null when the system refuses.
void* mapRecords(std::size_t size);
void unmapRecords(void* base, std::size_t size);

// The system's page size in bytes.
std::size_t pageSize();

// The calling thread's identifier as the system numbers threads.
std::uint32_t currentThreadId();

// Nanoseconds of a clock that never goes back, from an arbitrary start.
std::uint64_t monotonicNanoseconds();

// An exclusive, non-recursive lock. Its storage is either taken from the runtime library's heap
// or provided by the caller; `lockDelete` gives back only storage that `lockCreate` took.
struct Lock;  // pal/native_lock.h
struct alignas(16) LockStorage {
  unsigned char bytes[64];
};

// Creates a lock in storage taken from `malloc`; when `malloc` has none, in `fallback`.
// Null only when neither can be had.
Lock* lockCreate(LockStorage* fallback);
// Creates a lock in `storage` without touching the runtime library's heap.
Lock* lockCreateIn(LockStorage& storage);
// lockEnter and lockLeave are inline, in pal/native_lock.h.
void lockDelete(Lock* lock);

}  // namespace velk::pal

#include "pal/native_lock.h"
