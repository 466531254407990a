#pragma once

#include <string>

#include "vexradb_bindings.h"

namespace vexradb::abi_test {

// A status as a foreign caller prepares it before every call.
inline CallStatus fresh_status() { return CallStatus{0, RustBuffer{0, 0, nullptr}}; }

// The bytes of a buffer the library returned, which is then released.
inline std::string consume_text(RustBuffer buffer) {
  std::string text(reinterpret_cast<const char*>(buffer.data), buffer.len);
  CallStatus status = fresh_status();
  ffi_vexradb_bindings_rustbuffer_free(buffer, &status);
  return text;
}

// The message of a failed call (its error_buf is released).
inline std::string failure_message(CallStatus& status) {
  std::string text = consume_text(status.error_buf);
  status.error_buf = RustBuffer{0, 0, nullptr};
  return text;
}

}  // namespace vexradb::abi_test
