#pragma once
// CRC-32 (ISO-HDLC, zlib's), which the log's frames and the snapshots' checksum files use.
#include <cstdint>
#include <string_view>

namespace vexradb {

// The checksum of the bytes that gave `crc`, followed by `bytes` (start from 0).
std::uint32_t crc32_update(std::uint32_t crc, std::string_view bytes);

inline std::uint32_t crc32_of(std::string_view bytes) { return crc32_update(0, bytes); }

}  // namespace vexradb
