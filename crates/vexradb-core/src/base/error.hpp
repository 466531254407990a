#pragma once

// base/: what every subsystem shares: the error value and the internal-failure check, the
// identifier and metric types, the fixed configuration, UTF-8 checks, the keyed id hash, the
// worker pool and the fair reader-writer lock. May use: the standard library only.

#include <cstdint>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <utility>
#include <variant>

namespace vexradb {

// The number of each variant is fixed: it is how the exported layer identifies the failure.
enum class ErrorKind : std::uint8_t {
  DimensionMismatch = 0,
  VectorNotFound = 1,
  DuplicateVectorId = 2,
  IndexEmpty = 3,
  InvalidConfiguration = 4,
  InvalidParameter = 5,
  Storage = 6,
  CollectionNotFound = 7,
  DuplicateCollection = 8,
  CapacityExceeded = 9,
  Io = 10,
  WalCorrupted = 11,
  SnapshotCorrupted = 12,
  ChecksumMismatch = 13,
  UnsupportedVersion = 14,
  IndexCorrupted = 15,
  IdMappingCorrupted = 16,
  Serialization = 17,
  Deserialization = 18,
  LockFailed = 19,
  Cancelled = 20,
};

// Payloads, one type per variant. Engine code never formats an error: the wording belongs to
// the exported layer, which turns each payload into the caller's message.
namespace errors {

template <ErrorKind K>
struct Text {
  std::string text;
};

template <ErrorKind K>
struct Unit {};

struct DimensionMismatch {
  std::uint64_t expected;
  std::uint64_t got;
};
using VectorNotFound = Text<ErrorKind::VectorNotFound>;
using DuplicateVectorId = Text<ErrorKind::DuplicateVectorId>;
using IndexEmpty = Unit<ErrorKind::IndexEmpty>;
using InvalidConfiguration = Text<ErrorKind::InvalidConfiguration>;
// A rejected parameter: `name` and `reason` are static texts chosen by the code that refuses it.
struct InvalidParameter {
  std::string value;
  std::string_view name;
  std::string_view reason;
};
using Storage = Text<ErrorKind::Storage>;
using CollectionNotFound = Text<ErrorKind::CollectionNotFound>;
using DuplicateCollection = Text<ErrorKind::DuplicateCollection>;
using CapacityExceeded = Text<ErrorKind::CapacityExceeded>;
// An operating-system input/output failure. `os_code` is the errno value (0 for failures that
// the system did not report itself, such as a short read); `description` is its text.
struct Io {
  int os_code;
  std::string description;

  static Io from_errno(int code);
};
using WalCorrupted = Text<ErrorKind::WalCorrupted>;
using SnapshotCorrupted = Text<ErrorKind::SnapshotCorrupted>;
using ChecksumMismatch = Unit<ErrorKind::ChecksumMismatch>;
struct UnsupportedVersion {
  std::uint8_t version;
};
using IndexCorrupted = Text<ErrorKind::IndexCorrupted>;
struct IdMappingCorrupted {
  std::uint64_t internal;
  std::string external;
};
using Serialization = Text<ErrorKind::Serialization>;
using Deserialization = Text<ErrorKind::Deserialization>;
using LockFailed = Text<ErrorKind::LockFailed>;
using Cancelled = Unit<ErrorKind::Cancelled>;

}  // namespace errors

// The one failure value of the engine: every fallible operation returns its result or an Error.
// It owns its texts and is moved up to the exported layer, never shared.
class Error {
 public:
  // Alternatives in ErrorKind order, so that kind() is the variant's index.
  using Payload =
      std::variant<errors::DimensionMismatch, errors::VectorNotFound, errors::DuplicateVectorId,
                   errors::IndexEmpty, errors::InvalidConfiguration, errors::InvalidParameter,
                   errors::Storage, errors::CollectionNotFound, errors::DuplicateCollection,
                   errors::CapacityExceeded, errors::Io, errors::WalCorrupted,
                   errors::SnapshotCorrupted, errors::ChecksumMismatch, errors::UnsupportedVersion,
                   errors::IndexCorrupted, errors::IdMappingCorrupted, errors::Serialization,
                   errors::Deserialization, errors::LockFailed, errors::Cancelled>;

  template <class P>
  requires std::is_constructible_v<Payload, P&&> Error(P&& payload)
      : payload_(std::forward<P>(payload)) {}  // NOLINT: implicit by design

  ErrorKind kind() const noexcept { return static_cast<ErrorKind>(payload_.index()); }
  const Payload& payload() const noexcept { return payload_; }

  // The payload when the error is of that variant, otherwise null.
  template <class P>
  const P* get_if() const noexcept {
    return std::get_if<P>(&payload_);
  }

 private:
  Payload payload_;
};

static_assert(std::variant_size_v<Error::Payload> == 21);
static_assert(std::is_same_v<
              std::variant_alternative_t<static_cast<std::size_t>(ErrorKind::Io), Error::Payload>,
              errors::Io>);
static_assert(
    std::is_same_v<
        std::variant_alternative_t<static_cast<std::size_t>(ErrorKind::Cancelled), Error::Payload>,
        errors::Cancelled>);

template <class T>
using Result = tl::expected<T, Error>;
using Status = Result<void>;

// `return fail(errors::IndexEmpty{});` from a function returning Result<T>.
inline tl::unexpected<Error> fail(Error error) { return tl::unexpected<Error>(std::move(error)); }

}  // namespace vexradb
