// Buffer management as a foreign caller sees it: only the public header and the shared library.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "abi_test_util.hpp"
#include "vexradb_bindings.h"

namespace vexradb::abi_test {
namespace {

bool is_empty_buffer(const RustBuffer& buffer) {
  return buffer.capacity == 0 && buffer.len == 0 && buffer.data != nullptr;
}

void free_ok(RustBuffer buffer) {
  CallStatus status = fresh_status();
  ffi_vexradb_bindings_rustbuffer_free(buffer, &status);
  EXPECT_EQ(status.code, 0);
}

TEST(BufferAbiTest, AllocGivesZeroedBytesAndEmptyForZero) {
  CallStatus status = fresh_status();
  RustBuffer buffer = ffi_vexradb_bindings_rustbuffer_alloc(5, &status);
  ASSERT_EQ(status.code, 0);
  EXPECT_EQ(buffer.capacity, 5u);
  EXPECT_EQ(buffer.len, 5u);
  ASSERT_NE(buffer.data, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(buffer.data, buffer.data + 5), std::vector<uint8_t>(5, 0));
  free_ok(buffer);

  RustBuffer empty = ffi_vexradb_bindings_rustbuffer_alloc(0, &status);
  ASSERT_EQ(status.code, 0);
  EXPECT_TRUE(is_empty_buffer(empty));
  free_ok(empty);
}

TEST(BufferAbiTest, AllocRefusesSizesBeyondTheLargestCapacity) {
  for (uint64_t size : {uint64_t{1} << 63, ~uint64_t{0}}) {
    CallStatus status = fresh_status();
    RustBuffer buffer = ffi_vexradb_bindings_rustbuffer_alloc(size, &status);
    EXPECT_EQ(status.code, 2);
    EXPECT_EQ(failure_message(status), "capacity overflow");
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(buffer.capacity, 0u);
  }
}

TEST(BufferAbiTest, AllocThatTheSystemCannotSatisfyIsReportedNotFatal) {
  CallStatus status = fresh_status();
  RustBuffer buffer = ffi_vexradb_bindings_rustbuffer_alloc(uint64_t{1} << 62, &status);
  EXPECT_EQ(status.code, 2);
  EXPECT_EQ(failure_message(status), "memory allocation of 4611686018427387904 bytes failed");
  EXPECT_EQ(buffer.data, nullptr);
}

TEST(BufferAbiTest, FromBytesCopiesTheForeignMemory) {
  uint8_t source[] = {1, 2, 3};
  CallStatus status = fresh_status();
  RustBuffer buffer = ffi_vexradb_bindings_rustbuffer_from_bytes(ForeignBytes{3, source}, &status);
  ASSERT_EQ(status.code, 0);
  source[0] = 9;  // the library holds its own copy
  EXPECT_EQ(buffer.len, 3u);
  EXPECT_EQ(buffer.capacity, 3u);
  EXPECT_EQ(consume_text(buffer), std::string("\x01\x02\x03"));
}

TEST(BufferAbiTest, FromBytesOfNothingIsEmpty) {
  const uint8_t byte = 7;
  for (const uint8_t* data : {static_cast<const uint8_t*>(nullptr), &byte}) {
    CallStatus status = fresh_status();
    RustBuffer buffer = ffi_vexradb_bindings_rustbuffer_from_bytes(ForeignBytes{0, data}, &status);
    EXPECT_EQ(status.code, 0);
    EXPECT_TRUE(is_empty_buffer(buffer));
    free_ok(buffer);
  }
}

TEST(BufferAbiTest, FromBytesRejectsInvalidViewsInOrder) {
  const uint8_t byte = 7;
  struct Case {
    ForeignBytes bytes;
    const char* message;
  } cases[] = {
      {{3, nullptr}, "null ForeignBytes had non-zero length"},
      // A null view is reported as such even when its length is also negative.
      {{-1, nullptr}, "null ForeignBytes had non-zero length"},
      {{-1, &byte}, "bytes length negative or overflowed: TryFromIntError(())"},
  };
  for (const auto& c : cases) {
    CallStatus status = fresh_status();
    RustBuffer buffer = ffi_vexradb_bindings_rustbuffer_from_bytes(c.bytes, &status);
    EXPECT_EQ(status.code, 2);
    EXPECT_EQ(failure_message(status), c.message);
    EXPECT_EQ(buffer.data, nullptr);
  }
}

TEST(BufferAbiTest, FreeRejectsInvalidBuffers) {
  uint8_t byte = 0;
  struct Case {
    RustBuffer buffer;
    const char* message;
  } cases[] = {
      {{5, 0, nullptr}, "null RustBuffer had non-zero capacity"},
      {{5, 7, nullptr}, "null RustBuffer had non-zero capacity"},
      {{0, 3, nullptr}, "null RustBuffer had non-zero length"},
      // Checked before anything is released, so the foreign memory is never freed.
      {{1, 2, &byte}, "RustBuffer length exceeds capacity"},
  };
  for (const auto& c : cases) {
    CallStatus status = fresh_status();
    ffi_vexradb_bindings_rustbuffer_free(c.buffer, &status);
    EXPECT_EQ(status.code, 2);
    EXPECT_EQ(failure_message(status), c.message);
  }
}

TEST(BufferAbiTest, FreeAcceptsEmptyAndPartlyFilledBuffers) {
  free_ok(RustBuffer{0, 0, nullptr});
  CallStatus status = fresh_status();
  RustBuffer buffer = ffi_vexradb_bindings_rustbuffer_alloc(16, &status);
  buffer.len = 0;  // as bindings pass an empty string written into a fresh buffer
  free_ok(buffer);
}

TEST(BufferAbiTest, ReserveOnEmptyBuffers) {
  CallStatus status = fresh_status();
  RustBuffer same = ffi_vexradb_bindings_rustbuffer_reserve(RustBuffer{0, 0, nullptr}, 0, &status);
  ASSERT_EQ(status.code, 0);
  EXPECT_TRUE(is_empty_buffer(same));
  free_ok(same);

  RustBuffer grown =
      ffi_vexradb_bindings_rustbuffer_reserve(RustBuffer{0, 0, nullptr}, 10, &status);
  ASSERT_EQ(status.code, 0);
  EXPECT_EQ(grown.len, 0u);
  EXPECT_GE(grown.capacity, 10u);
  EXPECT_NE(grown.data, nullptr);
  free_ok(grown);
}

// How generated bindings build an argument: allocate, write, grow as they go.
TEST(BufferAbiTest, ReserveKeepsContentsWhileGrowing) {
  CallStatus status = fresh_status();
  RustBuffer buffer = ffi_vexradb_bindings_rustbuffer_alloc(16, &status);
  buffer.len = 0;
  std::string written;
  for (int i = 0; i < 200; ++i) {
    buffer = ffi_vexradb_bindings_rustbuffer_reserve(buffer, 3, &status);
    ASSERT_EQ(status.code, 0);
    ASSERT_GE(buffer.capacity - buffer.len, 3u);
    const char chunk[3] = {static_cast<char>('a' + i % 26), '-', static_cast<char>(i)};
    std::memcpy(buffer.data + buffer.len, chunk, 3);
    buffer.len += 3;
    written.append(chunk, 3);
  }
  EXPECT_EQ(consume_text(buffer), written);
}

TEST(BufferAbiTest, ReserveWithRoomKeepsTheAllocation) {
  CallStatus status = fresh_status();
  RustBuffer buffer = ffi_vexradb_bindings_rustbuffer_alloc(16, &status);
  buffer.len = 4;
  uint8_t* const address = buffer.data;
  RustBuffer same = ffi_vexradb_bindings_rustbuffer_reserve(buffer, 12, &status);
  ASSERT_EQ(status.code, 0);
  EXPECT_EQ(same.data, address);
  EXPECT_EQ(same.capacity, 16u);
  EXPECT_EQ(same.len, 4u);
  free_ok(same);
}

TEST(BufferAbiTest, ReserveRejectsOverflowAndInvalidBuffers) {
  CallStatus status = fresh_status();
  RustBuffer buffer = ffi_vexradb_bindings_rustbuffer_alloc(5, &status);
  RustBuffer result = ffi_vexradb_bindings_rustbuffer_reserve(buffer, ~uint64_t{0}, &status);
  EXPECT_EQ(status.code, 2);
  EXPECT_EQ(failure_message(status), "capacity overflow");
  EXPECT_EQ(result.data, nullptr);

  status = fresh_status();
  ffi_vexradb_bindings_rustbuffer_reserve(RustBuffer{0, 1, nullptr}, 1, &status);
  EXPECT_EQ(status.code, 2);
  EXPECT_EQ(failure_message(status), "null RustBuffer had non-zero length");
}

TEST(BufferAbiTest, SuccessLeavesTheStatusUntouched) {
  CallStatus status = fresh_status();
  RustBuffer buffer = ffi_vexradb_bindings_rustbuffer_alloc(8, &status);
  buffer = ffi_vexradb_bindings_rustbuffer_reserve(buffer, 100, &status);
  ffi_vexradb_bindings_rustbuffer_free(buffer, &status);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(status.error_buf.capacity, 0u);
  EXPECT_EQ(status.error_buf.len, 0u);
  EXPECT_EQ(status.error_buf.data, nullptr);
}

}  // namespace
}  // namespace vexradb::abi_test
