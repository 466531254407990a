#include "wire.hpp"

#include <bit>
#include <limits>

#include "base/internal_failure.hpp"

namespace vexradb::ffi {
namespace {

constexpr const char* kNegativeLength = "out of range integral type conversion attempted";

}  // namespace

void WireReader::fail(std::string message) {
  if (!error_) error_ = std::move(message);
}

const std::uint8_t* WireReader::take(std::size_t n) {
  if (failed()) return nullptr;
  if (remaining() < n) {
    fail("not enough bytes remaining in buffer (" + std::to_string(remaining()) + " < " +
         std::to_string(n) + ")");
    return nullptr;
  }
  const std::uint8_t* start = bytes_.data() + position_;
  position_ += n;
  return start;
}

std::uint8_t WireReader::read_u8() {
  const std::uint8_t* p = take(1);
  return p != nullptr ? *p : 0;
}

std::uint64_t WireReader::read_big_endian(std::size_t size) {
  const std::uint8_t* p = take(size);
  if (p == nullptr) return 0;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value = (value << 8) | p[i];
  return value;
}

std::int32_t WireReader::read_i32() {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(read_big_endian(4)));
}
std::uint32_t WireReader::read_u32() { return static_cast<std::uint32_t>(read_big_endian(4)); }
std::uint64_t WireReader::read_u64() { return read_big_endian(8); }
float WireReader::read_f32() { return std::bit_cast<float>(read_u32()); }

bool WireReader::read_bool() {
  const std::uint8_t byte = read_u8();
  if (byte > 1) fail("unexpected byte for Boolean");
  return byte == 1;
}

bool WireReader::read_option_tag() {
  const std::uint8_t tag = read_u8();
  if (tag > 1) fail("unexpected tag byte for Option");
  return tag == 1;
}

std::string WireReader::read_string() {
  const std::int32_t length = read_i32();
  if (failed()) return {};
  if (length < 0) {
    fail(kNegativeLength);
    return {};
  }
  const std::uint8_t* p = take(static_cast<std::size_t>(length));
  if (p == nullptr) return {};
  const std::span<const std::uint8_t> bytes(p, static_cast<std::size_t>(length));
  if (auto error = utf8_error(bytes)) {
    fail(std::move(*error));
    return {};
  }
  return std::string(reinterpret_cast<const char*>(p), bytes.size());
}

std::size_t WireReader::read_count() {
  const std::int32_t count = read_i32();
  if (failed()) return 0;
  if (count < 0) {
    fail(kNegativeLength);
    return 0;
  }
  return static_cast<std::size_t>(count);
}

std::vector<float> WireReader::read_f32_sequence() {
  const std::size_t count = read_count();
  std::vector<float> values;
  // Sized from what the bytes can hold, not from the count the caller claims.
  values.reserve(std::min(count, remaining() / 4));
  for (std::size_t i = 0; i < count && !failed(); ++i) values.push_back(read_f32());
  if (failed()) return {};
  return values;
}

std::int32_t WireReader::read_variant(std::string_view enum_name, std::int32_t variants) {
  const std::int32_t number = read_i32();
  if (failed()) return 0;
  if (number < 1 || number > variants) {
    fail("Invalid " + std::string(enum_name) + " enum value: " + std::to_string(number));
    return 0;
  }
  return number;
}

void WireWriter::write_big_endian(std::uint64_t value, std::size_t size) {
  std::uint8_t bytes[8];
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>(value >> (8 * (size - 1 - i)));
  buffer_.append(std::span(bytes, size));
}

void WireWriter::write_u8(std::uint8_t value) { buffer_.append(std::span(&value, 1)); }
void WireWriter::write_i32(std::int32_t value) {
  write_big_endian(static_cast<std::uint32_t>(value), 4);
}
void WireWriter::write_u32(std::uint32_t value) { write_big_endian(value, 4); }
void WireWriter::write_u64(std::uint64_t value) { write_big_endian(value, 8); }
void WireWriter::write_f32(float value) { write_u32(std::bit_cast<std::uint32_t>(value)); }
void WireWriter::write_bool(bool value) { write_u8(value ? 1 : 0); }
void WireWriter::write_option_tag(bool present) { write_u8(present ? 1 : 0); }

void WireWriter::write_count(std::size_t count) {
  VEXRA_CHECK(count <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()),
              "sequence or text too long to encode: " + std::to_string(count));
  write_i32(static_cast<std::int32_t>(count));
}

void WireWriter::write_string(std::string_view text) {
  write_count(text.size());
  buffer_.append(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void WireWriter::write_f32_sequence(std::span<const float> values) {
  write_count(values.size());
  for (const float value : values) write_f32(value);
}

}  // namespace vexradb::ffi
