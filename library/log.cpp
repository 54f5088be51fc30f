#include "library/log.h"

#include <cstdarg>

namespace velk::library {

std::FILE* logFile = nullptr;

bool openLog() {
  logFile = openExclusiveLog(kLogName);
  return logFile != nullptr;
}

void closeLog() {
  std::FILE* file = logFile;
  logFile = nullptr;
  if (file != nullptr) std::fclose(file);
}

void trace(const char* format, ...) {
  if (!traceCalls || logFile == nullptr) return;
  StaticLockGuard guard(logLock);
  std::fprintf(logFile, "[%08x]: ", static_cast<unsigned>(pal::currentThreadId()));
  std::va_list arguments;
  va_start(arguments, format);
  std::vfprintf(logFile, format, arguments);
  va_end(arguments);
  std::fflush(logFile);
}

}  // namespace velk::library
