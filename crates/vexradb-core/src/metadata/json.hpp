#pragma once

// The engine's one JSON facility: the value type that holds metadata and filter operands, a
// strict parser and a deterministic compact writer.

#include <cstddef>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/error.hpp"

namespace vexradb {

// Converts C++ values into Json the way the library does, except that a signed integer that is
// not negative becomes the unsigned kind. The value model holds non-negative integers as
// unsigned and negative ones as signed, and equality is kind-sensitive, so `Json(5)` must be the
// same kind as the parsed text "5".
template <class T, class = void>
struct JsonSerializer : nlohmann::adl_serializer<T> {};

template <class T>
struct JsonSerializer<T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>>>
    : nlohmann::adl_serializer<T> {
  template <class BasicJson>
  static void to_json(BasicJson& json, T number) {
    if (number >= 0) {
      nlohmann::to_json(json, static_cast<std::uint64_t>(number));
    } else {
      nlohmann::to_json(json, static_cast<std::int64_t>(number));
    }
  }
};

// A JSON value: null, boolean, number, string, array or object.
//
// - A number is of one of three kinds: `number_unsigned` (non-negative integers),
//   `number_integer` (negative integers) or `number_float` (everything else, including integers
//   outside both 64-bit ranges). `type()` tells the kind.
// - Object members live in a std::map with a transparent std::less, so they are kept in byte-wise
//   key order (std::char_traits<char> compares as unsigned char) and can be looked up with a
//   std::string_view without allocating.
// - The library's `binary` and `discarded` types are outside this model; the parser never
//   produces them and the writer refuses them.
//
// Equality: the library's own operator== treats 1 and 1.0 as equal; the engine's equality is
// json_equal below. Do not compare values with ==.
//
// write_json and json_equal recurse once per nesting level; values that come from parse_json are
// at most kMaxJsonDepth deep (one more where a caller wraps such values in an envelope).
using Json = nlohmann::basic_json<std::map, std::vector, std::string, bool, std::int64_t,
                                  std::uint64_t, double, std::allocator, JsonSerializer>;

// Deepest nesting of arrays and objects the parser accepts.
inline constexpr std::size_t kMaxJsonDepth = 128;

// Parses exactly one JSON document (RFC 8259), with optional surrounding whitespace.
//
// Fails with errors::Serialization whose text is "<message> at line <L> column <C>": lines count
// from 1, and the column is the number of bytes consumed on that line when the fault was found
// (the offending byte included; at the end of the input, every byte). Messages: "EOF while
// parsing a value|a list|an object|a string", "expected value", "expected ident", "expected `:`",
// "expected `,` or `]`", "expected `,` or `}`", "key must be a string", "trailing characters",
// "invalid number", "number out of range", "invalid escape", "invalid unicode code point",
// "lone leading surrogate in hex escape", "control character (\u0000-\u001F) found while parsing
// a string", "invalid UTF-8 while parsing a string", "recursion limit exceeded" (more than
// `max_depth` nested arrays and objects).
//
// Numbers: an integer without fraction or exponent that fits becomes unsigned (no minus sign,
// and also "-0") or signed (negative); any other number is the correctly rounded double, and one
// whose magnitude rounds to infinity fails with "number out of range". When an object repeats a
// key, the last member wins.
//
// `max_depth` above kMaxJsonDepth is for documents that wrap values of the engine's depth, such
// as a line of JSON Lines that holds metadata in an object.
Result<Json> parse_json(std::string_view text, std::size_t max_depth = kMaxJsonDepth);

// The compact text of `value`: no whitespace, object members in key order, strings escaped only
// where JSON requires it (\" \\ \b \f \n \r \t, other control characters as \u00xx in lowercase
// hex), floats in the shortest form that reads back to the same double, non-finite floats as
// null. The output is a pure function of the value: the log's checksums rely on that.
std::string write_json(const Json& value);

// The compact text of optional metadata (absent stays absent).
std::optional<std::string> metadata_text(const std::optional<Json>& metadata);

// The engine's equality of JSON values: same type, and for numbers the same kind (unsigned 1,
// signed 1 and float 1.0 are three different values; floats compare as doubles, so 0.0 equals
// -0.0 and NaN equals nothing). Arrays compare element by element, objects member by member.
// Allocates nothing.
bool json_equal(const Json& a, const Json& b) noexcept;

}  // namespace vexradb
