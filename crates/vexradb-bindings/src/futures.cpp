// The asynchronous-call family. No operation of this library is asynchronous, so no future
// handle is ever handed out; these functions exist because generated bindings resolve every
// symbol of the family when they load. Should one be called anyway, it must neither crash nor
// leave the caller waiting forever: poll reports "ready" at once so the caller moves on to
// complete, which reports an internal failure; cancel and free have nothing to release.

#include <cstdint>
#include <string>

#include "export.hpp"
#include "frame.hpp"
#include "vexradb_bindings.h"

namespace vexradb::ffi {
namespace {

constexpr int8_t kPollReady = 0;

void poll_unknown_future(uint64_t /*handle*/, UniffiRustFutureContinuationCallback callback,
                         uint64_t callback_data) {
  if (callback != nullptr) callback(callback_data, kPollReady);
}

template <class T>
T complete_unknown_future(uint64_t handle, CallStatus* status) {
  return with_failure_barrier(status, [&]() -> T {
    throw InternalFailure("no asynchronous call exists for future handle " +
                          std::to_string(handle));
  });
}

}  // namespace
}  // namespace vexradb::ffi

extern "C" {

#define VEXRA_FUTURE_FAMILY(tag, result_type)                                                    \
  VEXRA_EXPORT void ffi_vexradb_bindings_rust_future_poll_##tag(                                 \
      uint64_t handle, UniffiRustFutureContinuationCallback callback, uint64_t callback_data) {  \
    vexradb::ffi::poll_unknown_future(handle, callback, callback_data);                          \
  }                                                                                              \
  VEXRA_EXPORT void ffi_vexradb_bindings_rust_future_cancel_##tag(uint64_t /*handle*/) {}        \
  VEXRA_EXPORT result_type ffi_vexradb_bindings_rust_future_complete_##tag(uint64_t handle,      \
                                                                           CallStatus* status) { \
    return vexradb::ffi::complete_unknown_future<result_type>(handle, status);                   \
  }                                                                                              \
  VEXRA_EXPORT void ffi_vexradb_bindings_rust_future_free_##tag(uint64_t /*handle*/) {}

VEXRA_FUTURE_FAMILY(u8, uint8_t)
VEXRA_FUTURE_FAMILY(i8, int8_t)
VEXRA_FUTURE_FAMILY(u16, uint16_t)
VEXRA_FUTURE_FAMILY(i16, int16_t)
VEXRA_FUTURE_FAMILY(u32, uint32_t)
VEXRA_FUTURE_FAMILY(i32, int32_t)
VEXRA_FUTURE_FAMILY(u64, uint64_t)
VEXRA_FUTURE_FAMILY(i64, int64_t)
VEXRA_FUTURE_FAMILY(f32, float)
VEXRA_FUTURE_FAMILY(f64, double)
VEXRA_FUTURE_FAMILY(pointer, void*)
VEXRA_FUTURE_FAMILY(rust_buffer, RustBuffer)
VEXRA_FUTURE_FAMILY(void, void)

#undef VEXRA_FUTURE_FAMILY

}  // extern "C"
