// The log: "VelkAllocator.log" in the host's current directory, opened at load for this process
// alone, with the lock that keeps trace lines and the report whole.
#pragma once

#include <cstdio>

#include "library/static_lock.h"

namespace velk::library {

// One line for every exported call, chosen when the library is built.
#ifdef VELK_TRACE_CALLS_ENABLED
inline constexpr bool traceCalls = true;
#else
inline constexpr bool traceCalls = false;
#endif

inline constexpr const char* kLogName = "VelkAllocator.log";

// Null while the log is closed, and for good when it could not be opened.
extern std::FILE* logFile;
// Serialises trace lines and the report; never held together with the heap's lock.
extern StaticLock logLock;

// Opens `name` for writing, emptied, for this process alone: null when another process holds it
// or it cannot be created. One implementation per system.
std::FILE* openExclusiveLog(const char* name);

bool openLog();
void closeLog();

// Writes "[thread]: " and the line, whole, when the build traces calls and the log is open.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void trace(const char* format, ...);

}  // namespace velk::library
