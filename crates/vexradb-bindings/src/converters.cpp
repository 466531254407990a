#include "converters.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <utility>

#include "base/overloaded.hpp"

namespace vexradb::ffi {
namespace {

VexraError make_error(VexraErrorCode code, std::string prefix, const std::string& text) {
  return {code, std::move(prefix) + text};
}

}  // namespace

VexraError to_vexra_error(const Error& error) {
  using Code = VexraErrorCode;
  return std::visit(
      Overloaded{
          [](const errors::DimensionMismatch& e) {
            // The exported payload is 32-bit: larger values keep their low 32 bits.
            const auto expected = static_cast<std::uint32_t>(e.expected);
            const auto got = static_cast<std::uint32_t>(e.got);
            return VexraError{Code::DimensionMismatch, "Dimension mismatch: expected " +
                                                           std::to_string(expected) + ", got " +
                                                           std::to_string(got)};
          },
          [](const errors::VectorNotFound& e) {
            return make_error(Code::VectorNotFound, "Vector not found: ", e.text);
          },
          [](const errors::DuplicateVectorId& e) {
            return make_error(Code::DuplicateVectorId, "Duplicate vector ID: ", e.text);
          },
          [](const errors::IndexEmpty&) {
            return VexraError{Code::IndexEmpty, "Index is empty, cannot search"};
          },
          [](const errors::InvalidConfiguration& e) {
            return make_error(Code::InvalidConfiguration, "Invalid configuration: ", e.text);
          },
          [](const errors::InvalidParameter& e) {
            return VexraError{Code::InvalidConfiguration,
                              "Invalid configuration: " + std::string(e.name) + " = " + e.value +
                                  ": " + std::string(e.reason)};
          },
          [](const errors::Storage& e) {
            return make_error(Code::Storage, "Storage error: ", e.text);
          },
          [](const errors::CollectionNotFound& e) {
            return make_error(Code::CollectionNotFound, "Collection not found: ", e.text);
          },
          [](const errors::DuplicateCollection& e) {
            return make_error(Code::DuplicateCollection, "Duplicate collection: ", e.text);
          },
          [](const errors::CapacityExceeded& e) {
            return make_error(Code::CapacityExceeded, "Capacity exceeded: ", e.text);
          },
          [](const errors::Io& e) { return make_error(Code::Io, "IO error: ", e.description); },
          [](const errors::WalCorrupted& e) {
            return make_error(Code::WalCorrupted, "WAL corrupted: ", e.text);
          },
          [](const errors::SnapshotCorrupted& e) {
            return make_error(Code::SnapshotCorrupted, "Snapshot corrupted: ", e.text);
          },
          [](const errors::ChecksumMismatch&) {
            return VexraError{Code::ChecksumMismatch, "Checksum mismatch"};
          },
          [](const errors::UnsupportedVersion& e) {
            return make_error(Code::UnsupportedVersion,
                              "Unsupported version: ", std::to_string(e.version));
          },
          [](const errors::IndexCorrupted& e) {
            return make_error(Code::IndexCorrupted, "Index corrupted: ", e.text);
          },
          [](const errors::IdMappingCorrupted& e) {
            return make_error(Code::IndexCorrupted, "Index corrupted: ",
                              "ID mapping corrupted: internal=" + std::to_string(e.internal) +
                                  ", external=" + e.external);
          },
          [](const errors::Serialization& e) {
            return make_error(Code::Serialization, "Serialization error: ", e.text);
          },
          [](const errors::Deserialization& e) {
            return make_error(Code::Serialization, "Serialization error: ", e.text);
          },
          [](const errors::LockFailed& e) {
            return make_error(Code::LockFailed, "Lock acquisition failed: ", e.text);
          },
          [](const errors::Cancelled&) {
            return VexraError{Code::Cancelled, "Operation cancelled"};
          },
      },
      error.payload());
}

ByteBuffer lower_error(const VexraError& error) {
  WireWriter writer;
  writer.write_i32(static_cast<std::int32_t>(error.code));
  writer.write_string(error.message);
  return std::move(writer).finish();
}

Outcome<std::optional<Json>> parse_metadata(const std::optional<std::string>& metadata_json) {
  if (!metadata_json) return std::optional<Json>();
  Result<Json> parsed = parse_json(*metadata_json);
  if (!parsed) return tl::unexpected(to_vexra_error(parsed.error()));
  return std::optional<Json>(std::move(*parsed));
}

Outcome<Filter> to_core_filter(const SearchFilter& filter) {
  auto parse = [](const std::string& text) -> Outcome<Json> {
    Result<Json> parsed = parse_json(text);
    if (!parsed) return tl::unexpected(to_vexra_error(parsed.error()));
    return std::move(*parsed);
  };
  auto convert_all = [](const std::vector<SearchFilter>& filters) -> Outcome<std::vector<Filter>> {
    std::vector<Filter> converted;
    converted.reserve(filters.size());
    for (const SearchFilter& sub : filters) {
      Outcome<Filter> one = to_core_filter(sub);
      if (!one) return tl::unexpected(std::move(one).error());
      converted.push_back(std::move(*one));
    }
    return converted;
  };
  auto combined = [](Result<Filter> result) -> Outcome<Filter> {
    if (!result) return tl::unexpected(to_vexra_error(result.error()));
    return std::move(*result);
  };
  return std::visit(Overloaded{
                        [&](const SearchFilter::Eq& eq) -> Outcome<Filter> {
                          Outcome<Json> value = parse(eq.value_json);
                          if (!value) return tl::unexpected(std::move(value).error());
                          return Filter(Filter::Eq{eq.field, std::move(*value)});
                        },
                        [&](const SearchFilter::In& in) -> Outcome<Filter> {
                          std::vector<Json> values;
                          values.reserve(in.values_json.size());
                          for (const std::string& text : in.values_json) {
                            Outcome<Json> value = parse(text);
                            if (!value) return tl::unexpected(std::move(value).error());
                            values.push_back(std::move(*value));
                          }
                          return Filter(Filter::In{in.field, std::move(values)});
                        },
                        [&](const SearchFilter::And& all) -> Outcome<Filter> {
                          Outcome<std::vector<Filter>> subs = convert_all(all.filters);
                          if (!subs) return tl::unexpected(std::move(subs).error());
                          return combined(Filter::all(std::move(*subs)));
                        },
                        [&](const SearchFilter::Or& any) -> Outcome<Filter> {
                          Outcome<std::vector<Filter>> subs = convert_all(any.filters);
                          if (!subs) return tl::unexpected(std::move(subs).error());
                          return combined(Filter::any(std::move(*subs)));
                        },
                    },
                    filter.node);
}

// ---- Lifting ------------------------------------------------------------------------------

std::optional<std::string> lift_optional_string(WireReader& reader) {
  if (!reader.read_option_tag()) return std::nullopt;
  std::string text = reader.read_string();
  if (reader.failed()) return std::nullopt;
  return text;
}

namespace {

// The fewest bytes each kind of element takes on the wire: a string its 4-byte length; a vector
// entry an id, a vector length and an option tag; a filter a variant tag and a list length.
constexpr std::size_t kMinStringBytes = 4;
constexpr std::size_t kMinVectorEntryBytes = 4 + 4 + 1;
constexpr std::size_t kMinSearchFilterBytes = 4 + 4;

// A sequence of elements each at least `min_bytes` long. The reservation is what the bytes left
// can hold, never what the caller claims: elements are far larger in memory than on the wire.
template <class Element, class ReadOne>
std::vector<Element> lift_sequence(WireReader& reader, std::size_t min_bytes, ReadOne read_one) {
  const std::size_t count = reader.read_count();
  std::vector<Element> elements;
  elements.reserve(std::min(count, reader.remaining() / min_bytes));
  for (std::size_t i = 0; i < count && !reader.failed(); ++i) elements.push_back(read_one(reader));
  if (reader.failed()) return {};
  return elements;
}

SearchFilter lift_search_filter_at(WireReader& reader, int depth) {
  if (depth > kMaxSearchFilterDepth) {
    reader.fail("SearchFilter nested deeper than " + std::to_string(kMaxSearchFilterDepth) +
                " levels");
    return {};
  }
  auto lift_children = [&](WireReader& r) {
    return lift_sequence<SearchFilter>(r, kMinSearchFilterBytes, [depth](WireReader& child) {
      return lift_search_filter_at(child, depth + 1);
    });
  };
  switch (reader.read_variant("SearchFilter", 4)) {
    case 1: {
      std::string field = reader.read_string();
      std::string value = reader.read_string();
      return {SearchFilter::Eq{std::move(field), std::move(value)}};
    }
    case 2: {
      std::string field = reader.read_string();
      auto values = lift_sequence<std::string>(reader, kMinStringBytes,
                                               [](WireReader& r) { return r.read_string(); });
      return {SearchFilter::In{std::move(field), std::move(values)}};
    }
    case 3:
      return {SearchFilter::And{lift_children(reader)}};
    case 4:
      return {SearchFilter::Or{lift_children(reader)}};
    default:
      return {};  // the reader holds the failure
  }
}

}  // namespace

ClientConfig lift_client_config(WireReader& reader) {
  ClientConfig config;
  config.dimensions = reader.read_u32();
  config.distance_metric =
      static_cast<DistanceMetric>(reader.read_variant("DistanceMetric", 3) - 1);
  config.quantization = static_cast<Quantization>(reader.read_variant("Quantization", 3) - 1);
  config.persistent = reader.read_bool();
  config.label = lift_optional_string(reader);
  return config;
}

std::vector<VectorEntry> lift_vector_entries(WireReader& reader) {
  return lift_sequence<VectorEntry>(reader, kMinVectorEntryBytes, [](WireReader& r) {
    VectorEntry entry;
    entry.id = r.read_string();
    entry.vector = r.read_f32_sequence();
    entry.metadata_json = lift_optional_string(r);
    return entry;
  });
}

SearchFilter lift_search_filter(WireReader& reader) { return lift_search_filter_at(reader, 1); }

// ---- Lowering -----------------------------------------------------------------------------

namespace {

void lower_optional_string(WireWriter& writer, const std::optional<std::string>& text) {
  writer.write_option_tag(text.has_value());
  if (text) writer.write_string(*text);
}

}  // namespace

ByteBuffer lower_optional_entry(const std::optional<VectorEntry>& entry) {
  WireWriter writer;
  writer.write_option_tag(entry.has_value());
  if (entry) {
    writer.write_string(entry->id);
    writer.write_f32_sequence(entry->vector);
    lower_optional_string(writer, entry->metadata_json);
  }
  return std::move(writer).finish();
}

ByteBuffer lower_ids(const std::vector<std::string>& ids) {
  WireWriter writer;
  writer.write_count(ids.size());
  for (const std::string& id : ids) writer.write_string(id);
  return std::move(writer).finish();
}

ByteBuffer lower_search_results(const std::vector<SearchResult>& results) {
  WireWriter writer;
  writer.write_count(results.size());
  for (const SearchResult& result : results) {
    writer.write_string(result.id);
    writer.write_f32(result.distance);
    lower_optional_string(writer, result.metadata_json);
  }
  return std::move(writer).finish();
}

namespace {

// The batch reply is packed for callers that read it as arrays, so its numbers are in the byte
// order of every host the library builds for rather than the interface's big-endian one.
static_assert(std::endian::native == std::endian::little);

template <class T>
void append_packed(ByteBuffer& buffer, T value) {
  std::array<std::uint8_t, sizeof(T)> bytes;
  std::memcpy(bytes.data(), &value, sizeof(T));
  buffer.append(bytes);
}

void append_text(ByteBuffer& buffer, std::string_view text) {
  buffer.append(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace

ByteBuffer lower_batch_answers(const BatchAnswers& answers, bool with_metadata) {
  const std::size_t count = answers.hits.size();
  std::size_t hits = 0, id_bytes = 0, metadata_bytes = 0;
  for (const std::vector<SearchResult>& found : answers.hits) {
    hits += found.size();
    for (const SearchResult& hit : found) {
      id_bytes += hit.id.size();
      if (hit.metadata_json) metadata_bytes += hit.metadata_json->size();
    }
  }
  ByteBuffer buffer;
  buffer.reserve(8 + 4 * count + 4 * count * answers.width + 8 * hits + id_bytes +
                 (with_metadata ? 9 * hits + metadata_bytes : 0));
  append_packed(buffer, static_cast<std::uint32_t>(count));
  append_packed(buffer, static_cast<std::uint32_t>(answers.width));
  for (const std::vector<SearchResult>& found : answers.hits)
    append_packed(buffer, static_cast<std::uint32_t>(found.size()));
  for (const std::vector<SearchResult>& found : answers.hits) {
    for (const SearchResult& hit : found) append_packed(buffer, hit.distance);
    for (std::size_t pad = found.size(); pad < answers.width; ++pad)
      append_packed(buffer, std::numeric_limits<float>::infinity());
  }
  // Ids, then metadata: each an array of end offsets into the bytes that follow it.
  std::uint64_t end = 0;
  for (const std::vector<SearchResult>& found : answers.hits)
    for (const SearchResult& hit : found) append_packed(buffer, end += hit.id.size());
  for (const std::vector<SearchResult>& found : answers.hits)
    for (const SearchResult& hit : found) append_text(buffer, hit.id);
  if (!with_metadata) return buffer;
  for (const std::vector<SearchResult>& found : answers.hits)
    for (const SearchResult& hit : found)
      append_packed(buffer, static_cast<std::uint8_t>(hit.metadata_json.has_value()));
  end = 0;
  for (const std::vector<SearchResult>& found : answers.hits)
    for (const SearchResult& hit : found)
      append_packed(buffer, end += hit.metadata_json ? hit.metadata_json->size() : 0);
  for (const std::vector<SearchResult>& found : answers.hits)
    for (const SearchResult& hit : found)
      if (hit.metadata_json) append_text(buffer, *hit.metadata_json);
  return buffer;
}

ByteBuffer lower_stats(const ClientStats& stats) {
  WireWriter writer;
  writer.write_u64(stats.vector_count);
  writer.write_u32(stats.dimensions);
  writer.write_u64(stats.memory_usage_bytes);
  writer.write_f32(stats.compression_ratio);
  return std::move(writer).finish();
}

}  // namespace vexradb::ffi
