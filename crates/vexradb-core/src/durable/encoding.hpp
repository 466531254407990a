#pragma once

// The fixed-width little-endian encoding of the log records and the snapshot files: integers of
// 1, 4 or 8 bytes, floats as their IEEE-754 bit patterns, texts and sequences as a u64 length or
// count followed by their contents, optionals as a tag byte (0 absent, 1 present) followed by
// the value. Metadata travels as the optional compact JSON text of the value.
//
// Decoding checks nothing beyond what it reads; a text must be UTF-8 and metadata must parse.
// A declared count or length is compared with the bytes left in the source before anything is
// allocated for it, so a damaged file ends in a decoding failure, never in a huge allocation.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "base/utf8.hpp"
#include "metadata/json.hpp"

namespace vexradb {

static_assert(std::endian::native == std::endian::little,
              "the file encodings are written as the little-endian host lays values out");

// Appends encoded values to a byte string.
class Encoder {
 public:
  explicit Encoder(std::string& out) : out_(out) {}

  void u8(std::uint8_t value) { out_.push_back(static_cast<char>(value)); }
  void u32(std::uint32_t value) { raw(&value, sizeof value); }
  void u64(std::uint64_t value) { raw(&value, sizeof value); }
  void text(std::string_view value) {
    u64(value.size());
    out_.append(value);
  }
  void floats(std::span<const float> values) {
    u64(values.size());
    raw(values.data(), values.size_bytes());
  }
  // The optional compact JSON text, already written by write_json (absent: tag 0).
  void optional_text(const std::optional<std::string>& value) {
    u8(value ? 1 : 0);
    if (value) text(*value);
  }

  // Encoded sizes, for sizing a buffer before encoding into it.
  static std::size_t text_size(std::string_view value) { return 8 + value.size(); }
  static std::size_t floats_size(std::span<const float> values) { return 8 + 4 * values.size(); }
  static std::size_t optional_text_size(const std::optional<std::string>& value) {
    return 1 + (value ? text_size(*value) : 0);
  }

 private:
  void raw(const void* data, std::size_t size) {
    out_.append(static_cast<const char*>(data), size);
  }

  std::string& out_;
};

// Why decoding stopped: the decoder's message.
template <class T>
using Decoded = tl::expected<T, std::string>;

inline constexpr std::string_view kEndOfData = "io error: failed to fill whole buffer";

// Bytes held in memory, read front to back.
class SpanSource {
 public:
  explicit SpanSource(std::span<const std::byte> bytes) : bytes_(bytes) {}

  bool read(std::span<std::byte> out) {
    if (out.size() > bytes_.size()) return false;
    if (out.empty()) return true;  // an empty span may have no address, which memcpy refuses
    std::memcpy(out.data(), bytes_.data(), out.size());
    bytes_ = bytes_.subspan(out.size());
    return true;
  }
  std::uint64_t remaining() const noexcept { return bytes_.size(); }

 private:
  std::span<const std::byte> bytes_;
};

// Reads encoded values from a source with read(span<byte>) -> bool and remaining().
template <class Source>
class Decoder {
 public:
  explicit Decoder(Source& source) : source_(source) {}

  Decoded<std::uint8_t> u8() { return fixed<std::uint8_t>(); }
  Decoded<std::uint32_t> u32() { return fixed<std::uint32_t>(); }
  Decoded<std::uint64_t> u64() { return fixed<std::uint64_t>(); }

  // A count of elements that take at least `min_element_bytes` each.
  Decoded<std::uint64_t> count(std::uint64_t min_element_bytes) {
    Decoded<std::uint64_t> n = u64();
    if (n && min_element_bytes > 0 && *n > source_.remaining() / min_element_bytes)
      return end_of_data();
    return n;
  }

  Decoded<std::string> text() {
    Decoded<std::uint64_t> length = count(1);
    if (!length) return tl::unexpected(std::move(length).error());
    std::string value(*length, '\0');
    if (!source_.read(std::as_writable_bytes(std::span(value)))) return end_of_data();
    if (std::optional<std::string> error = utf8_error(value)) return tl::unexpected(*error);
    return value;
  }

  Decoded<std::vector<float>> floats() {
    Decoded<std::uint64_t> n = count(sizeof(float));
    if (!n) return tl::unexpected(std::move(n).error());
    std::vector<float> values(*n);
    if (!source_.read(std::as_writable_bytes(std::span(values)))) return end_of_data();
    return values;
  }

  // A tag byte: false for 0, true for 1, a failure for anything else.
  Decoded<bool> tag() {
    Decoded<std::uint8_t> value = u8();
    if (!value) return tl::unexpected(std::move(value).error());
    if (*value > 1)
      return tl::unexpected("tag for enum is not valid, found " + std::to_string(*value));
    return *value == 1;
  }

  Decoded<std::optional<Json>> metadata() {
    Decoded<bool> present = tag();
    if (!present) return tl::unexpected(std::move(present).error());
    if (!*present) return std::optional<Json>();
    Decoded<std::string> json_text = text();
    if (!json_text) return tl::unexpected(std::move(json_text).error());
    Result<Json> value = parse_json(*json_text);
    if (!value) return tl::unexpected(json_message(value.error()));
    return std::optional<Json>(std::move(*value));
  }

 private:
  template <class T>
  Decoded<T> fixed() {
    T value;
    if (!source_.read(std::as_writable_bytes(std::span(&value, 1)))) return end_of_data();
    return value;
  }
  static tl::unexpected<std::string> end_of_data() {
    return tl::unexpected(std::string(kEndOfData));
  }
  static std::string json_message(const Error& error) {
    const auto* text = std::get_if<errors::Serialization>(&error.payload());
    return text != nullptr ? text->text : "metadata is not JSON";
  }

  Source& source_;
};

}  // namespace vexradb
