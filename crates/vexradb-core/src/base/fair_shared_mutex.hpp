#pragma once

#include <pthread.h>

#include "base/thread_annotations.hpp"

namespace vexradb {

// A read-write lock under which a waiting writer gets in as soon as the readers already inside
// have left: readers that arrive while a writer waits queue behind it. std::shared_mutex on
// glibc prefers readers, so a steady stream of overlapping readers keeps a writer out for as
// long as it lasts. This is glibc's own writer-preferring rwlock; ReaderLock below holds it
// shared for a scope, visibly to clang's thread-safety analysis (writers hold it with a scoped
// lock of their own that also takes their turn: see the client).
//
// Not recursive: a thread holding it for reading must not take it again, or it may wait behind
// a writer that waits for it.
class VEXRA_CAPABILITY("mutex") FairSharedMutex {
 public:
  FairSharedMutex();
  ~FairSharedMutex();
  FairSharedMutex(const FairSharedMutex&) = delete;
  FairSharedMutex& operator=(const FairSharedMutex&) = delete;

  void lock() VEXRA_ACQUIRE();
  void unlock() VEXRA_RELEASE();

  void lock_shared() VEXRA_ACQUIRE_SHARED();
  void unlock_shared() VEXRA_RELEASE_SHARED();

 private:
  pthread_rwlock_t rwlock_;
};

// Holds a FairSharedMutex shared for the scope.
class VEXRA_SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(FairSharedMutex& mutex) VEXRA_ACQUIRE_SHARED(mutex) : mutex_(mutex) {
    mutex_.lock_shared();
  }
  ~ReaderLock() VEXRA_RELEASE() { mutex_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  FairSharedMutex& mutex_;
};

}  // namespace vexradb
