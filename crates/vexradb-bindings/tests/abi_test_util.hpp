#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vexradb_bindings.h"

namespace vexradb::abi_test {

// A status as a foreign caller prepares it before every call.
inline CallStatus fresh_status() { return CallStatus{0, RustBuffer{0, 0, nullptr}}; }

// The bytes of a buffer the library returned, which is then released.
inline std::string consume_text(RustBuffer buffer) {
  std::string text(reinterpret_cast<const char*>(buffer.data), buffer.len);
  CallStatus status = fresh_status();
  ffi_vexradb_bindings_rustbuffer_free(buffer, &status);
  return text;
}

// The message of a failed call (its error_buf is released).
inline std::string failure_message(CallStatus& status) {
  std::string text = consume_text(status.error_buf);
  status.error_buf = RustBuffer{0, 0, nullptr};
  return text;
}

// Builds argument bytes the way a foreign binding does: big-endian numbers, i32 length before
// texts and sequences, one tag byte before optional values, i32 variant numbers from 1.
class Encoder {
 public:
  Encoder& u8(std::uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  Encoder& i32(std::int32_t v) { return be(static_cast<std::uint32_t>(v), 4); }
  Encoder& u32(std::uint32_t v) { return be(v, 4); }
  Encoder& f32(float v) { return be(std::bit_cast<std::uint32_t>(v), 4); }
  Encoder& text(const std::string& s) {
    i32(static_cast<std::int32_t>(s.size()));
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  Encoder& optional_text(const std::optional<std::string>& s) {
    u8(s ? 1 : 0);
    return s ? text(*s) : *this;
  }
  Encoder& floats(const std::vector<float>& values) {
    i32(static_cast<std::int32_t>(values.size()));
    for (float v : values) f32(v);
    return *this;
  }
  Encoder& raw(const std::string& s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }

  // The bytes in a buffer of the library's, as bindings pass arguments.
  RustBuffer buffer() const {
    CallStatus status = fresh_status();
    return ffi_vexradb_bindings_rustbuffer_from_bytes(
        ForeignBytes{static_cast<std::int32_t>(bytes_.size()), bytes_.data()}, &status);
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  Encoder& be(std::uint64_t v, int size) {
    for (int i = size - 1; i >= 0; --i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  std::vector<std::uint8_t> bytes_;
};

// Reads result bytes the same way.
class Decoder {
 public:
  explicit Decoder(std::string bytes) : bytes_(std::move(bytes)) {}
  std::uint8_t u8() { return static_cast<std::uint8_t>(bytes_.at(pos_++)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(be(4)); }
  std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
  std::uint64_t u64() { return be(8); }
  float f32() { return std::bit_cast<float>(u32()); }
  std::string text() {
    const auto n = static_cast<std::size_t>(i32());
    std::string s = bytes_.substr(pos_, n);
    pos_ += n;
    return s;
  }
  std::optional<std::string> optional_text() {
    if (u8() == 0) return std::nullopt;
    return text();
  }
  std::vector<float> floats() {
    std::vector<float> values(static_cast<std::size_t>(i32()));
    for (float& v : values) v = f32();
    return values;
  }
  bool done() const { return pos_ == bytes_.size(); }

 private:
  std::uint64_t be(int size) {
    std::uint64_t v = 0;
    for (int i = 0; i < size; ++i) v = (v << 8) | static_cast<std::uint8_t>(bytes_.at(pos_++));
    return v;
  }
  std::string bytes_;
  std::size_t pos_ = 0;
};

}  // namespace vexradb::abi_test
