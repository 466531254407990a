// The failure barrier and the shared handle record, tested from inside the library.

#include "frame.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "byte_buffer.hpp"
#include "shared_record.hpp"

namespace vexradb::ffi {
namespace {

CallStatus fresh_status() { return CallStatus{0, RustBuffer{0, 0, nullptr}}; }

std::string take_message(CallStatus& status) {
  ByteBuffer buffer = ByteBuffer::take(status.error_buf);
  return std::string(reinterpret_cast<const char*>(buffer.bytes().data()), buffer.bytes().size());
}

template <class Body>
std::string failure_of(Body body) {
  CallStatus status = fresh_status();
  const RustBuffer result = with_failure_barrier(&status, body);
  EXPECT_EQ(status.code, 2);
  EXPECT_EQ(result.data, nullptr);
  EXPECT_EQ(result.len, 0u);
  return take_message(status);
}

TEST(FailureBarrierTest, ReportsEveryKindOfFailureAsCodeTwo) {
  EXPECT_EQ(failure_of([]() -> RustBuffer { throw InternalFailure("index out of range"); }),
            "index out of range");
  EXPECT_EQ(failure_of([]() -> RustBuffer { throw InternalFailure(""); }), "Unknown panic!");
  EXPECT_EQ(failure_of([]() -> RustBuffer { throw std::runtime_error("boom"); }), "boom");
  EXPECT_EQ(failure_of([]() -> RustBuffer { throw 42; }), "Unknown panic!");
  EXPECT_EQ(failure_of([]() -> RustBuffer { throw std::bad_alloc(); }), "memory allocation failed");
  EXPECT_EQ(failure_of([]() -> RustBuffer {
              VEXRA_CHECK(false, "broken");
              return {};
            }).rfind("crates/vexradb-bindings/tests/frame_test.cpp:", 0),
            0u);
}

TEST(FailureBarrierTest, FailureGivesTheZeroValueOfEachResultType) {
  CallStatus status = fresh_status();
  void* handle = with_failure_barrier(&status, []() -> void* { throw InternalFailure("x"); });
  EXPECT_EQ(handle, nullptr);
  take_message(status);
  status = fresh_status();
  EXPECT_EQ(with_failure_barrier(&status, []() -> uint64_t { throw InternalFailure("x"); }), 0u);
  take_message(status);
}

TEST(FailureBarrierTest, SuccessReturnsTheValueAndLeavesTheStatus) {
  CallStatus status = fresh_status();
  EXPECT_EQ(with_failure_barrier(&status, [] { return int8_t{1}; }), 1);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(status.error_buf.data, nullptr);
  EXPECT_EQ(status.error_buf.capacity, 0u);
}

// Counts live instances so tests can see when the record destroys its value.
struct Tracked {
  explicit Tracked(int* live) : live(live) { ++*live; }
  ~Tracked() { --*live; }
  int* live;
};

TEST(SharedRecordTest, DestroysTheValueWithTheLastReference) {
  int live = 0;
  void* handle = SharedRecord<Tracked>::create(&live);
  EXPECT_EQ(live, 1);
  EXPECT_EQ(SharedRecord<Tracked>::clone(handle), handle);
  EXPECT_EQ(SharedRecord<Tracked>::strong_count(handle), 2u);
  SharedRecord<Tracked>::release(handle);
  EXPECT_EQ(live, 1);
  EXPECT_EQ(SharedRecord<Tracked>::strong_count(handle), 1u);
  SharedRecord<Tracked>::release(handle);
  EXPECT_EQ(live, 0);
}

TEST(SharedRecordTest, ConcurrentClonesAndReleasesKeepTheCountExact) {
  int live = 0;
  void* handle = SharedRecord<Tracked>::create(&live);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([handle] {
      for (int i = 0; i < 10000; ++i) {
        SharedRecord<Tracked>::release(SharedRecord<Tracked>::clone(handle));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(SharedRecord<Tracked>::strong_count(handle), 1u);
  EXPECT_EQ(live, 1);
  SharedRecord<Tracked>::release(handle);
  EXPECT_EQ(live, 0);
}

TEST(SharedRecordTest, ReleasingNullIsAnAssertionFailure) {
  try {
    SharedRecord<Tracked>::release(nullptr);
    FAIL() << "release(nullptr) did not throw";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(failure.message(), "assertion failed: !ptr.is_null()");
  }
}

}  // namespace
}  // namespace vexradb::ffi
