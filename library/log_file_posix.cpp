// The log on Linux: an advisory lock stands in for the exclusive opening Windows offers.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "library/log.h"

namespace velk::library {

std::FILE* openExclusiveLog(const char* name) {
  // Not O_TRUNC: the file may be another process's live log, and must stay as it is unless the
  // lock shows that nobody holds it.
  const int descriptor = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (descriptor < 0) return nullptr;
  if (flock(descriptor, LOCK_EX | LOCK_NB) != 0 || ftruncate(descriptor, 0) != 0) {
    close(descriptor);
    return nullptr;
  }
  std::FILE* file = fdopen(descriptor, "w");
  if (file == nullptr) close(descriptor);
  return file;
}

}  // namespace velk::library
