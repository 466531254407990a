#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace vexradb {

// A violated invariant of our own code (an index out of range, a slice shorter than expected).
// It is never an expected outcome: it stops the operation and unwinds to the exported layer's
// failure barrier, the only place that catches it, which reports it to the caller with its text.
// Failures the caller can cause or recover from are Error values instead.
class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message) noexcept : message_(std::move(message)) {}

  // May be empty: the barrier then reports a generic text.
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Throws an InternalFailure whose text names the place: "<file>:<line>: <detail>", with the file
// relative to the repository (the build maps source paths that way).
[[noreturn]] void fail_internal(const char* file, int line, std::string_view detail);

}  // namespace vexradb

// Checks an invariant of our own code; `detail` says what broke.
#define VEXRA_CHECK(condition, detail) \
  ((condition) ? static_cast<void>(0) : ::vexradb::fail_internal(__FILE__, __LINE__, (detail)))
