// Lock storage, common to every system: where a lock lives and who gives its storage back.
#include <cstdlib>
#include <new>

#include "pal/native_lock.h"
#include "pal/pal.h"

namespace velk::pal {

static_assert(sizeof(Lock) <= sizeof(LockStorage), "a lock must fit its static storage");
static_assert(alignof(Lock) <= alignof(LockStorage), "a lock must fit its static storage");

static Lock* constructIn(void* storage, bool fromRuntimeHeap) {
  Lock* lock = new (storage) Lock;
  lock->storageFromRuntimeHeap = fromRuntimeHeap;
  nativeLockInit(lock->native);
  return lock;
}

Lock* lockCreate(LockStorage* fallback) {
  if (void* storage = std::malloc(sizeof(Lock))) return constructIn(storage, true);
  return fallback != nullptr ? constructIn(fallback, false) : nullptr;
}

Lock* lockCreateIn(LockStorage& storage) {
  return constructIn(&storage, false);
}

void lockDelete(Lock* lock) {
  if (lock == nullptr) return;
  nativeLockDestroy(lock->native);
  const bool fromRuntimeHeap = lock->storageFromRuntimeHeap;
  lock->~Lock();
  if (fromRuntimeHeap) std::free(lock);
}

}  // namespace velk::pal
