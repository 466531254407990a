#include "durable/crc32.hpp"

#include <zlib.h>

#include <algorithm>

namespace vexradb {

std::uint32_t crc32_update(std::uint32_t crc, std::string_view bytes) {
  // zlib takes at most 4 GiB per call.
  constexpr std::size_t kMaxPiece = 1u << 30;
  uLong value = crc;
  while (!bytes.empty()) {
    const std::size_t piece = std::min(bytes.size(), kMaxPiece);
    value = ::crc32(value, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(piece));
    bytes.remove_prefix(piece);
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace vexradb
