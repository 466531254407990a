#include "base/id_hash.hpp"

#include <sodium.h>

#include <array>
#include <cstring>

namespace vexradb {
namespace {

using Key = std::array<unsigned char, crypto_shorthash_KEYBYTES>;

// Drawn from libsodium's generator, which never throws: the hash is noexcept, and a throwing
// source (std::random_device can) would end the process from inside it.
const Key& process_key() {
  static const Key key = [] {
    Key k;
    randombytes_buf(k.data(), k.size());
    return k;
  }();
  return key;
}

}  // namespace

std::uint64_t keyed_hash(std::span<const std::byte> bytes) noexcept {
  unsigned char out[crypto_shorthash_BYTES];
  crypto_shorthash(out, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                   process_key().data());
  std::uint64_t hash;
  static_assert(sizeof hash == sizeof out);
  std::memcpy(&hash, out, sizeof hash);
  return hash;
}

std::size_t IdHash::operator()(std::string_view text) const noexcept {
  return static_cast<std::size_t>(keyed_hash(std::as_bytes(std::span(text.data(), text.size()))));
}

}  // namespace vexradb
