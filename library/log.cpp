#include "library/log.h"

#include <cstdarg>

namespace velk::library {

std::atomic<std::FILE*> logFile{nullptr};

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
