// A lock that lives as long as the library: created during static initialisation, deleted
// during teardown.
#pragma once

#include "pal/pal.h"

namespace velk::library {

class StaticLock {
 public:
  // When the runtime library's heap has no room for the lock, it lives in the object itself:
  // the library never runs unlocked.
  StaticLock() : lock_(pal::lockCreate(&fallbackStorage_)) {}
  ~StaticLock() {
    pal::Lock* lock = lock_;
    lock_ = nullptr;
    pal::lockDelete(lock);
  }
  StaticLock(const StaticLock&) = delete;
  StaticLock& operator=(const StaticLock&) = delete;

  // Both skip locking while the lock does not exist (before creation, after teardown).
  void enter() {
    if (lock_ != nullptr) pal::lockEnter(lock_);
  }
  void leave() {
    if (lock_ != nullptr) pal::lockLeave(lock_);
  }

 private:
  pal::Lock* lock_;
  pal::LockStorage fallbackStorage_;
};

class StaticLockGuard {
 public:
  explicit StaticLockGuard(StaticLock& lock) : lock_(lock) { lock_.enter(); }
  ~StaticLockGuard() { lock_.leave(); }
  StaticLockGuard(const StaticLockGuard&) = delete;
  StaticLockGuard& operator=(const StaticLockGuard&) = delete;

 private:
  StaticLock& lock_;
};

}  // namespace velk::library
