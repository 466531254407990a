#include "base/fair_shared_mutex.hpp"

#include <cerrno>
#include <thread>

#include "base/internal_failure.hpp"

namespace vexradb {

FairSharedMutex::FairSharedMutex() {
  pthread_rwlockattr_t attributes;
  VEXRA_CHECK(pthread_rwlockattr_init(&attributes) == 0, "rwlock attributes");
  // "Nonrecursive" is the kind under which readers wait behind a waiting writer; the plain
  // writer-preferring kind behaves as the reader-preferring one.
  pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  const int initialised = pthread_rwlock_init(&rwlock_, &attributes);
  pthread_rwlockattr_destroy(&attributes);
  VEXRA_CHECK(initialised == 0, "rwlock initialisation");
}

FairSharedMutex::~FairSharedMutex() { pthread_rwlock_destroy(&rwlock_); }

void FairSharedMutex::lock() {
  VEXRA_CHECK(pthread_rwlock_wrlock(&rwlock_) == 0, "taking the lock for writing");
}

void FairSharedMutex::unlock() { pthread_rwlock_unlock(&rwlock_); }

void FairSharedMutex::lock_shared() {
  int taken;
  // EAGAIN: the count of readers is at its limit for the moment.
  while ((taken = pthread_rwlock_rdlock(&rwlock_)) == EAGAIN) std::this_thread::yield();
  VEXRA_CHECK(taken == 0, "taking the lock for reading");
}

void FairSharedMutex::unlock_shared() { pthread_rwlock_unlock(&rwlock_); }

}  // namespace vexradb
