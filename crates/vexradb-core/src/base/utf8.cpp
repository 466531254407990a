#include "base/utf8.hpp"

namespace vexradb {
namespace {

std::string invalid_sequence(std::size_t length, std::size_t index) {
  return "invalid utf-8 sequence of " + std::to_string(length) + " bytes from index " +
         std::to_string(index);
}

std::string incomplete_sequence(std::size_t index) {
  return "incomplete utf-8 byte sequence from index " + std::to_string(index);
}

bool is_continuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// The allowed range of the second byte of a sequence led by `lead` (it excludes overlong forms,
// surrogates and code points above U+10FFFF).
bool second_byte_fits(std::uint8_t lead, std::uint8_t second) {
  switch (lead) {
    case 0xE0:
      return second >= 0xA0 && second <= 0xBF;
    case 0xED:
      return second >= 0x80 && second <= 0x9F;
    case 0xF0:
      return second >= 0x90 && second <= 0xBF;
    case 0xF4:
      return second >= 0x80 && second <= 0x8F;
    default:
      return is_continuation(second);
  }
}

// Length of the sequence a lead byte starts, or 0 when it cannot start one.
std::size_t sequence_length(std::uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

// The reported length is the number of bytes examined before the sequence proved invalid; a
// sequence cut short by the end of the input is "incomplete" instead.
std::optional<std::string> utf8_error(std::span<const std::uint8_t> bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::uint8_t lead = bytes[i];
    const std::size_t length = sequence_length(lead);
    if (length == 0) return invalid_sequence(1, i);
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k >= bytes.size()) return incomplete_sequence(i);
      const bool fits =
          k == 1 ? second_byte_fits(lead, bytes[i + 1]) : is_continuation(bytes[i + k]);
      if (!fits) return invalid_sequence(k, i);
    }
    i += length;
  }
  return std::nullopt;
}

}  // namespace vexradb
