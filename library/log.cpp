#include "library/log.h"

#include <cinttypes>
#include <cstdarg>

#include "heap/heap.h"

namespace velk::library {

std::atomic<std::FILE*> logFile{nullptr};

std::atomic<std::uint64_t> damageLogged{0};

namespace {

// The caller holds logLock. Findings past the first kListedDamage are only counted.
void writeDamageLines(std::FILE* file) {
  const std::uint64_t found = heap.damageFound();
  const std::uint64_t listed = found < kListedDamage ? found : kListedDamage;
  for (std::uint64_t index = damageLogged.load(std::memory_order_relaxed); index < listed;
       ++index) {
    const Damage& damage = heap.damage(static_cast<std::size_t>(index));
    std::fprintf(file,
                 "heap damage: %s of the Block at %p read 0x%" PRIxPTR " 0x%" PRIxPTR
                 ", put right to 0x%" PRIxPTR " 0x%" PRIxPTR "\n",
                 damage.what, reinterpret_cast<void*>(damage.block), damage.found[0],
                 damage.found[1], damage.expected[0], damage.expected[1]);
  }
  damageLogged.store(found, std::memory_order_relaxed);
}

}  // namespace

void logDamage() {
  StaticLockGuard guard(logLock);
  std::FILE* file = logFile;
  if (file == nullptr) {
    damageLogged.store(heap.damageFound(), std::memory_order_relaxed);
    return;
  }
  writeDamageLines(file);
  std::fflush(file);
}

void logDamageTotal(std::FILE* file) {
  writeDamageLines(file);
  const std::uint64_t found = heap.damageFound();
  if (found != 0) {
    std::fprintf(file, "heap damage: %" PRIu64 " found and put right in all, %" PRIu64 " listed\n",
                 found, found < kListedDamage ? found : std::uint64_t{kListedDamage});
  }
}

bool openLog() {
  logFile = openExclusiveLog(kLogName);
  return logFile != nullptr;
}

void closeLog() {
  std::FILE* file = logFile.exchange(nullptr);
  if (file != nullptr) std::fclose(file);
}

void trace(const char* format, ...) {
  if (!traceCalls || logFile == nullptr) return;
  StaticLockGuard guard(logLock);
  // The log may have closed while this thread waited for the lock.
  std::FILE* file = logFile;
  if (file == nullptr) return;
  std::fprintf(file, "[%08x]: ", static_cast<unsigned>(pal::currentThreadId()));
  std::va_list arguments;
  va_start(arguments, format);
  std::vfprintf(file, format, arguments);
  va_end(arguments);
  std::fflush(file);
}

}  // namespace velk::library
