#include "method_frame.hpp"

namespace vexradb::ffi {

BufferArg::~BufferArg() {
  if (taken_) return;
  // Released quietly: a buffer whose fields are inconsistent is not ours to free.
  if (ByteBuffer::invalid_reason(raw_) == nullptr) ByteBuffer::take(raw_);
}

ByteBuffer BufferArg::take() {
  taken_ = true;
  return ByteBuffer::take(raw_);
}

void fail_conversion(std::string_view name, const std::string& reason) {
  throw InternalFailure("Failed to convert arg '" + std::string(name) + "': " + reason);
}

std::string text_of(std::string_view name, std::span<const std::uint8_t> bytes) {
  if (auto error = utf8_error(bytes)) fail_conversion(name, *error);
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string lift_string_arg(std::string_view name, BufferArg& arg) {
  const ByteBuffer bytes = arg.take();
  return text_of(name, bytes.bytes());
}

void report_error(CallStatus* status, const VexraError& error) {
  RustBuffer lowered = lower_error(error).release();
  if (status == nullptr) {
    ByteBuffer::take(lowered);
    return;
  }
  status->code = VEXRADB_CALL_ERROR;
  status->error_buf = lowered;
}

}  // namespace vexradb::ffi
