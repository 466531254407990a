#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <utility>

#include "base/internal_failure.hpp"

namespace vexradb::ffi {

// An object shared with the foreign side through an opaque handle: the handle is the address of
// this record, which carries an atomic strong count next to the value. Each handle the caller
// holds is one reference; the value is destroyed when the last one is released.
template <class T>
class SharedRecord {
 public:
  // A new record holding one reference; returns its handle.
  template <class... Args>
  static void* create(Args&&... args) {
    return new SharedRecord(std::forward<Args>(args)...);
  }

  // The value behind a live handle.
  static T& get(void* handle) noexcept { return static_cast<SharedRecord*>(handle)->value_; }

  // Adds a reference and returns the same handle.
  static void* clone(void* handle) noexcept {
    auto* record = static_cast<SharedRecord*>(handle);
    // Relaxed is enough: the caller already holds a reference, so the record cannot go away.
    const auto previous = record->strong_.fetch_add(1, std::memory_order_relaxed);
    // A count this large can only come from a leak of references; wrapping it would free a
    // live object.
    if (previous > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      std::abort();
    }
    return handle;
  }

  // Drops a reference, destroying the value with the last one.
  static void release(void* handle) {
    if (handle == nullptr) throw InternalFailure("assertion failed: !ptr.is_null()");
    auto* record = static_cast<SharedRecord*>(handle);
    if (record->strong_.fetch_sub(1, std::memory_order_release) != 1) return;
    // Synchronise with every earlier release so all holders' writes to the value happen before
    // its destruction. An acquire load on the count does what a fence would, and thread
    // sanitizer understands it.
    (void)record->strong_.load(std::memory_order_acquire);
    delete record;
  }

  // The current strong count (for tests and diagnostics; racy by nature).
  static std::uint64_t strong_count(void* handle) noexcept {
    return static_cast<SharedRecord*>(handle)->strong_.load(std::memory_order_relaxed);
  }

 private:
  template <class... Args>
  explicit SharedRecord(Args&&... args) : value_(std::forward<Args>(args)...) {}

  std::atomic<std::uint64_t> strong_{1};
  T value_;
};

}  // namespace vexradb::ffi
