// Wire encodings and conversions of the exported layer, byte for byte.

#include "converters.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "wire.hpp"

namespace vexradb::ffi {
namespace {

std::vector<std::uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::string as_string(const ByteBuffer& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.bytes().data()), buffer.bytes().size());
}

TEST(WireTest, ClientConfigLiftsFromItsFourteenBytes) {
  const auto encoded = bytes(std::string("\0\0\0\x03\0\0\0\x02\0\0\0\x01\0\0", 14));
  WireReader reader(encoded);
  const ClientConfig config = lift_client_config(reader);
  ASSERT_FALSE(reader.failed());
  EXPECT_EQ(reader.remaining(), 0u);
  EXPECT_EQ(config.dimensions, 3u);
  EXPECT_EQ(config.distance_metric, DistanceMetric::Euclidean);
  EXPECT_EQ(config.quantization, Quantization::None);
  EXPECT_FALSE(config.persistent);
  EXPECT_FALSE(config.label);
}

TEST(WireTest, LiftingFailuresHaveTheBindingsMessages) {
  struct Case {
    std::string encoded;
    std::string message;
  } cases[] = {
      {std::string("\0\0\0\x03\0\0\0\0", 8), "Invalid DistanceMetric enum value: 0"},
      {std::string("\0\0\0\x03\xff\xff\xff\xff", 8), "Invalid DistanceMetric enum value: -1"},
      {std::string("\0\0\0\x03\0\0\0\x01\0\0\0\x04", 12), "Invalid Quantization enum value: 4"},
      {std::string("\0\0\0\x03\0\0\0\x01\0\0\0\x01\x02", 13), "unexpected byte for Boolean"},
      {std::string("\0\0\0\x03\0\0\0\x01\0\0\0\x01\0\x01\0\0\0\x05"
                   "abc",
                   21),
       "not enough bytes remaining in buffer (3 < 5)"},
      {std::string("\0\0", 2), "not enough bytes remaining in buffer (2 < 4)"},
  };
  for (const Case& c : cases) {
    const auto encoded = bytes(c.encoded);
    WireReader reader(encoded);
    lift_client_config(reader);
    ASSERT_TRUE(reader.failed()) << c.message;
    EXPECT_EQ(reader.error(), c.message);
  }
}

TEST(WireTest, Utf8ErrorsNameTheSequenceAndIndex) {
  struct Case {
    std::string text;
    std::optional<std::string> error;
  } cases[] = {
      {"plain ascii", std::nullopt},
      {"caf\xc3\xa9 \xf0\x9f\x98\x80", std::nullopt},
      {"\xff", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"ab\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},          // overlong
      {"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},      // surrogate
      {"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // > U+10FFFF
      {"\xe2\x82"
       "A",
       "invalid utf-8 sequence of 2 bytes from index 0"},
      {"x\xf0\x9f\x98"
       "A",
       "invalid utf-8 sequence of 3 bytes from index 1"},
      {"a\xc3", "incomplete utf-8 byte sequence from index 1"},
      {"\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 0"},
  };
  for (const Case& c : cases) {
    const auto encoded = bytes(c.text);
    EXPECT_EQ(utf8_error(encoded), c.error) << c.text;
  }
}

TEST(WireTest, FloatsAndFiltersLiftFromTheirBytes) {
  const auto query = bytes(std::string("\0\0\0\x02\x3f\x80\0\0\x40\0\0\0", 12));
  WireReader floats(query);
  EXPECT_EQ(floats.read_f32_sequence(), (std::vector<float>{1.0f, 2.0f}));

  const auto eq =
      bytes(std::string("\0\0\0\x01\0\0\0\x01"
                        "a\0\0\0\x01"
                        "1",
                        14));
  WireReader reader(eq);
  const SearchFilter filter = lift_search_filter(reader);
  ASSERT_FALSE(reader.failed());
  const auto* leaf = std::get_if<SearchFilter::Eq>(&filter.node);
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(leaf->field, "a");
  EXPECT_EQ(leaf->value_json, "1");
}

// A claimed count is no reason to allocate: a batch of B bytes may reserve only as many entries
// as B bytes can hold (each takes at least 9 bytes on the wire, and about 100 in memory). Under
// an address-space limit of a few times B, decoding 4 MiB that claims two billion entries must
// fail as a decoding error, never run out of memory.
TEST(WireTest, SequencesReserveWhatTheirBytesCanHold) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators do not work under an address-space limit";
#else
  std::vector<std::uint8_t> encoded(4 << 20, 0);  // zero bytes decode as empty entries
  encoded[0] = 0x7f;                              // count 0x7fffffff, big-endian
  encoded[1] = encoded[2] = encoded[3] = 0xff;
  rlimit previous{};
  getrlimit(RLIMIT_AS, &previous);
  std::ifstream status("/proc/self/statm");
  std::uint64_t pages = 0;
  status >> pages;
  rlimit limited = previous;
  limited.rlim_cur = pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) + (200u << 20);
  setrlimit(RLIMIT_AS, &limited);
  bool out_of_memory = false;
  WireReader reader(encoded);
  try {
    lift_vector_entries(reader);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  setrlimit(RLIMIT_AS, &previous);
  EXPECT_FALSE(out_of_memory);
  EXPECT_TRUE(reader.failed());
#endif
}

TEST(WireTest, OptionalTextsAndSequencesLowerAsSpecified) {
  EXPECT_EQ(as_string(lower_optional_entry(std::nullopt)), std::string("\0", 1));
  EXPECT_EQ(as_string(lower_ids({""})), std::string("\0\0\0\x01\0\0\0\0", 8));
  EXPECT_EQ(as_string(lower_search_results({{"a", 1.0f, std::string()}})),
            std::string("\0\0\0\x01\0\0\0\x01"
                        "a\x3f\x80\0\0\x01\0\0\0\0",
                        18));
  EXPECT_EQ(as_string(lower_stats({1, 3, 2, 1.0f})),
            std::string("\0\0\0\0\0\0\0\x01\0\0\0\x03\0\0\0\0\0\0\0\x02\x3f\x80\0\0", 24));
}

TEST(ErrorConversionTest, EngineErrorsBecomeTheExportedVariantsAndMessages) {
  struct Case {
    Error error;
    VexraErrorCode code;
    std::string message;
  } cases[] = {
      {errors::DimensionMismatch{(std::uint64_t{1} << 32) + 4, 3},
       VexraErrorCode::DimensionMismatch, "Dimension mismatch: expected 4, got 3"},
      {errors::InvalidParameter{"7", "k", "must be positive"}, VexraErrorCode::InvalidConfiguration,
       "Invalid configuration: k = 7: must be positive"},
      {errors::UnsupportedVersion{7}, VexraErrorCode::UnsupportedVersion, "Unsupported version: 7"},
      {errors::IdMappingCorrupted{4, "a"}, VexraErrorCode::IndexCorrupted,
       "Index corrupted: ID mapping corrupted: internal=4, external=a"},
      {errors::Deserialization{"bad"}, VexraErrorCode::Serialization, "Serialization error: bad"},
      {errors::Io{2, "No such file or directory (os error 2)"}, VexraErrorCode::Io,
       "IO error: No such file or directory (os error 2)"},
      {errors::Cancelled{}, VexraErrorCode::Cancelled, "Operation cancelled"},
      {errors::LockFailed{"x"}, VexraErrorCode::LockFailed, "Lock acquisition failed: x"},
  };
  for (const Case& c : cases) {
    const VexraError converted = to_vexra_error(c.error);
    EXPECT_EQ(converted.code, c.code);
    EXPECT_EQ(converted.message, c.message);
  }
}

TEST(FilterConversionTest, ConvertsDepthFirstAndStopsAtTheFirstBadText) {
  const Outcome<Filter> empty_and = to_core_filter({SearchFilter::And{}});
  ASSERT_TRUE(empty_and.has_value());
  const auto* all = std::get_if<Filter::And>(&empty_and->node());
  ASSERT_NE(all, nullptr);
  EXPECT_TRUE(all->filters.empty());

  const SearchFilter bad{SearchFilter::Or{{SearchFilter{SearchFilter::In{"x", {"1", "[", "2"}}}}}};
  const Outcome<Filter> failed = to_core_filter(bad);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().code, VexraErrorCode::Serialization);
  EXPECT_EQ(failed.error().message,
            "Serialization error: EOF while parsing a list at line 1 column 1");
}

}  // namespace
}  // namespace vexradb::ffi
