#include "byte_buffer.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "base/internal_failure.hpp"

namespace vexradb::ffi {
namespace {

// The address empty buffers carry. Never read past zero bytes, never freed.
std::uint8_t empty_placeholder;

// Smallest allocation a growing buffer gets, so that appending byte by byte does not reallocate
// at every step.
constexpr std::uint64_t kMinGrownCapacity = 8;

[[noreturn]] void fail_allocation(std::uint64_t size) {
  throw InternalFailure("memory allocation of " + std::to_string(size) + " bytes failed");
}

void check_capacity(std::uint64_t capacity) {
  if (capacity > ByteBuffer::kMaxCapacity) throw InternalFailure("capacity overflow");
}

}  // namespace

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      len_(std::exchange(other.len_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    len_ = std::exchange(other.len_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() { std::free(data_); }

ByteBuffer ByteBuffer::zeroed(std::uint64_t size) {
  check_capacity(size);
  if (size == 0) return {};
  auto* data = static_cast<std::uint8_t*>(std::calloc(size, 1));
  if (data == nullptr) fail_allocation(size);
  return {data, size, size};
}

ByteBuffer ByteBuffer::copy_of(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return {};
  auto* data = static_cast<std::uint8_t*>(std::malloc(bytes.size()));
  if (data == nullptr) fail_allocation(bytes.size());
  std::memcpy(data, bytes.data(), bytes.size());
  return {data, bytes.size(), bytes.size()};
}

ByteBuffer ByteBuffer::copy_of(std::string_view text) {
  return copy_of(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

const char* ByteBuffer::invalid_reason(const RustBuffer& buffer) noexcept {
  if (buffer.data == nullptr) {
    if (buffer.capacity != 0) return "null RustBuffer had non-zero capacity";
    if (buffer.len != 0) return "null RustBuffer had non-zero length";
    return nullptr;
  }
  if (buffer.len > buffer.capacity) return "RustBuffer length exceeds capacity";
  return nullptr;
}

ByteBuffer ByteBuffer::take(RustBuffer buffer) {
  if (const char* reason = invalid_reason(buffer)) throw InternalFailure(reason);
  // A zero capacity owns nothing, whatever the address (it may be our placeholder).
  if (buffer.data == nullptr || buffer.capacity == 0) return {};
  return {buffer.data, buffer.len, buffer.capacity};
}

void ByteBuffer::reserve(std::uint64_t additional) {
  if (capacity_ - len_ >= additional) return;
  if (additional > kMaxCapacity - len_) throw InternalFailure("capacity overflow");
  const std::uint64_t required = len_ + additional;
  // Doubling keeps a run of small reserves linear overall.
  const std::uint64_t doubled = std::min(capacity_, kMaxCapacity / 2) * 2;
  const std::uint64_t grown = std::max({required, doubled, kMinGrownCapacity});
  auto* data = static_cast<std::uint8_t*>(std::realloc(data_, grown));
  if (data == nullptr) fail_allocation(grown);
  data_ = data;
  capacity_ = grown;
}

void ByteBuffer::append(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  reserve(bytes.size());
  std::memcpy(data_ + len_, bytes.data(), bytes.size());
  len_ += bytes.size();
}

RustBuffer ByteBuffer::release() && noexcept {
  RustBuffer out{capacity_, len_, data_ != nullptr ? data_ : &empty_placeholder};
  data_ = nullptr;
  len_ = 0;
  capacity_ = 0;
  return out;
}

}  // namespace vexradb::ffi
