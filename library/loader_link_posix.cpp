// On Linux the loader runs the library's constructors at dlopen and its destructors at dlclose
// or at process exit, whichever comes first; either way detach runs once. Unlike the Windows
// loader, exit does not end the process's other threads first: they go on calling in and
// touching their payloads while the destructors run, so teardown gives the segments back only
// when the unloading thread is the last one.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "library/lifetime.h"

namespace velk::library {
namespace {

// The text of a file under /proc, cut to `capacity - 1` bytes; empty when it cannot be read.
void readProcFile(const char* path, char* text, std::size_t capacity) {
  text[0] = '\0';
  const int descriptor = open(path, O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return;
  const ssize_t length = read(descriptor, text, capacity - 1);
  close(descriptor);
  if (length > 0) text[length] = '\0';
}

// The threads of the process as the kernel counts them; 0 when /proc cannot tell.
int threadCount() {
  char text[1024];
  readProcFile("/proc/self/stat", text, sizeof text);
  // The command name in parentheses may hold any character, the fields after it none of them;
  // the count is the 18th field after the name.
  const char* field = std::strrchr(text, ')');
  for (int spaces = 0; field != nullptr && spaces < 18; ++spaces) {
    field = std::strchr(field + 1, ' ');
  }
  return field != nullptr ? std::atoi(field + 1) : 0;
}

#ifdef __SANITIZE_THREAD__
// The thread sanitizer starts a thread of its own at the process's first pthread_create. It
// blocks every signal that can be blocked, SIGSYS aside; host threads are taken not to.
int sanitizerThreads() {
  constexpr unsigned long long kBlockedBySanitizer =
      0x7fffffffull & ~(1ull << (SIGKILL - 1)) & ~(1ull << (SIGSTOP - 1)) & ~(1ull << (SIGSYS - 1));
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  int count = 0;
  while (const dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    char path[sizeof task->d_name + 32];
    char text[4096];
    std::snprintf(path, sizeof path, "/proc/self/task/%s/status", task->d_name);
    readProcFile(path, text, sizeof text);
    const char* blocked = std::strstr(text, "\nSigBlk:");
    if (blocked == nullptr) continue;
    const unsigned long long mask = std::strtoull(blocked + 8, nullptr, 16);
    if ((mask & kBlockedBySanitizer) == kBlockedBySanitizer) ++count;
  }
  closedir(tasks);
  return count;
}
#else
int sanitizerThreads() {
  return 0;
}
#endif

// fork copies the heap's lock in whatever state another thread left it. Held across the fork,
// it reaches the child free, with no operation halfway through. logLock is left alone: no thread
// waits for the heap's lock while holding it, and the child forgets the log and never takes it.
void lockHeapBeforeFork() {
  heap.lock();
}
void unlockHeapAfterFork() {
  heap.unlock();
}

}  // namespace

LoaderLink::LoaderLink() {
  attach();
  // Registered under this library's handle, so that the C library drops the handlers when the
  // library is unloaded.
  pthread_atfork(lockHeapBeforeFork, unlockHeapAfterFork, unlockHeapAfterFork);
}

LoaderLink::~LoaderLink() {
  detach();
  teardownReleases = threadCount() - sanitizerThreads() == 1;
}

}  // namespace velk::library
