#include "durable/wal.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "temp_dir.hpp"

namespace vexradb {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

// The CRC-32 of the file format, bit by bit, independent of the library the log uses.
std::uint32_t reference_crc32(std::string_view bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes) {
    crc ^= static_cast<std::uint8_t>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string le32(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

std::string hex_bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (const int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

WalEntry insert_of(std::string id, std::vector<float> vector, std::optional<Json> metadata = {}) {
  return wal_entries::Insert{VectorId(std::move(id)), std::move(vector), std::move(metadata)};
}

WalEntry delete_of(std::string id) { return wal_entries::Delete{VectorId(std::move(id))}; }

std::vector<std::uint64_t> sequences(const std::vector<WalRecord>& records) {
  std::vector<std::uint64_t> out;
  for (const WalRecord& r : records) out.push_back(r.sequence);
  return out;
}

class WalFile : public ::testing::Test {
 protected:
  std::filesystem::path log_path() const { return dir_.path() / "current.wal"; }

  // A log with the records 1, 2, 3 (deletes of "a", "b", "c"), closed; returns the offsets at
  // which each frame starts.
  std::vector<std::size_t> write_three() {
    Result<Wal> wal = Wal::open(dir_.path());
    EXPECT_TRUE(wal.has_value());
    std::vector<std::size_t> starts;
    for (const char* id : {"a", "b", "c"}) {
      starts.push_back(wal->size());
      EXPECT_TRUE(wal->append(delete_of(id)).has_value());
    }
    return starts;
  }

  Result<std::vector<WalRecord>> read_all() const { return Wal::read_records(dir_.path(), 0); }

  // The contents of the files recovery set aside, in the order of their numbers.
  std::vector<std::string> set_aside() const {
    std::vector<std::string> contents;
    for (int n = 1;
         std::filesystem::exists(dir_.path() / ("current.wal.damaged-" + std::to_string(n))); ++n) {
      contents.push_back(read_file(dir_.path() / ("current.wal.damaged-" + std::to_string(n))));
    }
    return contents;
  }

  TempDir dir_;
};

TEST_F(WalFile, FreshLogAndFrameBytes) {
  Result<Wal> wal = Wal::open(dir_.path() / "nested" / "wal");
  ASSERT_TRUE(wal.has_value());
  const std::filesystem::path path = dir_.path() / "nested" / "wal" / "current.wal";
  EXPECT_EQ(read_file(path), hex_bytes({0x5A, 0x57, 0x41, 0x4C, 0x01}));
  EXPECT_EQ(wal->sequence(), 0u);
  EXPECT_EQ(wal->size(), 5u);

  ASSERT_EQ(wal->append(delete_of("a")), 1u);
  const std::string entry = hex_bytes({1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x61});
  EXPECT_EQ(read_file(path).substr(5), hex_bytes({0x19, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}) + entry +
                                           le32(reference_crc32(entry)));
  EXPECT_EQ(wal->size(), 34u);

  const std::string insert_bytes =
      hex_bytes({0, 0, 0, 0, 1, 0, 0, 0, 0,    0,    0, 0, 0x78, 2,    0,
                 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x3F, 0, 0, 0,    0x40, 0});
  EXPECT_EQ(encode_entry(insert_of("x", {1.0f, 2.0f})), insert_bytes);
  ASSERT_EQ(wal->append(insert_of("x", {1.0f, 2.0f})), 2u);
  EXPECT_EQ(read_file(path).substr(34, 4), le32(42));
}

TEST_F(WalFile, MetadataIsWrittenCanonically) {
  const Json metadata = parse_json(R"({"b":1,"a":true})").value();
  const std::string bytes = encode_entry(insert_of("x", {}, metadata));
  EXPECT_NE(bytes.find(R"({"a":true,"b":1})"), std::string::npos);
  // A present null is the text "null"; only absence is tag 0.
  EXPECT_TRUE(encode_entry(insert_of("x", {}, Json()))
                  .ends_with(hex_bytes({1, 4, 0, 0, 0, 0, 0, 0, 0}) + "null"));

  Result<Wal> wal = Wal::open(dir_.path());
  ASSERT_TRUE(wal->append(insert_of("x", {0.5f}, metadata)).has_value());
  Result<std::vector<WalRecord>> records = read_all();
  ASSERT_EQ(records->size(), 1u);
  const auto& insert = std::get<wal_entries::Insert>(records->front().entry);
  EXPECT_EQ(insert.id.str(), "x");
  EXPECT_EQ(insert.vector, std::vector<float>{0.5f});
  EXPECT_TRUE(json_equal(*insert.metadata, metadata));
}

TEST_F(WalFile, ReopenContinuesNumberingAndResetKeepsIt) {
  write_three();
  write_file(dir_.path() / "current.wal.tmp", "ZW");  // left by an interrupted reset
  Result<Wal> wal = Wal::open(dir_.path());
  ASSERT_EQ(wal->sequence(), 3u);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "current.wal.tmp"));
  EXPECT_EQ(wal->size(), std::filesystem::file_size(log_path()));
  ASSERT_TRUE(wal->reset().has_value());
  EXPECT_EQ(std::filesystem::file_size(log_path()), 5u);
  EXPECT_EQ(wal->size(), 5u);
  EXPECT_EQ(wal->append(delete_of("d")), 4u);
  EXPECT_EQ(sequences(read_all().value()), (std::vector<std::uint64_t>{4}));
  EXPECT_TRUE(wal->sync().has_value());
}

// The checksum covers the entry, not its number: a log may claim the last number there is. A
// further record would wrap to 0 and never be read back, so it is refused before it is written.
TEST_F(WalFile, NumbersThatWouldWrapAreRefused) {
  {
    Result<Wal> wal = Wal::open(dir_.path());
    wal->continue_after(UINT64_MAX - 1);
    ASSERT_EQ(wal->append(delete_of("a")), UINT64_MAX);
  }
  const std::string log_before = read_file(log_path());
  Result<Wal> wal = Wal::open(dir_.path());
  ASSERT_EQ(wal->sequence(), UINT64_MAX);
  for (const Result<std::uint64_t>& refused :
       {wal->append(delete_of("b")), wal->append_all(std::vector{delete_of("b"), delete_of("c")})})
    EXPECT_EQ(refused.error().kind(), ErrorKind::Storage);
  EXPECT_EQ(read_file(log_path()), log_before);
  EXPECT_EQ(sequences(read_all().value()), (std::vector<std::uint64_t>{UINT64_MAX}));
}

TEST_F(WalFile, ReadersSkipBadChecksumsAndStopAtUndecodableFrames) {
  const std::vector<std::size_t> starts = write_three();
  const std::string clean = read_file(log_path());

  std::string bad_checksum = clean;
  bad_checksum[starts[2] - 1] ^= 0x01;  // last byte of frame 2: its checksum
  write_file(log_path(), bad_checksum);
  EXPECT_EQ(sequences(read_all().value()), (std::vector<std::uint64_t>{1, 3}));
  EXPECT_EQ(Wal::open(dir_.path())->sequence(), 3u);

  std::string bad_variant = clean;
  bad_variant[starts[1] + 4 + 8] = 7;  // variant index of frame 2
  write_file(log_path(), bad_variant);
  EXPECT_EQ(sequences(read_all().value()), (std::vector<std::uint64_t>{1}));
  {
    // The sequence scan reads past the frame; the file is cut at it, so that what is appended
    // next is not hidden behind it.
    Result<Wal> wal = Wal::open(dir_.path());
    EXPECT_EQ(wal->sequence(), 3u);
    EXPECT_EQ(std::filesystem::file_size(log_path()), starts[1]);
    EXPECT_EQ(wal->append(delete_of("e")), 4u);
  }
  // What the cut removed is kept beside the log.
  EXPECT_EQ(set_aside(), std::vector<std::string>{bad_variant.substr(starts[1])});
  EXPECT_EQ(sequences(read_all().value()), (std::vector<std::uint64_t>{1, 4}));
  EXPECT_EQ(sequences(Wal::read_records(dir_.path(), 1).value()), (std::vector<std::uint64_t>{4}));
}

// Every possible torn tail: the readers keep the whole frames before the cut, reopening cuts the
// file back to them, and a record appended afterwards is read back.
TEST_F(WalFile, EveryTruncationKeepsTheWholeFramesBeforeIt) {
  const std::vector<std::size_t> starts = write_three();
  const std::string clean = read_file(log_path());
  for (std::size_t cut = 0; cut < clean.size(); ++cut) {
    SCOPED_TRACE(cut);
    write_file(log_path(), clean.substr(0, cut));
    if (cut < 5) {
      EXPECT_EQ(read_all().error().kind(), ErrorKind::Io);
      continue;
    }
    std::size_t whole = 0;
    while (whole < 3 && (whole + 1 == 3 ? clean.size() : starts[whole + 1]) <= cut) ++whole;
    EXPECT_EQ(read_all()->size(), whole);
    {
      Result<Wal> wal = Wal::open(dir_.path());
      ASSERT_TRUE(wal.has_value());
      EXPECT_EQ(wal->sequence(), whole);
      ASSERT_EQ(wal->append(delete_of("z")), whole + 1);
    }
    EXPECT_EQ(read_all()->size(), whole + 1);
    EXPECT_TRUE(set_aside().empty());  // a torn tail is no damage
  }
}

// A flipped bit in the length field of a frame makes it look cut short, and recovery cuts the log
// there; the whole frames behind it are kept beside the log, not lost, and a check of the log
// reports the damage. The damaged frame is in the middle of a log numbered from 1, or the first
// of a log that a checkpoint's reset started further on.
TEST_F(WalFile, FramesBehindADamagedLengthAreKeptAside) {
  for (const bool after_reset : {false, true}) {
    SCOPED_TRACE(after_reset);
    std::filesystem::remove_all(dir_.path());
    std::vector<std::size_t> starts = write_three();
    {
      Result<Wal> wal = Wal::open(dir_.path());
      if (after_reset) {
        ASSERT_TRUE(wal->reset().has_value());
        starts.clear();
      }
      for (const char* id : {"d", "e", "f"}) {
        starts.push_back(wal->size());
        ASSERT_TRUE(wal->append(delete_of(id)).has_value());
      }
    }
    const std::size_t cut = after_reset ? starts[0] : starts[2];
    std::string damaged = read_file(log_path());
    damaged[cut + 3] ^= 0x40;  // the high byte of the frame's length
    write_file(log_path(), damaged);
    Result<LogReport> report = Wal::inspect(dir_.path());
    ASSERT_TRUE(report.has_value());
    EXPECT_FALSE(report->torn_tail.has_value());
    ASSERT_EQ(report->damage.size(), 1u);
    EXPECT_EQ(report->damage[0].offset, cut);
    ASSERT_TRUE(Wal::open(dir_.path()).has_value());
    const std::vector<std::uint64_t> kept =
        after_reset ? std::vector<std::uint64_t>() : std::vector<std::uint64_t>{1, 2};
    EXPECT_EQ(sequences(read_all().value()), kept);
    EXPECT_EQ(set_aside(), std::vector<std::string>{damaged.substr(cut)});
  }
}

// A flipped byte anywhere in a frame never crashes a reader and never yields an entry that was
// not written. The sequence number is outside the checksum, so a flip there only renumbers the
// record; a flip in the length may still leave that one frame readable; anywhere else the frame
// is dropped.
TEST_F(WalFile, EveryFlippedByteIsDetectedOrHarmless) {
  const std::vector<std::size_t> starts = write_three();
  const std::string clean = read_file(log_path());
  for (std::size_t at = 5; at < clean.size(); ++at) {
    SCOPED_TRACE(at);
    const std::size_t frame = at >= starts[2] ? 2 : at >= starts[1] ? 1 : 0;
    const std::size_t offset = at - starts[frame];
    std::string damaged = clean;
    damaged[at] ^= 0x40;
    write_file(log_path(), damaged);
    Result<std::vector<WalRecord>> records = read_all();
    ASSERT_TRUE(records.has_value());
    std::string ids;
    for (const WalRecord& record : *records)
      ids += std::get<wal_entries::Delete>(record.entry).id.str();
    EXPECT_TRUE(ids == "abc" || ids == "ab" || ids == "ac" || ids == "bc" || ids == "a" ||
                ids == "b" || ids == "c" || ids.empty())
        << ids;
    const char damaged_id = static_cast<char>('a' + frame);
    if (offset >= 4 && offset < 12) {
      EXPECT_EQ(ids, "abc");
    } else if (offset >= 4) {
      EXPECT_EQ(ids.find(damaged_id), std::string::npos);
    }
    EXPECT_TRUE(Wal::open(dir_.path()).has_value());
  }
}

TEST_F(WalFile, HugeDeclaredLengthEndsReadingWithoutAllocating) {
  write_three();
  std::string bytes = read_file(log_path());
  bytes += le32(0xFFFFFFF0u) + "short";
  write_file(log_path(), bytes);
  EXPECT_EQ(read_all()->size(), 3u);
  EXPECT_EQ(Wal::open(dir_.path())->sequence(), 3u);
}

TEST_F(WalFile, ShortFileFailsRecoveryReadsOnly) {
  write_file(log_path(), "ZWA");
  EXPECT_EQ(Wal::open(dir_.path())->sequence(), 0u);
  Result<std::vector<WalRecord>> records = read_all();
  ASSERT_FALSE(records.has_value());
  const auto& io = std::get<errors::Io>(records.error().payload());
  EXPECT_EQ(io.description, "failed to fill whole buffer");
  EXPECT_EQ(read_file(log_path()), "ZWA");
}

}  // namespace
}  // namespace vexradb
