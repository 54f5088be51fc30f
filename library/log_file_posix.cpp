// The log on Linux: an advisory lock stands in for the exclusive opening Windows offers.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include "library/log.h"

namespace velk::library {
namespace {

// The log's descriptor, kept apart from the stream so that a forked child can close it without
// touching the stream.
int logDescriptor = -1;

// A forked child shares the open log with its parent, but the log stays the parent's: the child
// forgets it, so that its exit writes no second report, and closes its copy of the descriptor,
// whose lock would otherwise keep the next process from the log for as long as the child lives
// (the lock is the parent's again once no child holds the file open). It does not close the
// stream: a thread that did not survive the fork may hold the stream's lock, and the buffer is
// empty anyway, as every writer flushes.
void forgetLogInChild() {
  if (logFile.exchange(nullptr) != nullptr) close(logDescriptor);
}

}  // namespace

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
  if (file == nullptr) {
    close(descriptor);
    return nullptr;
  }
  logDescriptor = descriptor;
  // Registered once per load; the C library drops the handler when the library is unloaded.
  pthread_atfork(nullptr, nullptr, forgetLogInChild);
  return file;
}

}  // namespace velk::library
