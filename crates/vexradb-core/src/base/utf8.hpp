#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vexradb {

// Why `bytes` is not valid UTF-8 ("invalid utf-8 sequence of N bytes from index I" or
// "incomplete utf-8 byte sequence from index I"), or nothing when it is.
std::optional<std::string> utf8_error(std::span<const std::uint8_t> bytes);

inline std::optional<std::string> utf8_error(std::string_view text) {
  return utf8_error(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace vexradb
