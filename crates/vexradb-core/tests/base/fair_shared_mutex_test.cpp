#include "base/fair_shared_mutex.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace vexradb {
namespace {

using namespace std::chrono_literals;

// Two readers hand the lock over so that it is never free: each leaves only once the other has
// come in again (or after 20 ms, in case the other waits behind the writer). A writer that asks
// must get in after the readers inside leave, not after the readers give up.
TEST(FairSharedMutexConcurrencyTest, AWaitingWriterGetsInUnderContinuousReaders) {
  constexpr int kGiveUp = 5000;
  FairSharedMutex mutex;
  std::atomic<int> entries = 0;
  std::atomic<bool> writer_asked = false;
  std::atomic<bool> writer_in = false;
  std::atomic<int> turns_after_ask = 0;
  const auto reader = [&] {
    while (!writer_in.load() && turns_after_ask.load() < kGiveUp) {
      if (writer_asked.load()) {
        turns_after_ask.fetch_add(1);
        std::this_thread::sleep_for(100us);  // time for the writer to queue
      }
      ReaderLock lock(mutex);
      const int entry = entries.fetch_add(1);
      const auto deadline = std::chrono::steady_clock::now() + 20ms;
      while (entries.load() == entry + 1 && std::chrono::steady_clock::now() < deadline &&
             !writer_in.load()) {
        std::this_thread::yield();
      }
    }
  };
  std::thread first(reader);
  std::thread second(reader);
  while (entries.load() < 10) std::this_thread::yield();
  writer_asked = true;
  mutex.lock();
  writer_in = true;
  mutex.unlock();
  first.join();
  second.join();
  // The turns begun between the request and the writer queueing; a reader-preferring lock lets
  // the readers go on until they give up.
  EXPECT_LT(turns_after_ask.load(), 1000);
}

}  // namespace
}  // namespace vexradb
