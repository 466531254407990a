// Writes the seed corpus of every fuzz target: valid inputs, made with the library's own
// encoders, from which the fuzzers start. Usage: vexradb_fuzz_seeds OUTPUT_DIR; each target's
// seeds go to OUTPUT_DIR/<target>/.

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "durable/wal.hpp"
#include "fuzz_support.hpp"

namespace vexradb::fuzz {
namespace {

using ffi::ClientConfig;
using ffi::SearchFilter;
using ffi::VectorEntry;

class Corpus {
 public:
  Corpus(const std::filesystem::path& root, std::string_view target) : directory_(root / target) {
    std::filesystem::create_directories(directory_);
  }

  void add(std::string_view bytes) {
    write_file(directory_ / ("seed-" + std::to_string(++count_)), bytes);
  }

 private:
  std::filesystem::path directory_;
  int count_ = 0;
};

std::string text_of(std::span<const std::uint8_t> bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// One input of the arguments target: the kind byte, then the argument's buffer.
template <class Write>
std::string argument(ArgumentKind kind, Write write) {
  ffi::WireWriter writer;
  write(writer);
  return static_cast<char>(kind) + text_of(std::move(writer).finish().bytes());
}

void write_argument_seeds(Corpus corpus) {
  for (std::string_view text : {"v1", "caf\xc3\xa9 \xf0\x9f\x98\x80", ""}) {
    corpus.add(static_cast<char>(ArgumentKind::Text) + std::string(text));
  }
  const std::vector<std::vector<float>> vectors = {
      {}, {1.0f, 2.0f, 3.0f}, {std::nanf(""), std::numeric_limits<float>::infinity(), -0.0f}};
  for (const std::vector<float>& vector : vectors) {
    corpus.add(argument(ArgumentKind::Floats, [&](auto& w) { w.write_f32_sequence(vector); }));
  }
  const std::optional<std::string> metadata[] = {
      std::nullopt, R"({"group":1,"tags":["a"],"score":2.5})", "[1,-2,3.5e10]"};
  for (const std::optional<std::string>& text : metadata) {
    corpus.add(
        argument(ArgumentKind::OptionalText, [&](auto& w) { write_optional_text(w, text); }));
  }
  const ClientConfig configs[] = {
      {3, DistanceMetric::Euclidean, Quantization::None, false, std::nullopt},
      {128, DistanceMetric::Cosine, Quantization::SQ8, true, "label"},
      {1, DistanceMetric::DotProduct, Quantization::Binary, false, ""},
  };
  for (const ClientConfig& config : configs) {
    corpus.add(argument(ArgumentKind::Config, [&](auto& w) { write_config(w, config); }));
  }
  const std::vector<VectorEntry> entries[] = {
      {},
      {{"a", {1.0f, 2.0f}, R"({"k":1})"}, {"b", {3.0f, 4.0f}, std::nullopt}},
  };
  for (const std::vector<VectorEntry>& batch : entries) {
    corpus.add(argument(ArgumentKind::Entries, [&](auto& w) { write_entries(w, batch); }));
  }
  const SearchFilter eq{SearchFilter::Eq{"category", R"("books")"}};
  const SearchFilter in{SearchFilter::In{"group", {"1", "2", "-3"}}};
  const SearchFilter nested{SearchFilter::And{
      {eq, SearchFilter{SearchFilter::Or{{in, {SearchFilter::Eq{"a.b", R"({"x":[1,2.5]})"}}}}}}}};
  const SearchFilter empty_or{SearchFilter::Or{}};
  for (const SearchFilter& filter : {eq, in, nested, empty_or}) {
    corpus.add(argument(ArgumentKind::Filter, [&](auto& w) { write_filter(w, filter); }));
  }
}

void write_json_seeds(Corpus corpus) {
  for (const Json& document : sample_documents()) corpus.add(write_json(document));
  for (std::string_view text : {
           R"( [ -0, 18446744073709551615, -9223372036854775808, 1.5e-7, 1E+2, 0.1 ] )",
           R"("\ud83d\ude00 \u0001 \" \\ \/ \b\f\n\r\t")",
           R"({"a":{"a":{"a":[[[{}]]]}},"a":null,"b":[false,true]})",
           R"({"point":[48.85,2.35],"geo":{"latitude":-33.9,"longitude":151.2}})",
           // Filters in their JSON form.
           R"({"and":[{"field":"a","gte":1,"lt":2.5},{"not":{"field":"b","in":[true,null]}}]})",
           R"({"or":[{"field":"point","geo_radius":{"lat":48.8,"lon":2.3,"meters":9000}},)"
           R"({"field":"a.a","eq":{"x":[1]}}]})",
       }) {
    corpus.add(text);
  }
}

std::vector<WalEntry> log_entries() {
  return {
      wal_entries::Insert{VectorId("a"), {1.0f, 2.0f}, Json{{"k", 1}, {"s", "caf\xc3\xa9"}}},
      wal_entries::Insert{VectorId("b"), {3.0f, 4.0f}, std::nullopt},
      wal_entries::Delete{VectorId("a")},
      wal_entries::Checkpoint{1700000000000},
  };
}

// The log file that the library writes for `entries`.
std::string log_file(const std::vector<WalEntry>& entries) {
  const std::filesystem::path directory = fresh_directory("log");
  {
    Result<Wal> wal = Wal::open(directory);
    require(wal.has_value(), "a fresh log opens");
    if (!entries.empty()) require(wal->append_all(entries).has_value(), "the log takes entries");
  }
  return read_file(directory / kWalFileName);
}

void write_log_seeds(Corpus corpus) {
  const std::string full = log_file(log_entries());
  corpus.add(log_file({}));
  corpus.add(full);
  corpus.add(full.substr(0, full.size() - 3));  // the last frame torn
}

void write_data_dir_seeds(Corpus corpus) {
  using File = Edit::File;
  using Action = Edit::Action;
  const std::vector<std::vector<Edit>> damage = {
      {},
      {{File::Snapshot, Action::Flip, 4, "\x01"}},  // the version byte
      {{File::Snapshot, Action::Truncate, 100, ""}},
      {{File::Snapshot, Action::Insert, 48, std::string(2, '\0')}},
      {{File::Log, Action::Overwrite, 9, "\xff\xff\xff\xff"}},
      {{File::Log, Action::Flip, 20, "\x80"}, {File::Snapshot, Action::Flip, 200, "\x10"}},
  };
  for (const std::vector<Edit>& edits : damage) {
    std::string input;
    for (const Edit& edit : edits) input += encode_edit(edit);
    corpus.add(input);
  }
}

}  // namespace
}  // namespace vexradb::fuzz

int main(int argc, char** argv) {
  using namespace vexradb::fuzz;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path root = argv[1];
  write_argument_seeds(Corpus(root, "arguments"));
  write_json_seeds(Corpus(root, "json_filter"));
  write_log_seeds(Corpus(root, "log"));
  write_data_dir_seeds(Corpus(root, "data_dir"));
  return 0;
}
