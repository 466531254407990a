// The argument buffers of the exported methods, lifted exactly as the methods lift them. An
// argument that lifts must encode back to the same bytes (every value has one encoding) and
// convert to the engine's type; one that does not lift must fail with the conversion failure
// the exported layer reports, nothing else.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/internal_failure.hpp"
#include "client.hpp"
#include "converters.hpp"
#include "fuzz_support.hpp"
#include "method_frame.hpp"

namespace vexradb::fuzz {
namespace {

using ffi::BufferArg;
using ffi::WireReader;
using ffi::WireWriter;

// A buffer the library owns, as the caller hands an argument over.
RustBuffer argument_buffer(std::span<const std::uint8_t> bytes) {
  return ffi::ByteBuffer::copy_of(bytes).release();
}

void require_same_encoding(WireWriter writer, std::span<const std::uint8_t> lifted_from) {
  const ffi::ByteBuffer encoded = std::move(writer).finish();
  const std::span<const std::uint8_t> bytes = encoded.bytes();
  require(std::equal(bytes.begin(), bytes.end(), lifted_from.begin(), lifted_from.end()),
          "a lifted argument encodes back to the bytes it was lifted from");
}

void check_metadata(const std::optional<std::string>& metadata_json) {
  ffi::Outcome<std::optional<Json>> metadata = ffi::parse_metadata(metadata_json);
  if (metadata && *metadata) check_json_round_trip(**metadata);
}

void lift_text(std::span<const std::uint8_t> bytes) {
  BufferArg arg(argument_buffer(bytes));
  const std::string text = ffi::lift_string_arg("id", arg);
  require(std::equal(text.begin(), text.end(), bytes.begin(), bytes.end(),
                     [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }),
          "a text argument is its bytes");
}

// Lifts `bytes` as the argument `name` and requires the value to encode back to them.
template <class Lift, class Write>
auto lift_exactly(const char* name, std::span<const std::uint8_t> bytes, Lift lift, Write write) {
  BufferArg arg(argument_buffer(bytes));
  auto value = ffi::lift_arg(name, arg, lift);
  WireWriter writer;
  write(writer, value);
  require_same_encoding(std::move(writer), bytes);
  return value;
}

void lift_floats(std::span<const std::uint8_t> bytes) {
  lift_exactly(
      "vector", bytes, [](WireReader& reader) { return reader.read_f32_sequence(); },
      [](WireWriter& writer, const std::vector<float>& values) {
        writer.write_f32_sequence(values);
      });
}

void lift_optional_text(std::span<const std::uint8_t> bytes) {
  check_metadata(
      lift_exactly("metadata_json", bytes, ffi::lift_optional_string, write_optional_text));
}

void lift_config(std::span<const std::uint8_t> bytes) {
  ffi::ClientConfig config = lift_exactly("config", bytes, ffi::lift_client_config, write_config);
  // Every configuration makes an in-memory client; a durable one would touch the file system.
  config.persistent = false;
  const ffi::Outcome<ffi::VexraClient> client = ffi::VexraClient::open("", std::move(config));
  require(client.has_value() && client->is_empty(), "an in-memory client opens empty");
}

void lift_entries(std::span<const std::uint8_t> bytes) {
  const std::vector<ffi::VectorEntry> entries =
      lift_exactly("entries", bytes, ffi::lift_vector_entries, write_entries);
  for (const ffi::VectorEntry& entry : entries) check_metadata(entry.metadata_json);
}

void lift_filter(std::span<const std::uint8_t> bytes) {
  const ffi::SearchFilter filter =
      lift_exactly("filter", bytes, ffi::lift_search_filter, write_filter);
  const ffi::Outcome<Filter> converted = ffi::to_core_filter(filter);
  if (!converted) return;
  static const DocumentSet documents(sample_documents());
  documents.evaluate(*converted);
}

void lift(ArgumentKind kind, std::span<const std::uint8_t> bytes) {
  switch (kind) {
    case ArgumentKind::Text:
      return lift_text(bytes);
    case ArgumentKind::Floats:
      return lift_floats(bytes);
    case ArgumentKind::OptionalText:
      return lift_optional_text(bytes);
    case ArgumentKind::Config:
      return lift_config(bytes);
    case ArgumentKind::Entries:
      return lift_entries(bytes);
    case ArgumentKind::Filter:
      return lift_filter(bytes);
  }
}

}  // namespace
}  // namespace vexradb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vexradb::fuzz;
  if (size == 0) return -1;  // no argument kind: not worth keeping
  const auto kind = static_cast<ArgumentKind>(data[0] % kArgumentKinds);
  try {
    lift(kind, std::span(data + 1, size - 1));
  } catch (const vexradb::InternalFailure& failure) {
    // The exported layer turns a bad argument into this failure; any other is a fault.
    require(failure.message().starts_with("Failed to convert arg '"), failure.message());
  }
  return 0;
}
