#pragma once

// The frame shared by the client's exported constructors and methods: buffer arguments that the
// library owns from the call on, lifting with the bindings' messages, the handle reference each
// method consumes, and the mapping of results and errors onto the call status.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "byte_buffer.hpp"
#include "client.hpp"
#include "converters.hpp"
#include "frame.hpp"
#include "wire.hpp"

namespace vexradb::ffi {

// A buffer argument. The caller gave it up at the call, so it is released on every path, also
// when an earlier argument fails to lift and this one is never examined.
class BufferArg {
 public:
  explicit BufferArg(RustBuffer raw) noexcept : raw_(raw) {}
  BufferArg(const BufferArg&) = delete;
  BufferArg& operator=(const BufferArg&) = delete;
  ~BufferArg();

  // The bytes, after checking the buffer's fields (InternalFailure when they are inconsistent).
  ByteBuffer take();

 private:
  RustBuffer raw_;
  bool taken_ = false;
};

// "Failed to convert arg '<name>': <reason>", thrown as an internal failure.
[[noreturn]] void fail_conversion(std::string_view name, const std::string& reason);

// Reads exactly one value from the bytes of the argument `name` with `lift(WireReader&)`.
template <class Lift>
auto lift_bytes(std::string_view name, std::span<const std::uint8_t> bytes, Lift&& lift) {
  WireReader reader(bytes);
  auto value = lift(reader);
  if (!reader.failed() && reader.remaining() > 0) {
    reader.fail("junk data left in buffer after lifting (count: " +
                std::to_string(reader.remaining()) + ")");
  }
  if (reader.failed()) fail_conversion(name, reader.error());
  return value;
}

// Reads exactly one value from a buffer argument with `lift(WireReader&)`.
template <class Lift>
auto lift_arg(std::string_view name, BufferArg& arg, Lift&& lift) {
  const ByteBuffer bytes = arg.take();
  return lift_bytes(name, bytes.bytes(), std::forward<Lift>(lift));
}

// The bytes of the argument `name` as text, which must be UTF-8 (the log and snapshots can only
// store valid text, so an invalid id is refused here rather than poisoning them).
std::string text_of(std::string_view name, std::span<const std::uint8_t> bytes);

// A text argument: the buffer's bytes, checked as text_of checks them.
std::string lift_string_arg(std::string_view name, BufferArg& arg);

// A result lowered to its reply bytes, or the error it holds.
template <class T>
Outcome<ByteBuffer> lowered(Outcome<T> outcome, ByteBuffer (*lower)(const T&)) {
  if (!outcome) return tl::unexpected(std::move(outcome).error());
  return lower(*outcome);
}

// Marks a call that ended with an error of the interface (code 1).
void report_error(CallStatus* status, const VexraError& error);

// The C value a method returns for a result.
inline std::int8_t to_c(bool value) { return value ? 1 : 0; }
inline std::uint64_t to_c(std::uint64_t value) { return value; }
inline RustBuffer to_c(ByteBuffer&& value) { return std::move(value).release(); }

template <class Value>
struct CResultOf {
  using type = decltype(to_c(std::declval<Value>()));
};
template <>
struct CResultOf<void> {
  using type = void;
};

// The reference a method consumes: released when the call ends, on every path.
class ClientRef {
 public:
  explicit ClientRef(void* handle) noexcept : handle_(handle) {}
  ClientRef(const ClientRef&) = delete;
  ClientRef& operator=(const ClientRef&) = delete;
  ~ClientRef() {
    if (handle_ != nullptr) ClientRecord::release(handle_);
  }

  VexraClient& client() const {
    if (handle_ == nullptr) throw InternalFailure("assertion failed: !ptr.is_null()");
    return ClientRecord::get(handle_);
  }

 private:
  void* handle_;
};

// Runs a method: `body(client)` lifts the remaining arguments and returns an Outcome; a value is
// returned as its C value, an error is reported with code 1, an internal failure with code 2.
template <class Body>
auto call_method(void* handle, CallStatus* status, Body&& body) noexcept {
  using Value = typename std::invoke_result_t<Body&, VexraClient&>::value_type;
  using CResult = typename CResultOf<Value>::type;
  const ClientRef ref(handle);
  return with_failure_barrier(status, [&]() -> CResult {
    Outcome<Value> outcome = body(ref.client());
    if (!outcome) {
      report_error(status, outcome.error());
      return CResult();
    }
    if constexpr (!std::is_void_v<Value>) return to_c(std::move(*outcome));
  });
}

}  // namespace vexradb::ffi
