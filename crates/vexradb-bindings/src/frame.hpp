#pragma once

#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "base/internal_failure.hpp"
#include "vexradb_bindings.h"

namespace vexradb::ffi {

// Marks an internal failure (code 2) in `status`, with `message` as raw UTF-8 in error_buf
// ("Unknown panic!" when the failure carried no text). If even that buffer cannot be built,
// error_buf keeps what the caller put there.
void report_internal_failure(CallStatus* status, std::string_view message) noexcept;

// The failure barrier around the body of every exported function that takes a status: nothing
// thrown inside it unwinds into the foreign caller. A failure is reported as code 2 and the
// result is the zero value of its type.
template <class Body>
auto with_failure_barrier(CallStatus* status, Body&& body) noexcept -> std::invoke_result_t<Body&> {
  using Result = std::invoke_result_t<Body&>;
  try {
    return body();
  } catch (const InternalFailure& failure) {
    report_internal_failure(status, failure.message());
  } catch (const std::bad_alloc&) {
    report_internal_failure(status, "memory allocation failed");
  } catch (const std::exception& failure) {
    report_internal_failure(status, failure.what());
  } catch (...) {
    report_internal_failure(status, {});
  }
  if constexpr (!std::is_void_v<Result>) return Result{};
}

}  // namespace vexradb::ffi
