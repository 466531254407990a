// Exported buffer management, the free functions and the client handle functions.

#include <cstdint>
#include <limits>
#include <string_view>

#include "base/internal_failure.hpp"
#include "byte_buffer.hpp"
#include "client.hpp"
#include "export.hpp"
#include "frame.hpp"
#include "vexradb_bindings.h"

namespace vexradb::ffi {
namespace {

constexpr std::string_view kVersion = "1.0.0-alpha.5";

#if defined(__aarch64__)
constexpr std::string_view kTargetArch = "aarch64";
#elif defined(__x86_64__)
constexpr std::string_view kTargetArch = "x86_64";
#else
#error "unsupported target processor: only aarch64 and x86_64 are built"
#endif

#if defined(__linux__)
constexpr std::string_view kTargetOs = "linux";
#else
#error "unsupported target system: only Linux is built"
#endif

std::string system_info_text() {
  std::string text = "VexraDB Bindings v";
  text += kVersion;
  text += "\nTarget: ";
  text += kTargetArch;
  text += '-';
  text += kTargetOs;
  text += "\nFeatures: SIMD-optimized";
  return text;
}

RustBuffer from_foreign_bytes(ForeignBytes bytes) {
  if (bytes.data == nullptr && bytes.len != 0) {
    throw InternalFailure("null ForeignBytes had non-zero length");
  }
  if (bytes.len < 0) {
    throw InternalFailure("bytes length negative or overflowed: TryFromIntError(())");
  }
  if (bytes.len == 0) return ByteBuffer().release();
  return ByteBuffer::copy_of(std::span(bytes.data, static_cast<std::size_t>(bytes.len))).release();
}

}  // namespace
}  // namespace vexradb::ffi

using vexradb::ffi::ByteBuffer;
using vexradb::ffi::ClientRecord;
using vexradb::ffi::with_failure_barrier;

extern "C" {

VEXRA_EXPORT RustBuffer ffi_vexradb_bindings_rustbuffer_alloc(uint64_t size, CallStatus* status) {
  return with_failure_barrier(status, [&] { return ByteBuffer::zeroed(size).release(); });
}

VEXRA_EXPORT RustBuffer ffi_vexradb_bindings_rustbuffer_from_bytes(ForeignBytes bytes,
                                                                   CallStatus* status) {
  return with_failure_barrier(status, [&] { return vexradb::ffi::from_foreign_bytes(bytes); });
}

VEXRA_EXPORT void ffi_vexradb_bindings_rustbuffer_free(RustBuffer buf, CallStatus* status) {
  with_failure_barrier(status, [&] { ByteBuffer::take(buf); });
}

VEXRA_EXPORT RustBuffer ffi_vexradb_bindings_rustbuffer_reserve(RustBuffer buf, uint64_t additional,
                                                                CallStatus* status) {
  return with_failure_barrier(status, [&] {
    ByteBuffer buffer = ByteBuffer::take(buf);
    buffer.reserve(additional);
    return std::move(buffer).release();
  });
}

VEXRA_EXPORT RustBuffer uniffi_vexradb_bindings_fn_func_version(CallStatus* status) {
  return with_failure_barrier(status,
                              [] { return ByteBuffer::copy_of(vexradb::ffi::kVersion).release(); });
}

VEXRA_EXPORT RustBuffer uniffi_vexradb_bindings_fn_func_system_info(CallStatus* status) {
  return with_failure_barrier(
      status, [] { return ByteBuffer::copy_of(vexradb::ffi::system_info_text()).release(); });
}

// Cannot fail for a live handle, and then never writes the status. A null handle is answered as
// every other call answers it, instead of being dereferenced.
VEXRA_EXPORT void* uniffi_vexradb_bindings_fn_clone_vexraclient(void* handle, CallStatus* status) {
  if (handle == nullptr) {
    return with_failure_barrier(status, []() -> void* {
      throw vexradb::InternalFailure("assertion failed: !ptr.is_null()");
    });
  }
  return ClientRecord::clone(handle);
}

VEXRA_EXPORT void uniffi_vexradb_bindings_fn_free_vexraclient(void* handle, CallStatus* status) {
  with_failure_barrier(status, [&] { ClientRecord::release(handle); });
}

}  // extern "C"
