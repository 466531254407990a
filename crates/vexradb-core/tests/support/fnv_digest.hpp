#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

namespace vexradb::testing_support {

// FNV-1a over 64-bit words: a digest of results that a test compares with a value fixed once,
// so that the same inputs give the same results on every machine and in every later version.
class FnvDigest {
 public:
  void add(std::uint64_t value) {
    for (int byte = 0; byte < 8; ++byte) {
      hash_ ^= (value >> (8 * byte)) & 0xff;
      hash_ *= 0x100000001b3ull;
    }
  }
  void add(const std::string& text) {
    for (const char c : text) add(static_cast<unsigned char>(c));
  }
  // A float's bits; every NaN counts as one, because which NaN an operation returns differs
  // between processors (x86 makes its default NaN negative, Arm positive).
  void add_bits(float value) {
    add(std::isnan(value) ? 0x7fc00000u : std::bit_cast<std::uint32_t>(value));
  }
  std::uint64_t value() const { return hash_; }

 private:
  std::uint64_t hash_ = 0xcbf29ce484222325ull;
};

}  // namespace vexradb::testing_support
