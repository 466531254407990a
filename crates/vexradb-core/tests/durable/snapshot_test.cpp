#include "durable/snapshot.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "durable/encoding.hpp"
#include "temp_dir.hpp"

namespace vexradb {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::string le64(std::uint64_t value) {
  std::string bytes;
  Encoder(bytes).u64(value);
  return bytes;
}

std::string header_bytes(std::uint64_t timestamp, std::uint64_t sequence, std::uint64_t dimensions,
                         std::uint64_t count, char version = 2) {
  return std::string("ZSNP") + version + le64(timestamp) + le64(sequence) + le64(dimensions) +
         le64(count);
}

std::string storage_text(const Error& error) {
  return std::get<errors::Storage>(error.payload()).text;
}

std::vector<SnapshotVector> numbered_vectors(std::size_t count) {
  std::vector<SnapshotVector> vectors;
  for (std::size_t i = 0; i < count; ++i) {
    std::optional<Json> metadata;
    if (i % 2 == 0) metadata = Json{{"e", true}};  // {"e":true}: 10 bytes
    vectors.push_back({VectorId("id" + std::to_string(i % 10) + std::to_string(i / 10 % 10) +
                                std::to_string(i / 100 % 10) + std::to_string(i / 1000)),
                       {static_cast<float>(i), -1.5f},
                       metadata});
  }
  return vectors;
}

class SnapshotFiles : public ::testing::Test {
 protected:
  SnapshotManager manager() const { return SnapshotManager(dir_.path(), 3); }
  std::filesystem::path file_of(std::uint64_t timestamp) const {
    return dir_.path() / snapshot_file_name(timestamp);
  }
  void touch(const std::string& name) const { write_file(dir_.path() / name, ""); }
  std::vector<std::uint64_t> listed() const {
    std::vector<std::uint64_t> numbers;
    const std::vector<SnapshotFile> files = SnapshotManager::list_snapshots(dir_.path()).value();
    for (const SnapshotFile& f : files) numbers.push_back(f.number);
    return numbers;
  }

  TempDir dir_;
};

TEST_F(SnapshotFiles, EmptyEngineIs55Bytes) {
  const std::uint64_t t = 1733000000123;
  ASSERT_TRUE(manager().save({t, 0, 3, 0}, HnswIndex::State{}, {}).has_value());
  EXPECT_EQ(snapshot_file_name(t), "snapshot_0001733000000123.snap");
  EXPECT_EQ(read_file(file_of(t)), header_bytes(t, 0, 3, 0) + '\x01' + le64(0) + '\x00' + le64(0));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / (snapshot_file_name(t) + ".tmp")));
}

TEST_F(SnapshotFiles, RoundTripInChunksOfAThousand) {
  HnswIndex::State graph;
  graph.nodes = {{0, 1, {{1, 2}, {2}}}, {1, 0, {{0}}}, {2, 1, {{0}, {0}}}};
  graph.entry_point = 2;
  graph.max_level = 1;
  const std::vector<SnapshotVector> vectors = numbered_vectors(2500);
  ASSERT_TRUE(manager().save({7, 42, 2, 0}, graph, vectors).has_value());

  // Chunk counts: after the header, the graph and each full chunk of equally sized records.
  const std::string bytes = read_file(file_of(7));
  const std::size_t node_bytes[] = {20 + 16 + 12, 20 + 12, 20 + 12 + 12};
  const std::size_t graph_end = 38 + 8 + node_bytes[0] + node_bytes[1] + node_bytes[2] + 5 + 8;
  auto chunk_count_at = [&](std::size_t chunk) {
    const std::size_t without = 8 + 6 + 16 + 1, with_metadata = without + 8 + 10;
    const std::size_t offset = graph_end + chunk * (8 + 500 * (with_metadata + without));
    return bytes.substr(offset, 8);
  };
  EXPECT_EQ(chunk_count_at(0), le64(1000));
  EXPECT_EQ(chunk_count_at(1), le64(1000));
  EXPECT_EQ(chunk_count_at(2), le64(500));

  Result<Snapshot> loaded = SnapshotManager::load(file_of(7));
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->header.sequence, 42u);
  EXPECT_EQ(loaded->header.vector_count, 2500u);
  ASSERT_TRUE(loaded->graph.has_value());
  EXPECT_EQ(loaded->graph->entry_point, 2u);
  EXPECT_EQ(loaded->graph->nodes[0].neighbors, graph.nodes[0].neighbors);
  ASSERT_EQ(loaded->vectors.size(), vectors.size());
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    EXPECT_EQ(loaded->vectors[i].id, vectors[i].id);
    EXPECT_EQ(loaded->vectors[i].vector, vectors[i].vector);
    EXPECT_EQ(loaded->vectors[i].metadata.has_value(), vectors[i].metadata.has_value());
  }
}

TEST_F(SnapshotFiles, ReaderTakesAnyChunkingAndIgnoresTrailingBytes) {
  std::string record;
  Encoder out(record);
  out.text("v");
  out.floats(std::vector<float>{1.0f});
  out.optional_text(std::nullopt);
  std::string body = header_bytes(1, 0, 1, 5) + '\x00';  // no graph
  body += le64(3) + record + record + record + le64(2) + record + record + "stray";
  write_file(file_of(1), body);
  Result<Snapshot> loaded = SnapshotManager::load(file_of(1));
  ASSERT_TRUE(loaded.has_value());
  EXPECT_FALSE(loaded->graph.has_value());
  EXPECT_EQ(loaded->vectors.size(), 5u);
}

TEST_F(SnapshotFiles, DamagedFilesReportTheirFault) {
  const std::filesystem::path path = file_of(1);
  auto load_error = [&](const std::string& bytes) {
    write_file(path, bytes);
    Result<Snapshot> loaded = SnapshotManager::load(path);
    return loaded ? std::string("loaded") : storage_text(loaded.error());
  };
  EXPECT_EQ(load_error("ZSNQ" + header_bytes(1, 0, 1, 0).substr(4) + '\x01'),
            "Invalid snapshot magic bytes");
  EXPECT_EQ(load_error(header_bytes(1, 0, 1, 0, 3)), "Unsupported snapshot version: 3");
  EXPECT_EQ(load_error("ZSNQ"), "io error: failed to fill whole buffer");
  EXPECT_EQ(load_error(header_bytes(1, 0, 1, 0) + '\x02'), "tag for enum is not valid, found 2");
  // Counts far beyond the data present fail as a file cut short instead of being allocated.
  EXPECT_EQ(load_error(header_bytes(1, 0, 1, 1ull << 60) + '\x00' + le64(1ull << 60)),
            "io error: failed to fill whole buffer");
  EXPECT_EQ(load_error(header_bytes(1, 0, 1, 0) + '\x01' + le64(1ull << 59)),
            "io error: failed to fill whole buffer");
  EXPECT_EQ(load_error(header_bytes(1, 0, 1, 1) + '\x00' + le64(1) + le64(1ull << 62)),
            "io error: failed to fill whole buffer");
  // Metadata must be JSON, ids UTF-8.
  std::string bad_json = header_bytes(1, 0, 1, 1) + '\x00' + le64(1);
  Encoder out(bad_json);
  out.text("v");
  out.floats(std::vector<float>{1.0f});
  out.optional_text("{");
  EXPECT_EQ(load_error(bad_json).rfind("EOF while parsing", 0), 0u) << load_error(bad_json);
  EXPECT_EQ(std::get<errors::Io>(SnapshotManager::load(dir_.path() / "missing").error().payload())
                .os_code,
            ENOENT);
}

TEST_F(SnapshotFiles, ListingFollowsTheNameRules) {
  for (const char* name : {"snapshot_0000000000000002.snap", "snapshot_10.snap", "snapshot_+5.snap",
                           "snapshot_-1.snap", "snapshot_.snap", "snapshot_1.snap.tmp", "notes.txt",
                           "snapshot_18446744073709551616.snap", "snapshot_1x.snap"})
    touch(name);
  EXPECT_EQ(listed(), (std::vector<std::uint64_t>{2, 5, 10}));
  EXPECT_TRUE(manager().remove_unfinished().has_value());
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "snapshot_1.snap.tmp"));
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "notes.txt"));
}

TEST_F(SnapshotFiles, PruneKeepsTheNewestThree) {
  for (const std::uint64_t t : {40, 10, 30, 20}) touch(snapshot_file_name(t));
  ASSERT_TRUE(manager().prune().has_value());
  EXPECT_EQ(listed(), (std::vector<std::uint64_t>{20, 30, 40}));
  ASSERT_TRUE(manager().prune().has_value());
  EXPECT_EQ(listed().size(), 3u);
}

// A byte flipped in a vector's floats still decodes: only the checksum file beside the snapshot
// shows it. Checksum files leave with their snapshots, and none outlives its snapshot.
TEST_F(SnapshotFiles, ChecksumFilesFollowTheirSnapshots) {
  const std::vector<SnapshotVector> vectors = numbered_vectors(20);
  for (const std::uint64_t t : {1, 2, 3, 4})
    ASSERT_TRUE(manager().save({t, 0, 2, 0}, HnswIndex::State{}, vectors).has_value());
  const std::filesystem::path newest = file_of(4);
  const std::optional<SnapshotChecksum> recorded =
      SnapshotManager::recorded_checksum(newest).value();
  ASSERT_TRUE(recorded.has_value());
  EXPECT_EQ(*recorded, SnapshotManager::checksum_of(newest).value());

  std::string bytes = read_file(newest);
  const std::size_t last_float = bytes.size() - 1 - 4;  // before the last metadata tag
  bytes[last_float] = static_cast<char>(bytes[last_float] ^ 0x01);
  write_file(newest, bytes);
  EXPECT_TRUE(SnapshotManager::load(newest).has_value());
  EXPECT_NE(*recorded, SnapshotManager::checksum_of(newest).value());

  ASSERT_TRUE(manager().prune().has_value());
  EXPECT_FALSE(std::filesystem::exists(checksum_path(file_of(1))));
  EXPECT_TRUE(std::filesystem::exists(checksum_path(file_of(2))));
  touch(snapshot_file_name(7) + ".crc32");
  touch(snapshot_file_name(8) + ".crc32.tmp");
  ASSERT_TRUE(manager().remove_unfinished().has_value());
  EXPECT_FALSE(std::filesystem::exists(checksum_path(file_of(7))));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / (snapshot_file_name(8) + ".crc32.tmp")));
  EXPECT_TRUE(std::filesystem::exists(checksum_path(file_of(2))));
  EXPECT_TRUE(std::filesystem::exists(checksum_path(file_of(4))));
}

TEST_F(SnapshotFiles, FailedSaveLeavesNoFile) {
  // A directory in the way of the temporary file makes the save fail before anything is named.
  std::filesystem::create_directory(dir_.path() / (snapshot_file_name(9) + ".tmp"));
  EXPECT_FALSE(manager().save({9, 0, 1, 0}, HnswIndex::State{}, {}).has_value());
  EXPECT_TRUE(listed().empty());
}

}  // namespace
}  // namespace vexradb
