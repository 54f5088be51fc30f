// The library's life: the static objects, and the work done when the library is loaded into a
// process and when it leaves it.
//
// Static initialisation creates logLock, then the Heap (which creates its own lock). Attach opens
// the log and, only when it opened, makes the up-front segment. Detach writes the closing line
// and the report, and closes the log. Teardown then runs in reverse: the Heap gives back every
// segment and deletes its lock, and logLock goes last; both only while teardownReleases holds.
#pragma once

#include <cstddef>

#include "heap/heap.h"
#include "library/lasting.h"

namespace velk::library {

// 640 MiB taken at load, so that a host's working set usually fits one segment.
inline constexpr std::size_t kPreallocSize = 0x28000000;
inline constexpr std::size_t kPreallocAlign = 16;

extern Lasting<Heap> lastingHeap;
inline constexpr Heap& heap = lastingHeap.object;

void attach();
// The unload line and the statistics report, if the log is open, and the log's closing. The
// figures are taken under the heap's lock and written under logLock, never the two together.
void detach();

// Ties attach and detach to the system's loader. It is the last static object, so it comes up
// after both locks and the Heap and goes down before any of them. On Linux its constructor and
// destructor do the attach and detach work and decide teardownReleases; on Windows DllMain does
// the work, and teardown always releases.
class LoaderLink {
 public:
  LoaderLink();
  ~LoaderLink();
  LoaderLink(const LoaderLink&) = delete;
  LoaderLink& operator=(const LoaderLink&) = delete;
};

}  // namespace velk::library
