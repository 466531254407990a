#include "frame.hpp"

#include "byte_buffer.hpp"

namespace vexradb::ffi {

void report_internal_failure(CallStatus* status, std::string_view message) noexcept {
  if (status == nullptr) return;
  status->code = VEXRADB_CALL_INTERNAL_FAILURE;
  if (message.empty()) message = "Unknown panic!";
  try {
    status->error_buf = ByteBuffer::copy_of(message).release();
  } catch (...) {
    // Out of memory: the caller's empty error_buf stays, and it shows a generic message.
  }
}

}  // namespace vexradb::ffi
