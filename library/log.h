// The log: "VelkAllocator.log" in the host's current directory, opened at load for this process
// alone, with the lock that keeps trace lines and the report whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "library/lasting.h"
#include "library/static_lock.h"

namespace velk::library {

// One line for every exported call, chosen when the library is built.
#ifdef VELK_TRACE_CALLS_ENABLED
inline constexpr bool traceCalls = true;
#else
inline constexpr bool traceCalls = false;
#endif

inline constexpr const char* kLogName = "VelkAllocator.log";

// Null while the log is closed, and for good when it could not be opened. Read without logLock
// to skip tracing; changed only at load, under logLock at unload, and in a forked child.
extern std::atomic<std::FILE*> logFile;
// Serialises trace lines, the unload lines and the closing; never held together with the heap's
// lock.
extern Lasting<StaticLock> lastingLogLock;
inline constexpr StaticLock& logLock = lastingLogLock.object;

// Opens `name` for writing, emptied, for this process alone: null when another process holds it
// or it cannot be created. One implementation per system.
std::FILE* openExclusiveLog(const char* name);

bool openLog();
// The caller holds logLock.
void closeLog();

// Damage the heap found and put right (a stray write of the host's, past a payload or into a freed
// one): a line for each of the first findings, written under logLock and never inside the heap's
// lock, like trace lines. The heap's damage hook calls it after MemAlloc and MemFree, the exports
// after the other heap operations that can find something.
extern std::atomic<std::uint64_t> damageLogged;
void logDamage();
inline void logDamageIfFound();
// At unload, the caller holding logLock: the lines still due, and one line with the count of all.
void logDamageTotal(std::FILE* file);

// Writes "[thread]: " and the line, whole, when the build traces calls and the log is open.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void trace(const char* format, ...);

}  // namespace velk::library

#include "library/lifetime.h"

namespace velk::library {

// One load and a comparison when nothing was found.
inline void logDamageIfFound() {
  if (heap.damageFound() != damageLogged.load(std::memory_order_relaxed)) [[unlikely]]
    logDamage();
}

}  // namespace velk::library
