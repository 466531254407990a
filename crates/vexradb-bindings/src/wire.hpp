#pragma once

// The byte encoding of values that cross the exported interface: big-endian fixed-width numbers,
// IEEE-754 bit patterns for floats, an i32 byte length before each text, an i32 count before
// each sequence, one tag byte (0 absent, 1 present) before an optional value, and enumerations as
// an i32 variant number counted from 1.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.hpp"
#include "byte_buffer.hpp"

namespace vexradb::ffi {

// Reads values from bytes the caller handed in. The first failure is kept, every read after it
// returns a zero value, and the caller checks `failed()` once at the end; the messages are the
// ones the bindings report. Counts and lengths read from the bytes never size an allocation
// beyond what the remaining bytes can hold.
class WireReader {
 public:
  explicit WireReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  bool failed() const noexcept { return error_.has_value(); }
  const std::string& error() const { return *error_; }
  std::size_t remaining() const noexcept { return bytes_.size() - position_; }

  // Records a failure (the first one wins).
  void fail(std::string message);

  std::uint8_t read_u8();
  std::int32_t read_i32();
  std::uint32_t read_u32();
  std::uint64_t read_u64();
  float read_f32();
  bool read_bool();
  std::string read_string();
  std::vector<float> read_f32_sequence();
  // The tag of an optional value: true when a value follows.
  bool read_option_tag();
  // A sequence's element count. Every element takes at least one byte, so a caller may reserve
  // min(count, remaining()) elements but never the count alone.
  std::size_t read_count();
  // An enumeration's variant number, checked to lie in 1..variants.
  std::int32_t read_variant(std::string_view enum_name, std::int32_t variants);

 private:
  // The next `n` bytes, or null (and a failure) when fewer remain.
  const std::uint8_t* take(std::size_t n);
  std::uint64_t read_big_endian(std::size_t size);

  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
  std::optional<std::string> error_;
};

// Appends values in the same encoding to a buffer of the library's own.
class WireWriter {
 public:
  void write_u8(std::uint8_t value);
  void write_i32(std::int32_t value);
  void write_u32(std::uint32_t value);
  void write_u64(std::uint64_t value);
  void write_f32(float value);
  void write_bool(bool value);
  void write_string(std::string_view text);
  void write_f32_sequence(std::span<const float> values);
  void write_option_tag(bool present);
  // A sequence's element count (more than 2^31 - 1 cannot be encoded: internal failure).
  void write_count(std::size_t count);

  ByteBuffer finish() && { return std::move(buffer_); }

 private:
  void write_big_endian(std::uint64_t value, std::size_t size);

  ByteBuffer buffer_;
};

}  // namespace vexradb::ffi
