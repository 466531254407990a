#pragma once

// The records, enumerations and errors of the exported interface, how they are read from and
// written to the wire, and how they convert to and from the engine's own types.

#include <cstdint>
#include <optional>
#include <string>
#include <tl/expected.hpp>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "base/types.hpp"
#include "byte_buffer.hpp"
#include "metadata/filter.hpp"
#include "metadata/json.hpp"
#include "wire.hpp"

namespace vexradb::ffi {

struct ClientConfig {
  std::uint32_t dimensions = 0;
  DistanceMetric distance_metric = DistanceMetric::Cosine;
  Quantization quantization = Quantization::None;
  bool persistent = false;
  std::optional<std::string> label;  // kept with the client, used nowhere
};

struct VectorEntry {
  std::string id;
  std::vector<float> vector;
  std::optional<std::string> metadata_json;
};

struct SearchResult {
  std::string id;
  float distance;
  std::optional<std::string> metadata_json;
};

// The answers of a batch of searches: each query's hits, nearest first, and the width every
// query's row is padded to: k, or when smaller the number of vectors a search can return (more
// when a write made meanwhile let a search find more).
struct BatchAnswers {
  std::size_t width = 0;
  std::vector<std::vector<SearchResult>> hits;
};

struct ClientStats {
  std::uint64_t vector_count;
  std::uint32_t dimensions;
  std::uint64_t memory_usage_bytes;
  float compression_ratio;
};

// The exported filter: equality and membership over JSON texts, combined with And and Or.
struct SearchFilter {
  struct Eq {
    std::string field;
    std::string value_json;
  };
  struct In {
    std::string field;
    std::vector<std::string> values_json;
  };
  struct And {
    std::vector<SearchFilter> filters;
  };
  struct Or {
    std::vector<SearchFilter> filters;
  };
  std::variant<Eq, In, And, Or> node;
};

// Deepest nesting of SearchFilter accepted from a caller (the engine's filters go no deeper).
inline constexpr int kMaxSearchFilterDepth = 128;

// The exported error: a variant number from 1 and its full message.
enum class VexraErrorCode : std::int32_t {
  DimensionMismatch = 1,
  VectorNotFound = 2,
  DuplicateVectorId = 3,
  IndexEmpty = 4,
  InvalidConfiguration = 5,
  Storage = 6,
  Io = 7,
  Serialization = 8,
  CollectionNotFound = 9,
  DuplicateCollection = 10,
  WalCorrupted = 11,
  SnapshotCorrupted = 12,
  IndexCorrupted = 13,
  ChecksumMismatch = 14,
  UnsupportedVersion = 15,
  CapacityExceeded = 16,
  LockFailed = 17,
  Cancelled = 18,
};

struct VexraError {
  VexraErrorCode code;
  std::string message;
};

template <class T>
using Outcome = tl::expected<T, VexraError>;

// The exported error an engine error is reported as, with its message.
VexraError to_vexra_error(const Error& error);
// The error buffer of a call that ends with code 1: the variant number, then the message.
ByteBuffer lower_error(const VexraError& error);

// Parses optional metadata text; a parse failure is the Serialization error.
Outcome<std::optional<Json>> parse_metadata(const std::optional<std::string>& metadata_json);
// The engine filter of an exported one; the first JSON text that does not parse fails it.
Outcome<Filter> to_core_filter(const SearchFilter& filter);

std::optional<std::string> lift_optional_string(WireReader& reader);
ClientConfig lift_client_config(WireReader& reader);
std::vector<VectorEntry> lift_vector_entries(WireReader& reader);
SearchFilter lift_search_filter(WireReader& reader);

ByteBuffer lower_optional_entry(const std::optional<VectorEntry>& entry);
ByteBuffer lower_ids(const std::vector<std::string>& ids);
ByteBuffer lower_search_results(const std::vector<SearchResult>& results);
ByteBuffer lower_stats(const ClientStats& stats);
// The packed little-endian reply of a batch search (laid out in the public header).
ByteBuffer lower_batch_answers(const BatchAnswers& answers, bool with_metadata);

}  // namespace vexradb::ffi
