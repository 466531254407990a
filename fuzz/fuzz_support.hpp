#pragma once

// What the fuzz targets and their seed generator share: the failure report of a broken
// invariant, the encodings of the exported methods' arguments, JSON and filter checks, the
// damage format of the data-directory target, and per-process scratch directories.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "converters.hpp"
#include "metadata/filter.hpp"
#include "metadata/json.hpp"
#include "metadata/metadata_index.hpp"
#include "wire.hpp"

namespace vexradb::fuzz {

// Stops the process with a report when `condition` does not hold: libFuzzer records the input
// as a crash, whatever the sanitizers saw.
void require(bool condition, std::string_view invariant);

// ---- Arguments of the exported methods ---------------------------------------------------

// The argument buffers the exported methods decode. The arguments target reads one of these
// per input: the first byte chooses which, the remaining bytes are the buffer.
enum class ArgumentKind : std::uint8_t {
  Text,          // id and path: raw UTF-8, no length prefix
  Floats,        // vector and query
  OptionalText,  // metadata_json
  Config,        // config of open
  Entries,       // entries of upsert_batch
  Filter,        // filter of search_with_filter
};
inline constexpr std::uint8_t kArgumentKinds = 6;

// The encodings the lifting functions read, written with the library's own wire writer.
void write_optional_text(ffi::WireWriter& writer, const std::optional<std::string>& text);
void write_config(ffi::WireWriter& writer, const ffi::ClientConfig& config);
void write_entries(ffi::WireWriter& writer, const std::vector<ffi::VectorEntry>& entries);
void write_filter(ffi::WireWriter& writer, const ffi::SearchFilter& filter);

// ---- JSON and filters ----------------------------------------------------------------------

// Requires that the compact text of `value` parses back to an equal value and that the writer
// gives that value the same text again.
void check_json_round_trip(const Json& value);

// Metadata documents that filters are evaluated against, with the metadata index over them:
// every evaluation also runs prepared, with and without the index, and must agree with the
// plain one.
class DocumentSet {
 public:
  explicit DocumentSet(std::vector<Json> documents);
  DocumentSet(const DocumentSet&) = delete;
  DocumentSet& operator=(const DocumentSet&) = delete;

  // matches(filter, document) for every document, in order.
  std::vector<bool> evaluate(const Filter& filter) const;

  std::span<const Json> documents() const noexcept { return documents_; }

 private:
  std::vector<Json> documents_;
  MetadataIndex index_;
};

// A few documents of the shapes metadata takes: nested objects, numbers of each kind, strings,
// arrays and geographic points.
std::vector<Json> sample_documents();

// ---- Damage to a data directory ------------------------------------------------------------

// One change to a file of the data-directory target's template. An input is a sequence of
// encoded edits: kind byte, 32-bit little-endian offset, payload length byte, payload. The
// offset wraps around the file's size, so every edit lands.
struct Edit {
  enum class File : std::uint8_t { Snapshot, Log };
  enum class Action : std::uint8_t { Overwrite, Flip, Truncate, Insert };
  File file;
  Action action;
  std::uint32_t offset;
  std::string payload;  // written, XORed or inserted; ignored by Truncate
};

std::string encode_edit(const Edit& edit);
// The edits of an input; a trailing fragment too short for an edit is ignored.
std::vector<Edit> decode_edits(std::span<const std::uint8_t> input);
void apply_edit(const Edit& edit, std::string& file);

// ---- Files ---------------------------------------------------------------------------------

// A directory made under /tmp for this process, removed with everything in it at exit.
const std::filesystem::path& process_directory();
// `name` inside the process directory, emptied (created when missing).
std::filesystem::path fresh_directory(std::string_view name);

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, std::string_view bytes);

}  // namespace vexradb::fuzz
