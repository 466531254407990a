#include "fuzz_support.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

#include "base/overloaded.hpp"

// Takes the place of the C library's fsync in every fuzz program. The targets test what damaged
// files do to a reader, not what survives a power cut, and on a disk-backed /tmp the syncs of
// every open and checkpoint would take most of each run.
extern "C" int fsync(int) { return 0; }

namespace vexradb::fuzz {

void require(bool condition, std::string_view invariant) {
  if (condition) return;
  std::fprintf(stderr, "fuzz invariant violated: %.*s\n", static_cast<int>(invariant.size()),
               invariant.data());
  std::abort();
}

// ---- Arguments of the exported methods ---------------------------------------------------

void write_optional_text(ffi::WireWriter& writer, const std::optional<std::string>& text) {
  writer.write_option_tag(text.has_value());
  if (text) writer.write_string(*text);
}

void write_config(ffi::WireWriter& writer, const ffi::ClientConfig& config) {
  // Enumerations travel as their 1-based variant numbers.
  writer.write_u32(config.dimensions);
  writer.write_i32(static_cast<std::int32_t>(config.distance_metric) + 1);
  writer.write_i32(static_cast<std::int32_t>(config.quantization) + 1);
  writer.write_bool(config.persistent);
  write_optional_text(writer, config.label);
}

void write_entries(ffi::WireWriter& writer, const std::vector<ffi::VectorEntry>& entries) {
  writer.write_count(entries.size());
  for (const ffi::VectorEntry& entry : entries) {
    writer.write_string(entry.id);
    writer.write_f32_sequence(entry.vector);
    write_optional_text(writer, entry.metadata_json);
  }
}

void write_filter(ffi::WireWriter& writer, const ffi::SearchFilter& filter) {
  using ffi::SearchFilter;
  auto write_all = [&](const std::vector<SearchFilter>& filters) {
    writer.write_count(filters.size());
    for (const SearchFilter& sub : filters) write_filter(writer, sub);
  };
  writer.write_i32(static_cast<std::int32_t>(filter.node.index()) + 1);
  std::visit(Overloaded{
                 [&](const SearchFilter::Eq& eq) {
                   writer.write_string(eq.field);
                   writer.write_string(eq.value_json);
                 },
                 [&](const SearchFilter::In& in) {
                   writer.write_string(in.field);
                   writer.write_count(in.values_json.size());
                   for (const std::string& value : in.values_json) writer.write_string(value);
                 },
                 [&](const SearchFilter::And& all) { write_all(all.filters); },
                 [&](const SearchFilter::Or& any) { write_all(any.filters); },
             },
             filter.node);
}

// ---- JSON and filters ----------------------------------------------------------------------

void check_json_round_trip(const Json& value) {
  const std::string text = write_json(value);
  const Result<Json> again = parse_json(text);
  require(again.has_value(), "the writer's text parses");
  require(json_equal(value, *again), "the writer's text parses to an equal value");
  require(write_json(*again) == text, "equal values are written alike");
}

DocumentSet::DocumentSet(std::vector<Json> documents) : documents_(std::move(documents)) {
  for (std::size_t id = 0; id < documents_.size(); ++id) {
    index_.add(static_cast<InternalId>(id), documents_[id]);
  }
}

std::vector<bool> DocumentSet::evaluate(const Filter& filter) const {
  const PreparedFilter prepared(filter);
  const PreparedFilter indexed(filter, &index_);
  std::vector<bool> results;
  results.reserve(documents_.size());
  for (std::size_t id = 0; id < documents_.size(); ++id) {
    const Json& document = documents_[id];
    const bool plain = matches(filter, document);
    const auto internal_id = static_cast<InternalId>(id);
    require(prepared.matches(internal_id, &document) == plain,
            "a prepared filter evaluates as the plain one");
    require(indexed.matches(internal_id, &document) == plain,
            "a filter prepared with the metadata index evaluates as the plain one");
    results.push_back(plain);
  }
  return results;
}

std::vector<Json> sample_documents() {
  static constexpr std::string_view kTexts[] = {
      R"({"category":"books","price":12.5,"stock":3,"delta":-4,"tags":["a","b"],)"
      R"("author":{"name":"Ann","born":1950},"location":{"lat":48.85,"lon":2.35}})",
      R"({"category":"music","price":12,"stock":0,"rating":null,"active":true,)"
      R"("point":[40.7,-74.0],"author":{"name":"Bo"}})",
      R"({"":{"":1},"a.b":2,"a":{"b":3},"n":1.0,"s":"caf\u00e9"})",
      R"("a document that is only a string")",
      R"([1,2,3])",
      R"({})",
  };
  std::vector<Json> documents;
  for (std::string_view text : kTexts) documents.push_back(parse_json(text).value());
  return documents;
}

// ---- Damage to a data directory ------------------------------------------------------------

std::string encode_edit(const Edit& edit) {
  require(edit.payload.size() <= 255, "an edit's payload fits its length byte");
  std::string bytes;
  bytes += static_cast<char>(static_cast<std::uint8_t>(edit.file) |
                             static_cast<std::uint8_t>(edit.action) << 1);
  for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(edit.offset >> shift);
  bytes += static_cast<char>(edit.payload.size());
  bytes += edit.payload;
  return bytes;
}

std::vector<Edit> decode_edits(std::span<const std::uint8_t> input) {
  constexpr std::size_t kFixedBytes = 6;
  std::vector<Edit> edits;
  while (input.size() >= kFixedBytes) {
    Edit edit;
    edit.file = static_cast<Edit::File>(input[0] & 1);
    edit.action = static_cast<Edit::Action>((input[0] >> 1) & 3);
    edit.offset = 0;
    for (int i = 0; i < 4; ++i) edit.offset |= std::uint32_t{input[1 + i]} << (8 * i);
    const std::size_t length = std::min<std::size_t>(input[5], input.size() - kFixedBytes);
    edit.payload.assign(reinterpret_cast<const char*>(input.data()) + kFixedBytes, length);
    input = input.subspan(kFixedBytes + length);
    edits.push_back(std::move(edit));
  }
  return edits;
}

void apply_edit(const Edit& edit, std::string& file) {
  const std::size_t at = edit.offset % (file.size() + 1);
  switch (edit.action) {
    case Edit::Action::Overwrite:
      file.replace(at, std::min(edit.payload.size(), file.size() - at), edit.payload);
      return;
    case Edit::Action::Flip:
      for (std::size_t i = 0; i < edit.payload.size() && at + i < file.size(); ++i) {
        file[at + i] = static_cast<char>(file[at + i] ^ edit.payload[i]);
      }
      return;
    case Edit::Action::Truncate:
      file.resize(at);
      return;
    case Edit::Action::Insert:
      file.insert(at, edit.payload);
      return;
  }
}

// ---- Files ---------------------------------------------------------------------------------

namespace {

std::filesystem::path make_process_directory() {
  char name[] = "/tmp/vexradb-fuzz-XXXXXX";
  require(::mkdtemp(name) != nullptr, "a scratch directory can be made under /tmp");
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(process_directory(), ignored);
  });
  return name;
}

}  // namespace

const std::filesystem::path& process_directory() {
  // Never destroyed: the exit handler that removes the directory runs after static destructors.
  static const auto* directory = new std::filesystem::path(make_process_directory());
  return *directory;
}

std::filesystem::path fresh_directory(std::string_view name) {
  const std::filesystem::path path = process_directory() / name;
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
  return path;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  require(in.good(), "a file of the scratch directory can be read");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  require(out.good(), "a file of the scratch directory can be written");
}

}  // namespace vexradb::fuzz
