#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "vexradb_bindings.h"

namespace vexradb::ffi {

// Bytes in an allocation of the library's own, the form in which every RustBuffer lives while
// the library holds it. Moving a ByteBuffer out with `release` hands the allocation to the
// foreign caller; `take` adopts one the caller hands back. Failures to keep the buffer contract
// are internal failures (InternalFailure) with the exact texts the bindings expect.
class ByteBuffer {
 public:
  // Largest capacity a buffer may have: sizes travel as signed 64-bit values in some bindings.
  static constexpr std::uint64_t kMaxCapacity = (std::uint64_t{1} << 63) - 1;

  ByteBuffer() noexcept = default;
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  // `size` zero bytes (len = capacity = size).
  static ByteBuffer zeroed(std::uint64_t size);
  // A copy of `bytes` (len = capacity = bytes.size()).
  static ByteBuffer copy_of(std::span<const std::uint8_t> bytes);
  static ByteBuffer copy_of(std::string_view text);
  // Adopts a buffer handed back by the caller after checking its fields.
  static ByteBuffer take(RustBuffer buffer);
  // Why a buffer handed back by the caller cannot be adopted, or null when it can.
  static const char* invalid_reason(const RustBuffer& buffer) noexcept;

  // Makes room for at least `additional` more bytes; keeps the allocation when it already has.
  void reserve(std::uint64_t additional);
  // Appends bytes, growing the allocation as needed.
  void append(std::span<const std::uint8_t> bytes);

  // Hands the allocation over to the caller. Empty contents without an allocation travel with a
  // non-null placeholder address that must never be read or freed.
  RustBuffer release() && noexcept;

  std::span<const std::uint8_t> bytes() const noexcept { return {data_, len_}; }
  std::uint64_t capacity() const noexcept { return capacity_; }

 private:
  ByteBuffer(std::uint8_t* data, std::uint64_t len, std::uint64_t capacity) noexcept
      : data_(data), len_(len), capacity_(capacity) {}

  std::uint8_t* data_ = nullptr;  // null exactly when capacity_ is 0
  std::uint64_t len_ = 0;
  std::uint64_t capacity_ = 0;
};

}  // namespace vexradb::ffi
